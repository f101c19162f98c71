// Dialog units to pixels, from the dialog font the way dialog templates define them: a
// horizontal unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height.
#pragma once

#include <QFont>
#include <QRect>

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  [[nodiscard]] int X(int dlu) const;
  [[nodiscard]] int Y(int dlu) const;
  [[nodiscard]] QRect Rect(int x, int y, int width, int height) const;

 private:
  int m_base_width;
  int m_base_height;
};

// The template's font where it is installed, else the desktop's sans-serif, at 8 points.
QFont DialogFont();
