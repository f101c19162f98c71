#include "app/dialog_units.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

#include "res/dialog_template.h"

namespace {

// Rounds like the integer scaling of dialog templates: half away from zero.
int Scale(int value, int numerator, int denominator) {
  return (value * numerator + denominator / 2) / denominator;
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
  QFontMetrics metrics(font);
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_base_width = (alphabet / 26 + 1) / 2;
  m_base_height = metrics.height();
}

int DialogUnits::X(int dlu) const {
  return Scale(dlu, m_base_width, 4);
}
int DialogUnits::Y(int dlu) const {
  return Scale(dlu, m_base_height, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

QFont DialogFont() {
  QFont font;
  if (QFontDatabase::families().contains(QString::fromLatin1(kDialogFontFamily))) {
    font.setFamily(QString::fromLatin1(kDialogFontFamily));
  } else {
    font.setFamily(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
  }
  font.setPointSize(kDialogFontPoints);
  return font;
}
