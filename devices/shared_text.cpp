#include "devices/shared_text.h"

#include <algorithm>

SharedText::SharedText(std::string text) {
  if (!text.empty()) m_whole = std::make_shared<const std::string>(std::move(text));
}

SharedText::SharedText(std::shared_ptr<const std::string> whole, std::size_t offset)
    : m_whole(std::move(whole)) {
  if (!m_whole) return;
  m_offset = static_cast<uint32_t>(std::min(offset, m_whole->size()));
  if (m_offset == m_whole->size()) m_whole.reset();
}
