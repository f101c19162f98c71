// tarovue-render-icon: writes the painted application icon as PNG files for the hicolor
// icon theme, so that the installed icons are the very pixels the dialog shows. Runs at
// build time only. Usage: tarovue-render-icon SIZE FILE [SIZE FILE ...]
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "res/app_icon.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 == 0) {
    std::fputs("usage: tarovue-render-icon SIZE FILE [SIZE FILE ...]\n", stderr);
    return 2;
  }
  // A build machine may have no display, and the pixels do not depend on one.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  for (int i = 1; i + 1 < argc; i += 2) {
    char* end = nullptr;
    const long size = std::strtol(argv[i], &end, 10);
    if (*end != '\0' || (size != kAppIconSmall && size != kAppIconLarge)) {
      std::fprintf(stderr, "tarovue-render-icon: size must be %d or %d, not '%s'\n", kAppIconSmall,
                   kAppIconLarge, argv[i]);
      return 2;
    }
    const QPixmap pixmap = AppIconPixmap(static_cast<int>(size));
    if (pixmap.width() != size || pixmap.height() != size || !pixmap.save(argv[i + 1], "PNG")) {
      std::fprintf(stderr, "tarovue-render-icon: cannot write %s\n", argv[i + 1]);
      return 1;
    }
  }
  return 0;
}
