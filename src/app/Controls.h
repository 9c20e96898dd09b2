// Small builders for the designed controls of the pages: each control gets its name as
// objectName (tests and the language walk find it by that name) and its Chinese caption.
#pragma once

#include <QLabel>
#include <QString>
#include <span>

class QAbstractItemView;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QWidget;

namespace quavox {

// One column of a report-view list: its designed caption and width.
struct TListColumn {
  const char* Caption;
  int Width;
};

QLabel* NewLabel(QWidget* AParent, const char* AName, const char* ACaption);
// A grey hint line that wraps.
QLabel* NewHintLabel(QWidget* AParent, const char* AName, const char* ACaption);
QPushButton* NewButton(QWidget* AParent, const char* AName, const char* ACaption);
QComboBox* NewCombo(QWidget* AParent, const char* AName);
QLineEdit* NewEdit(QWidget* AParent, const char* AName, const char* AHint = nullptr);
// A read-only report-view list with whole-row selection and the given columns.
QTreeWidget* NewReportList(QWidget* AParent, const char* AName,
                           std::span<const TListColumn> AColumns);
// The list shows a horizontal scroll bar only while it has rows: the column titles of an
// empty list are not worth one. Call after the view has its model.
void NoScrollBarWhileEmpty(QAbstractItemView* AView);

// A one-line label that shows as much of its text as fits, the rest given way to "…", with
// the whole text in its tooltip. It asks for no width, so a long text never pushes its
// neighbours or the window's edge.
class TElidedLabel final : public QLabel {
 public:
  TElidedLabel(QWidget* AParent, const char* AName, Qt::TextElideMode AMode = Qt::ElideRight);
  void SetFullText(const QString& AText);
  const QString& FullText() const { return FFullText; }
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* AEvent) override;

 private:
  void Elide();

  const Qt::TextElideMode FMode;
  QString FFullText;
};

// While the service works on the main thread, the window shows it is busy.
class TBusyCursor {
 public:
  TBusyCursor();
  ~TBusyCursor();
  TBusyCursor(const TBusyCursor&) = delete;
  TBusyCursor& operator=(const TBusyCursor&) = delete;
};

}  // namespace quavox
