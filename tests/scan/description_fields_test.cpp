// The description texts the details panel and the scanner show: plain text between the
// markers, cut at 255 characters, empty when a marker is missing.
#include <gtest/gtest.h>

#include <string>

#include "devices/description_fields.h"
#include "devices/device_record.h"
#include "parse/text.h"

namespace {

std::string Element(const char* opening, const std::string& value, const char* closing) {
  return opening + value + closing;
}

DeviceRecord WithDescription(const std::string& body) {
  DeviceRecord record{};
  record.description = body;
  return record;
}

std::string Read(const DeviceRecord& record, DescriptionField field) {
  char out[kDescriptionFieldSize];
  const std::size_t length = ReadDescriptionField(record, field, out);
  EXPECT_EQ(length, std::string(out).size());
  return out;
}

TEST(DescriptionFields, ReadsEachFieldBetweenItsMarkers) {
  const DeviceRecord record = WithDescription(
      "<root><device>" + Element(kModelNameOpen, "VI-100", kModelNameClose) +
      Element(kModelNumberOpen, "100", kModelNumberClose) +
      Element(kSerialNumberOpen, "SN 42", kSerialNumberClose) + "<UDN>uuid:0aef0002-7e5a</UDN>" +
      Element(kPageUrlOpen, "http://10.0.0.7/", kPageUrlClose) + "</device></root>");
  EXPECT_EQ(Read(record, DescriptionField::kModelName), "VI-100");
  EXPECT_EQ(Read(record, DescriptionField::kModelNumber), "100");
  EXPECT_EQ(Read(record, DescriptionField::kSerialNumber), "SN 42");
  EXPECT_EQ(Read(record, DescriptionField::kGuid), "0aef0002-7e5a");
  EXPECT_EQ(Read(record, DescriptionField::kPageUrl), "http://10.0.0.7/");
}

TEST(DescriptionFields, MissingElementGivesEmptyText) {
  const DeviceRecord record =
      WithDescription(Element(kModelNameOpen, "VI-100", kModelNameClose) + "<modelNumber>100");
  EXPECT_EQ(Read(record, DescriptionField::kModelNumber), "");
  EXPECT_EQ(Read(record, DescriptionField::kSerialNumber), "");
}

TEST(DescriptionFields, GuidNeedsExactlyTheUuidPrefix) {
  EXPECT_EQ(Read(WithDescription("<UDN>UUID:abc</UDN>"), DescriptionField::kGuid), "");
  EXPECT_EQ(Read(WithDescription("<UDN>abc</UDN>"), DescriptionField::kGuid), "");
}

TEST(DescriptionFields, CutsALongValueAt255Characters) {
  const DeviceRecord record =
      WithDescription(Element(kSerialNumberOpen, std::string(300, '7'), kSerialNumberClose));
  EXPECT_EQ(Read(record, DescriptionField::kSerialNumber), std::string(255, '7'));
}

TEST(DescriptionFields, TakesTextVerbatimWithoutTrimmingOrUnescaping) {
  const DeviceRecord record =
      WithDescription(Element(kModelNumberOpen, " A&amp;B ", kModelNumberClose));
  EXPECT_EQ(Read(record, DescriptionField::kModelNumber), " A&amp;B ");
}

}  // namespace
