// Font choices of the window: the designed family first, then the Linux families that carry
// Chinese and Japanese glyphs, so every caption renders whatever the desktop has installed.
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

namespace quavox {

// AFamily followed by the Linux fallbacks.
QStringList UiFontFamilies(const QString& AFamily);
// AFamily at APointSize with the fallbacks; ABold for emphasised labels.
QFont UiFont(const QString& AFamily, int APointSize = 9);
// "Consolas", then the system's fixed-width font.
QFont FixedUiFont();

}  // namespace quavox
