// The fleet page as the agent renders it for a client without a script: whatever a device
// sends, the page gets no markup of its own, and only a page on the device's own address is
// linked.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "agent/fleet_page.h"

namespace {

constexpr char kTemplate[] =
    "<table>{{rows}}</table><table>{{events}}</table>"
    "<p>{{summary}}</p><p>{{time}} {{version}} {{unknown}}</p>";

// The tags and attributes the renderer itself writes; anything else came from a device.
std::string ForeignMarkup(const std::string& html) {
  static const std::regex tag(
      R"(<(/?)(tr|td|span|a|time|table|p)((\s+(class|href|rel|datetime)="[^"<>]*")*)>)");
  for (std::size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
    std::smatch match;
    const auto from = html.begin() + static_cast<std::ptrdiff_t>(at);
    if (!std::regex_search(from, html.end(), match, tag, std::regex_constants::match_continuous)) {
      return html.substr(at, 60);
    }
  }
  return "";
}

DeviceSnapshot Hostile(const std::string& page_url) {
  DeviceSnapshot d;
  d.address_text = "10.0.0.5";
  d.status = "online";
  d.host_name = "<img src=x onerror=alert(1)>";
  d.usn = "uuid:\"><script>alert(2)</script>";
  d.serial_number = "' onmouseover='alert(3)";
  d.model_name = "A&B \x01\xE9";  // a control byte and a Latin-1 byte
  d.page_url = page_url;
  d.location = "http://10.0.0.5:8080/description.xml";
  d.valid_until = 1900000000;
  d.last_seen = 1800000000;
  d.reboots = 2;
  return d;
}

TEST(FleetPage, HostileDeviceTextsGiveNoMarkup) {
  // The page address is the device's own, so it is linked: its quote and brackets must stay
  // inside the attribute.
  const std::vector<DeviceSnapshot> devices = {
      Hostile("http://10.0.0.5/\"><script>alert(4)</script>")};
  FleetFacts facts;
  facts.events.push_back({1800000000, "byebye", devices[0].usn, "10.0.0.5", devices[0].host_name,
                          devices[0].serial_number});
  facts.now = 1800000001;
  facts.counters.multicast_paths = {{"eth0", true}, {"eth<1>", false}};
  const std::string page = RenderFleetPage(kTemplate, "1.0", devices, facts);
  EXPECT_NE(page.find(">multicast broken on eth&lt;1&gt;<"), std::string::npos) << page;

  EXPECT_EQ(ForeignMarkup(page), "");
  EXPECT_NE(page.find("<td>&lt;img src=x onerror=alert(1)&gt;</td>"), std::string::npos);
  EXPECT_NE(page.find("&#39; onmouseover=&#39;alert(3)"), std::string::npos);
  EXPECT_NE(page.find("uuid:&quot;&gt;&lt;script&gt;alert(2)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(
      page.find("<a href=\"http://10.0.0.5/&quot;&gt;&lt;script&gt;alert(4)&lt;/script&gt;\""),
      std::string::npos);
  EXPECT_NE(page.find("A&amp;B \xEF\xBF\xBD\xC3\xA9"), std::string::npos);
  // Unknown placeholders stay as they are; known ones are filled.
  EXPECT_NE(page.find("{{unknown}}"), std::string::npos);
  EXPECT_EQ(page.find("{{rows}}"), std::string::npos);
  EXPECT_NE(page.find("<td class=\"num\">2</td>"), std::string::npos);
}

TEST(FleetPage, LinksOnlyTheDevicesOwnPage) {
  std::vector<DeviceSnapshot> devices = {
      Hostile("http://169.254.169.254/latest/"), Hostile("javascript:alert(1)"),
      Hostile("http://010.0.0.5/"), Hostile("https://10.0.0.5:8443/"),
      Hostile("http://10.0.0.5:81/")};
  // Its own address, but named by a description that another host served.
  devices.back().location = "http://10.0.0.77/description.xml";
  const std::string page = RenderFleetPage("{{rows}}", "1.0", devices, FleetFacts{});
  EXPECT_EQ(page.find("169.254"), std::string::npos);
  EXPECT_EQ(page.find("javascript"), std::string::npos);
  EXPECT_EQ(page.find("010.0.0.5"), std::string::npos);
  EXPECT_NE(page.find("<a href=\"https://10.0.0.5:8443/\""), std::string::npos);
  EXPECT_EQ(page.find(":81/"), std::string::npos);
}

}  // namespace
