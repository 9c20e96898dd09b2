// The rows of the cache page: a snapshot of the cache index, newest first, of which the view
// shows the entries that pass the filter. Texts of a row are formed only when the view asks
// for them, so ten thousand entries refill and filter without building ten thousand items.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <string>
#include <vector>

#include "app/VoiceNames.h"
#include "state/Cache.h"

namespace quavox {

class TCacheListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum TColumn : int { ccVoice, ccLanguage, ccSpeed, ccDuration, ccSize, ccText, ccCount };
  // The cache key of a row.
  static constexpr int KeyRole = Qt::UserRole;

  explicit TCacheListModel(QObject* AParent = nullptr);

  // Takes a new snapshot and shows the entries whose voice is AVoice (any voice when empty)
  // and whose voice, text and language contain AFilter, ignoring case; the number shown.
  // Voices are shown by their names in ANames, their ids in a tooltip.
  int Refill(TCacheSnapshot ASnapshot, const QString& AFilter, const std::string& AVoice,
             TDisplayById ANames);
  // The distinct non-empty voice ids of the whole snapshot, sorted.
  std::vector<std::string> VoiceIds() const;
  const std::string& KeyAt(int ARow) const;

  int rowCount(const QModelIndex& AParent = {}) const override;
  int columnCount(const QModelIndex& AParent = {}) const override;
  QVariant data(const QModelIndex& AIndex, int ARole = Qt::DisplayRole) const override;
  QVariant headerData(int ASection, Qt::Orientation AOrientation,
                      int ARole = Qt::DisplayRole) const override;
  // Column captions can be replaced, so the window's language walk can translate them.
  bool setHeaderData(int ASection, Qt::Orientation AOrientation, const QVariant& AValue,
                     int ARole = Qt::EditRole) override;

 private:
  struct TRow {
    std::string Key;
    TCacheEntry Entry;
    // Voice, text and language, lower-cased, for the filter.
    QString Haystack;
  };

  QString CellText(const TCacheEntry& AEntry, int AColumn) const;

  QStringList FCaptions;
  std::vector<TRow> FRows;
  std::vector<int> FShown;
  TDisplayById FNames;
};

}  // namespace quavox
