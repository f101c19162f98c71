#include "devices/description_fields.h"

#include "devices/device_record.h"
#include "http/extract_between.h"

namespace {

struct Markers {
  const char* opening;
  const char* closing;
};

Markers MarkersOf(DescriptionField field) {
  switch (field) {
    case DescriptionField::kModelName:
      return {kModelNameOpen, kModelNameClose};
    case DescriptionField::kModelNumber:
      return {kModelNumberOpen, kModelNumberClose};
    case DescriptionField::kSerialNumber:
      return {kSerialNumberOpen, kSerialNumberClose};
    case DescriptionField::kGuid:
      return {kGuidOpen, kGuidClose};
    case DescriptionField::kPageUrl:
      return {kPageUrlOpen, kPageUrlClose};
  }
  return {nullptr, nullptr};
}

}  // namespace

std::size_t ReadDescriptionField(const DeviceRecord& record, DescriptionField field,
                                 char (&out)[kDescriptionFieldSize]) {
  const Markers markers = MarkersOf(field);
  if (markers.opening == nullptr) {
    out[0] = '\0';
    return 0;
  }
  return ExtractBetween(out, kDescriptionFieldSize - 1, record.description.c_str(), markers.opening,
                        markers.closing);
}
