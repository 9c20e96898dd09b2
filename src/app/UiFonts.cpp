#include "app/UiFonts.h"

#include <QFontDatabase>

namespace quavox {

QStringList UiFontFamilies(const QString& AFamily) {
  return {AFamily,
          QStringLiteral("Noto Sans CJK SC"),
          QStringLiteral("WenQuanYi Micro Hei"),
          QStringLiteral("DejaVu Sans"),
          QStringLiteral("Lohit Devanagari"),
          QStringLiteral("Loma")};
}

QFont UiFont(const QString& AFamily, int APointSize) {
  QFont Font;
  Font.setFamilies(UiFontFamilies(AFamily));
  Font.setPointSize(APointSize);
  return Font;
}

QFont FixedUiFont() {
  QFont Font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  Font.setFamilies({QStringLiteral("Consolas"), Font.family(), QStringLiteral("DejaVu Sans Mono"),
                    QStringLiteral("Noto Sans CJK SC")});
  Font.setStyleHint(QFont::Monospace);
  return Font;
}

}  // namespace quavox
