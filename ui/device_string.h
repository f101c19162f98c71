// Device texts for widgets: NUL-terminated bytes decoded as parse/device_text.h says, UTF-8
// when they are valid UTF-8 and Latin-1 otherwise. nullptr reads as the empty text.
#pragma once

#include <QString>
#include <string_view>

#include "parse/device_text.h"

inline QString DeviceString(const char* text) {
  if (text == nullptr) return {};
  const std::string_view bytes(text);
  const auto size = static_cast<qsizetype>(bytes.size());
  return IsUtf8(bytes) ? QString::fromUtf8(bytes.data(), size)
                       : QString::fromLatin1(bytes.data(), size);
}
