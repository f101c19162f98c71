// Protects the application icon: both sizes exist, stay sharp (no half-transparent pixels at
// the edges), and the scalable drawing keeps the painted icon's palette.
#include "res/app_icon.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QSet>
#include <QXmlStreamReader>

namespace {

QImage Painted(int size) {
  return AppIconPixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
}

TEST(AppIcon, HasTheSmallAndLargeImages) {
  QIcon icon = AppIcon();
  QList<QSize> sizes = icon.availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(16, 16)));
  EXPECT_TRUE(sizes.contains(QSize(32, 32)));
  EXPECT_EQ(AppIconPixmap(48).size(), QSize(48, 48));
}

TEST(AppIcon, EveryPixelIsOpaqueOrClearAtBothSizes) {
  for (int size : {kAppIconSmall, kAppIconLarge}) {
    QImage image = Painted(size);
    ASSERT_EQ(image.size(), QSize(size, size));
    int opaque = 0;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        int alpha = qAlpha(image.pixel(x, y));
        EXPECT_TRUE(alpha == 0 || alpha == 255) << size << " px at " << x << "," << y;
        if (alpha == 255) ++opaque;
      }
    }
    // A drawing, not an empty or a filled square.
    EXPECT_GT(opaque, size * size / 2) << size;
    EXPECT_LT(opaque, size * size) << size;
  }
}

TEST(AppIcon, ScalableDrawingUsesThePaintedPalette) {
  QFile file(TAROVUE_SOURCE_DIR "/res/tarovue.svg");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QXmlStreamReader svg(&file);
  QSet<QRgb> drawn;
  bool root_checked = false;
  while (!svg.atEnd()) {
    if (svg.readNext() != QXmlStreamReader::StartElement) continue;
    if (!root_checked) {
      EXPECT_EQ(svg.name(), QStringLiteral("svg"));
      EXPECT_EQ(svg.attributes().value("viewBox"), QStringLiteral("0 0 32 32"));
      root_checked = true;
    }
    QStringView fill = svg.attributes().value("fill");
    if (!fill.isEmpty()) drawn.insert(QColor(fill.toString()).rgb());
  }
  ASSERT_FALSE(svg.hasError()) << svg.errorString().toStdString();
  ASSERT_TRUE(root_checked);

  QSet<QRgb> painted;
  QImage image = Painted(kAppIconLarge);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (qAlpha(image.pixel(x, y)) == 255) painted.insert(image.pixel(x, y));
    }
  }
  EXPECT_EQ(drawn, painted);
}

}  // namespace
