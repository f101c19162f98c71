#include "devices/device_events.h"

const char* DeviceEventName(DeviceEventKind kind) {
  switch (kind) {
    case DeviceEventKind::kNew:
      return "new";
    case DeviceEventKind::kOnline:
      return "online";
    case DeviceEventKind::kChanged:
      return "changed";
    case DeviceEventKind::kByebye:
      return "byebye";
    case DeviceEventKind::kLost:
      return "lost";
    case DeviceEventKind::kSearching:
      return "searching";
    case DeviceEventKind::kForgotten:
      return "forgotten";
    case DeviceEventKind::kRebooted:
      return "rebooted";
    case DeviceEventKind::kKept:
      return "kept";
  }
  return "unknown";
}

const char* DescriptionFetchName(DescriptionFetch fetch) {
  switch (fetch) {
    case DescriptionFetch::kOk:
      return "ok";
    case DescriptionFetch::kCached:
      return "cached";
    case DescriptionFetch::kFailed:
      return "failed";
  }
  return "unknown";
}

std::string DeviceView::Field(DescriptionField field) const {
  char text[kDescriptionFieldSize];
  ReadDescriptionField(m_record, field, text);
  return text;
}
