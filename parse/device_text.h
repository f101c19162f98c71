// Texts as devices send them. Newer indicators write UTF-8, older ones ISO-8859-1 (umlauts in
// host names and model texts), and nothing a device sends says which. A text that is valid
// UTF-8 is read as UTF-8, any other as Latin-1, in which every byte is a character; every
// front end decodes device texts through here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Length of the well-formed UTF-8 character at the start of non-empty `text`, or 0 when it
// starts with a stray continuation byte, a cut, overlong or surrogate sequence, or a
// character above U+10FFFF.
std::size_t Utf8CharacterLength(std::string_view text);

// True when all of `text` is well-formed UTF-8; the empty text is.
bool IsUtf8(std::string_view text);

// `text` as UTF-8: itself when IsUtf8, otherwise each byte read as ISO-8859-1.
std::string DeviceTextToUtf8(std::string_view text);
