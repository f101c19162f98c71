#include "app/anchor_layout.h"

#include <algorithm>

namespace {

// The control's rectangle in `window`'s coordinates, through the screen so that it holds
// for any ancestor.
QRect RectIn(const QWidget* window, const QWidget* control) {
  return QRect(window->mapFromGlobal(control->mapToGlobal(QPoint(0, 0))), control->size());
}

}  // namespace

AnchorLayout::AnchorLayout() = default;

AnchorLayout::~AnchorLayout() = default;

void AnchorLayout::AddControl(QWidget* control, uint32_t flags) {
  if (flags == 0 || !control) return;
  QWidget* parent = control->parentWidget();
  if (!parent) return;
  const QRect rect = RectIn(parent, control);
  AnchorEntry entry;
  entry.flags = flags;
  entry.control = control;
  entry.left = rect.left();
  entry.top = rect.top();
  entry.right = rect.left() + rect.width();
  entry.bottom = rect.top() + rect.height();
  if (m_reference_width == 0 || m_reference_height == 0) {
    m_reference_width = parent->rect().width();
    m_reference_height = parent->rect().height();
  }
  m_entries.push_back(entry);
}

void AnchorLayout::Reposition(QWidget* window) {
  if (m_reference_width == 0 || m_reference_height == 0) return;
  if (!window || window->isMinimized()) return;
  const int client_width = window->rect().width();
  const int client_height = window->rect().height();
  const int dw = client_width - m_reference_width;
  const int dh = client_height - m_reference_height;

  for (const AnchorEntry& entry : m_entries) {
    QWidget* control = entry.control;
    if (!control) continue;
    const QRect old = RectIn(window, control);
    window->update(old);
    const int l = old.left();
    const int t = old.top();
    const int r = old.left() + old.width();
    const int b = old.top() + old.height();

    int new_left = l;
    int new_right = r;
    const uint32_t horizontal = entry.flags & (ANCHOR_LEFT | ANCHOR_RIGHT);
    if (horizontal == (ANCHOR_LEFT | ANCHOR_RIGHT)) {
      new_left = entry.left;
      new_right = entry.right + dw;
    } else if (horizontal == ANCHOR_RIGHT) {
      new_right = entry.right + dw;
      new_left = new_right - (r - l);
    } else if (horizontal == ANCHOR_LEFT) {
      new_left = entry.left;
      new_right = entry.left + (r - l);
    }

    int new_top = t;
    int new_bottom = b;
    const uint32_t vertical = entry.flags & (ANCHOR_TOP | ANCHOR_BOTTOM);
    if (vertical == (ANCHOR_TOP | ANCHOR_BOTTOM)) {
      new_top = entry.top;
      new_bottom = entry.bottom + dh;
    } else if (vertical == ANCHOR_TOP) {
      new_top = entry.top;
      new_bottom = entry.top + (b - t);
    } else if (vertical == ANCHOR_BOTTOM) {
      new_bottom = entry.bottom + dh;
      new_top = new_bottom - (b - t);
    }

    const QRect next(new_left, new_top, std::max(0, new_right - new_left),
                     std::max(0, new_bottom - new_top));
    if (entry.flags & ANCHOR_HIDE_OUTSIDE) {
      // An empty rectangle takes no room and so always fits.
      const bool inside = new_right <= new_left || new_bottom <= new_top ||
                          (new_left >= 0 && new_top >= 0 && new_right <= client_width &&
                           new_bottom <= client_height);
      if (!inside) {
        control->hide();
        continue;
      }
      if (!control->isVisibleTo(control->parentWidget())) control->show();
    }
    control->setGeometry(next);
  }
}
