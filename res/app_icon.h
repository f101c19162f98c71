// The application icon: a weighing indicator with a green digit display and a scale pan on
// top. Painted in code, pixel by pixel at 16 and 32 px so that it stays sharp; tarovue.svg
// beside this file is the scalable drawing of the same design.
#pragma once

#include <QIcon>
#include <QPixmap>

// Sizes the icon is painted at, in pixels.
inline constexpr int kAppIconSmall = 16;
inline constexpr int kAppIconLarge = 32;

// The icon with its 16 and 32 px images. Needs a QGuiApplication.
QIcon AppIcon();

// The image for `size` (kAppIconSmall or kAppIconLarge; any other size gets the large design
// scaled smoothly). Needs a QGuiApplication.
QPixmap AppIconPixmap(int size);
