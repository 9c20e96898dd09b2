#include "app/CacheListModel.h"

#include <QLocale>
#include <algorithm>
#include <set>

#include "app/UiText.h"
#include "core/Format.h"
#include "core/Types.h"

namespace quavox {

namespace {

// Every line break becomes one space, so a row stays one line.
QString OneLine(QString AText) {
  AText.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  AText.replace(QLatin1Char('\r'), QLatin1Char(' '));
  AText.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return AText;
}

}  // namespace

TCacheListModel::TCacheListModel(QObject* AParent)
    : QAbstractTableModel(AParent), FCaptions{QStringLiteral("音色"), QStringLiteral("语言"),
                                              QStringLiteral("语速"), QStringLiteral("时长"),
                                              QStringLiteral("大小"), QStringLiteral("文本")} {}

int TCacheListModel::Refill(TCacheSnapshot ASnapshot, const QString& AFilter,
                            const std::string& AVoice, TDisplayById ANames) {
  std::sort(ASnapshot.begin(), ASnapshot.end(),
            [](const auto& A, const auto& B) { return A.second.Stamp > B.second.Stamp; });
  const QLocale Locale;
  beginResetModel();
  FNames = std::move(ANames);
  FRows.clear();
  FRows.reserve(ASnapshot.size());
  FShown.clear();
  for (auto& [Key, Entry] : ASnapshot) {
    QString Haystack = Locale.toLower(QStr(Entry.VoiceId + " " + VoiceName(FNames, Entry.VoiceId) +
                                           " " + Entry.Text + " " + Entry.Language));
    const bool Shown = (AVoice.empty() || Entry.VoiceId == AVoice) &&
                       (AFilter.isEmpty() || Haystack.contains(AFilter));
    if (Shown) FShown.push_back(static_cast<int>(FRows.size()));
    FRows.push_back({std::move(Key), std::move(Entry), std::move(Haystack)});
  }
  endResetModel();
  return static_cast<int>(FShown.size());
}

std::vector<std::string> TCacheListModel::VoiceIds() const {
  std::set<std::string> Ids;
  for (const TRow& Row : FRows)
    if (!Row.Entry.VoiceId.empty()) Ids.insert(Row.Entry.VoiceId);
  return {Ids.begin(), Ids.end()};
}

const std::string& TCacheListModel::KeyAt(int ARow) const {
  return FRows[static_cast<std::size_t>(FShown.at(static_cast<std::size_t>(ARow)))].Key;
}

int TCacheListModel::rowCount(const QModelIndex& AParent) const {
  return AParent.isValid() ? 0 : static_cast<int>(FShown.size());
}

int TCacheListModel::columnCount(const QModelIndex& AParent) const {
  return AParent.isValid() ? 0 : ccCount;
}

QString TCacheListModel::CellText(const TCacheEntry& AEntry, int AColumn) const {
  switch (AColumn) {
    case ccVoice:
      return QStr(VoiceName(FNames, AEntry.VoiceId));
    case ccLanguage:
      return QStr(LanguageName(AEntry.Language));
    case ccSpeed:
      return QStr(Format("%.2f x", AEntry.Speed));
    case ccDuration:
      return QStr(Format("%.2f s", AEntry.DurationMs / 1000.0));
    case ccSize:
      return QStr(Format("%.0f KB", AEntry.Bytes / 1024.0));
    default:
      return OneLine(QStr(AEntry.Text));
  }
}

QVariant TCacheListModel::data(const QModelIndex& AIndex, int ARole) const {
  if (!AIndex.isValid() || AIndex.row() >= rowCount()) return {};
  const TRow& Row = FRows[static_cast<std::size_t>(FShown[static_cast<std::size_t>(AIndex.row())])];
  if (ARole == KeyRole) return QStr(Row.Key);
  if (ARole == Qt::DisplayRole) return CellText(Row.Entry, AIndex.column());
  if (ARole == Qt::ToolTipRole && AIndex.column() == ccVoice) return QStr(Row.Entry.VoiceId);
  return {};
}

QVariant TCacheListModel::headerData(int ASection, Qt::Orientation AOrientation, int ARole) const {
  if (AOrientation != Qt::Horizontal || ARole != Qt::DisplayRole || ASection < 0 ||
      ASection >= FCaptions.size())
    return {};
  return FCaptions[ASection];
}

bool TCacheListModel::setHeaderData(int ASection, Qt::Orientation AOrientation,
                                    const QVariant& AValue, int ARole) {
  if (AOrientation != Qt::Horizontal || (ARole != Qt::EditRole && ARole != Qt::DisplayRole) ||
      ASection < 0 || ASection >= FCaptions.size())
    return false;
  FCaptions[ASection] = AValue.toString();
  emit headerDataChanged(AOrientation, ASection, ASection);
  return true;
}

}  // namespace quavox
