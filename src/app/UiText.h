// Small bridges between the program's UTF-8 texts and Qt's strings.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace quavox {

inline QString QStr(std::string_view AText) {
  return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}
inline std::string StdStr(const QString& AText) {
  return AText.toStdString();
}
// A user-visible text in the current interface language.
QString Tr(std::string_view AChinese);

}  // namespace quavox
