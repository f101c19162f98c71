// AnchorLayout keeps child controls at fixed distances from chosen edges of their parent's
// client area as the parent is resized. Rectangles are in the parent's coordinates, in
// pixels, with exclusive right and bottom edges. The layout owns its entries, not the
// controls; a control destroyed before the layout is skipped from then on.
#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <vector>

inline constexpr uint32_t ANCHOR_LEFT = 1;
inline constexpr uint32_t ANCHOR_RIGHT = 2;
inline constexpr uint32_t ANCHOR_TOP = 4;
inline constexpr uint32_t ANCHOR_BOTTOM = 8;
// Hidden while its new rectangle does not lie wholly inside the client area.
inline constexpr uint32_t ANCHOR_HIDE_OUTSIDE = 16;

struct AnchorEntry {
  uint32_t flags = 0;  // never 0
  QPointer<QWidget> control;
  // The control's rectangle when it was registered.
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

class AnchorLayout {
 public:
  AnchorLayout();
  virtual ~AnchorLayout();
  AnchorLayout(const AnchorLayout&) = delete;
  AnchorLayout& operator=(const AnchorLayout&) = delete;

  // Registers `control` with its current rectangle. The first registration records the
  // parent's client size as the reference size. Flags 0, a null control or one without a
  // parent register nothing.
  void AddControl(QWidget* control, uint32_t flags);
  // Moves every registered control to fit `window`'s current client area; `window` is the
  // controls' parent. Does nothing before a reference size exists or while `window` is
  // minimised.
  void Reposition(QWidget* window);

  [[nodiscard]] const std::vector<AnchorEntry>& Entries() const { return m_entries; }
  [[nodiscard]] int ReferenceWidth() const { return m_reference_width; }
  [[nodiscard]] int ReferenceHeight() const { return m_reference_height; }

 private:
  std::vector<AnchorEntry> m_entries;
  int32_t m_reference_width = 0;
  int32_t m_reference_height = 0;
};
