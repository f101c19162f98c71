#include "scan/watched_rows.h"

#include "devices/announcement_protocol.h"
#include "parse/text.h"

bool WatchedRows::SetCellText(int row, int column, const char* text) {
  const char* before = m_table.CellText(row, column);
  const bool changed = before != nullptr && !TextEquals(before, text);
  if (!m_table.SetCellText(row, column, text)) return false;
  if (column == kColumnStatus) {
    m_changed_row = changed && !TextEquals(text, kCellSearching) ? row : -1;
  } else if (column == kColumnValidUntil && row == m_changed_row) {
    m_changed_row = -1;
    if (m_observer) m_observer(row, m_table.CellText(row, kColumnStatus), text);
  }
  return true;
}
