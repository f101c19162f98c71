#include "res/app_icon.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <cstdint>

namespace {

// Palette shared with tarovue.svg.
const QColor kOutline(0x15, 0x17, 0x1b);
const QColor kHousing(0x3a, 0x40, 0x49);
const QColor kHousingLight(0x5a, 0x62, 0x6e);
const QColor kHousingShade(0x2a, 0x2f, 0x36);
const QColor kPanTop(0xe6, 0xe9, 0xed);
const QColor kPan(0xb4, 0xba, 0xc3);
const QColor kPanShade(0x7b, 0x82, 0x8c);
const QColor kPanOutline(0x4a, 0x4f, 0x57);
const QColor kStem(0x5c, 0x62, 0x6b);
const QColor kDisplay(0x06, 0x16, 0x0b);
const QColor kSegmentOn(0x3c, 0xf0, 0x6a);
const QColor kSegmentOff(0x10, 0x33, 0x1a);
const QColor kKey(0xa9, 0xb0, 0xba);
const QColor kLamp(0xff, 0xb2, 0x1e);

// Segments a to g of each digit, bit 0 = a (top), clockwise, bit 6 = g (middle).
constexpr uint8_t kDigitSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

// Paints whole pixels only: every rectangle is given by its inclusive corner pixels.
class PixelCanvas {
 public:
  explicit PixelCanvas(QImage* image) : m_painter(image) {}

  void Fill(int x0, int y0, int x1, int y1, const QColor& color) {
    m_painter.fillRect(x0, y0, x1 - x0 + 1, y1 - y0 + 1, color);
  }
  void Dot(int x, int y, const QColor& color) { Fill(x, y, x, y, color); }
  void Clear(int x, int y) {
    m_painter.setCompositionMode(QPainter::CompositionMode_Clear);
    Dot(x, y, Qt::transparent);
    m_painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  }

  // A digit `width` x `height` (height odd) with one-pixel segments whose ends stop short of
  // the corners, as on a segment display; `segments` as in kDigitSegments.
  void Digit(int x, int y, int width, int height, uint8_t segments, const QColor& color) {
    int right = x + width - 1;
    int middle = y + height / 2;
    int bottom = y + height - 1;
    if (segments & 0x01) Fill(x + 1, y, right - 1, y, color);
    if (segments & 0x02) Fill(right, y + 1, right, middle - 1, color);
    if (segments & 0x04) Fill(right, middle + 1, right, bottom - 1, color);
    if (segments & 0x08) Fill(x + 1, bottom, right - 1, bottom, color);
    if (segments & 0x10) Fill(x, middle + 1, x, bottom - 1, color);
    if (segments & 0x20) Fill(x, y + 1, x, middle - 1, color);
    if (segments & 0x40) Fill(x + 1, middle, right - 1, middle, color);
  }

  // As Digit, but the segments run into the corners: at 3 x 5 pixels the gaps would eat the
  // figure.
  void SolidDigit(int x, int y, uint8_t segments, const QColor& color) {
    if (segments & 0x01) Fill(x, y, x + 2, y, color);
    if (segments & 0x02) Fill(x + 2, y, x + 2, y + 2, color);
    if (segments & 0x04) Fill(x + 2, y + 2, x + 2, y + 4, color);
    if (segments & 0x08) Fill(x, y + 4, x + 2, y + 4, color);
    if (segments & 0x10) Fill(x, y + 2, x, y + 4, color);
    if (segments & 0x20) Fill(x, y, x, y + 2, color);
    if (segments & 0x40) Fill(x, y + 2, x + 2, y + 2, color);
  }

 private:
  QPainter m_painter;
};

QImage BlankImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

// 15 pixels wide (columns 0 to 14) so that pan, stem and display share one centre column.
QImage PaintSmall() {
  QImage image = BlankImage(kAppIconSmall);
  PixelCanvas c(&image);
  // Pan and stem.
  c.Fill(2, 0, 12, 0, kPanOutline);
  c.Fill(2, 1, 12, 1, kPanTop);
  c.Fill(3, 2, 11, 2, kPanShade);
  c.Fill(6, 3, 8, 3, kStem);
  // Housing with cut corners.
  c.Fill(0, 4, 14, 15, kOutline);
  c.Fill(1, 5, 13, 14, kHousing);
  c.Fill(1, 5, 13, 5, kHousingLight);
  c.Clear(0, 4);
  c.Clear(14, 4);
  c.Clear(0, 15);
  c.Clear(14, 15);
  // Display reading "250".
  c.Fill(1, 6, 13, 12, kDisplay);
  const int digits[3] = {2, 5, 0};
  for (int i = 0; i < 3; ++i) c.SolidDigit(2 + 4 * i, 7, kDigitSegments[digits[i]], kSegmentOn);
  // Keys and the lamp.
  c.Fill(2, 13, 3, 13, kKey);
  c.Fill(5, 13, 6, 13, kKey);
  c.Fill(8, 13, 9, 13, kKey);
  c.Fill(12, 13, 12, 13, kLamp);
  c.Fill(1, 14, 13, 14, kHousingShade);
  return image;
}

QImage PaintLarge() {
  QImage image = BlankImage(kAppIconLarge);
  PixelCanvas c(&image);
  // Pan and stem.
  c.Fill(6, 2, 25, 2, kPanOutline);
  c.Fill(5, 3, 26, 4, kPanOutline);
  c.Fill(6, 3, 25, 3, kPanTop);
  c.Fill(6, 4, 25, 4, kPan);
  c.Fill(7, 5, 24, 5, kPanOutline);
  c.Fill(8, 5, 23, 5, kPanShade);
  c.Fill(14, 6, 17, 8, kPanOutline);
  c.Fill(15, 6, 16, 8, kStem);
  // Housing with rounded corners.
  c.Fill(1, 9, 30, 30, kOutline);
  c.Fill(2, 10, 29, 29, kHousing);
  c.Fill(3, 10, 28, 10, kHousingLight);
  c.Fill(2, 28, 29, 29, kHousingShade);
  for (int x : {1, 30}) {
    c.Clear(x, 9);
    c.Clear(x, 30);
  }
  for (int x : {2, 29}) {
    c.Dot(x, 10, kOutline);
    c.Dot(x, 29, kOutline);
  }
  // Display reading "25.0" over unlit eights.
  c.Fill(4, 12, 27, 22, kOutline);
  c.Fill(5, 13, 26, 21, kDisplay);
  const int digits[3] = {2, 5, 0};
  const int left[3] = {6, 13, 21};
  for (int i = 0; i < 3; ++i) {
    c.Digit(left[i], 14, 5, 7, kDigitSegments[8], kSegmentOff);
    c.Digit(left[i], 14, 5, 7, kDigitSegments[digits[i]], kSegmentOn);
  }
  c.Dot(19, 20, kSegmentOn);
  // Keys and the lamp.
  for (int x : {5, 10, 15, 20}) {
    c.Fill(x, 24, x + 2, 25, kKey);
    c.Fill(x, 26, x + 2, 26, kOutline);
  }
  c.Fill(25, 24, 26, 25, kLamp);
  return image;
}

}  // namespace

QPixmap AppIconPixmap(int size) {
  if (size == kAppIconSmall) return QPixmap::fromImage(PaintSmall());
  QImage large = PaintLarge();
  if (size == kAppIconLarge) return QPixmap::fromImage(large);
  return QPixmap::fromImage(
      large.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

QIcon AppIcon() {
  QIcon icon;
  icon.addPixmap(AppIconPixmap(kAppIconSmall));
  icon.addPixmap(AppIconPixmap(kAppIconLarge));
  return icon;
}
