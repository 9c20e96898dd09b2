// Page "日志": the request list and the event log as they arrive on the main thread. Both
// views are bounded: the entry after the limit clears the view first.
#pragma once

#include <QWidget>

class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace quavox {

class TMainForm;
struct TLogEntry;
struct TRequestLog;

class TLogPage final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int MaxRequestRows = 500;
  static constexpr int MaxLogLines = 1000;

  explicit TLogPage(TMainForm& AForm);

  void AppendLogEntry(const TLogEntry& AEntry);
  // The voice is shown as AVoiceName, its id in a tooltip.
  void AppendRequest(const TRequestLog& ARecord, const std::string& AVoiceName);
  // The rows' "命中" cells in the current interface language.
  void RetranslateRequests();
  void OnClearLogClick();

  QTreeWidget* FLvRequests;
  QPlainTextEdit* FMemoLog;
  QPushButton* FBtnClearLog;

 private:
  int FLogLines = 0;
};

}  // namespace quavox
