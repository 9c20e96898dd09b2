#include "app/Controls.h"

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace quavox {

QLabel* NewLabel(QWidget* AParent, const char* AName, const char* ACaption) {
  auto* Label = new QLabel(QString::fromUtf8(ACaption), AParent);
  Label->setObjectName(QLatin1String(AName));
  return Label;
}

QLabel* NewHintLabel(QWidget* AParent, const char* AName, const char* ACaption) {
  QLabel* Label = NewLabel(AParent, AName, ACaption);
  Label->setWordWrap(true);
  Label->setForegroundRole(QPalette::PlaceholderText);
  return Label;
}

QPushButton* NewButton(QWidget* AParent, const char* AName, const char* ACaption) {
  auto* Button = new QPushButton(QString::fromUtf8(ACaption), AParent);
  Button->setObjectName(QLatin1String(AName));
  return Button;
}

QComboBox* NewCombo(QWidget* AParent, const char* AName) {
  auto* Combo = new QComboBox(AParent);
  Combo->setObjectName(QLatin1String(AName));
  Combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  Combo->setMinimumContentsLength(8);
  return Combo;
}

QLineEdit* NewEdit(QWidget* AParent, const char* AName, const char* AHint) {
  auto* Edit = new QLineEdit(AParent);
  Edit->setObjectName(QLatin1String(AName));
  if (AHint != nullptr) Edit->setPlaceholderText(QString::fromUtf8(AHint));
  return Edit;
}

QTreeWidget* NewReportList(QWidget* AParent, const char* AName,
                           std::span<const TListColumn> AColumns) {
  auto* List = new QTreeWidget(AParent);
  List->setObjectName(QLatin1String(AName));
  List->setRootIsDecorated(false);
  List->setUniformRowHeights(true);
  List->setSelectionMode(QAbstractItemView::SingleSelection);
  List->setSelectionBehavior(QAbstractItemView::SelectRows);
  List->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QStringList Captions;
  for (const TListColumn& Column : AColumns)
    Captions << QString::fromUtf8(Column.Caption);
  List->setHeaderLabels(Captions);
  for (int i = 0; i < static_cast<int>(AColumns.size()); ++i)
    List->setColumnWidth(i, AColumns[static_cast<std::size_t>(i)].Width);
  NoScrollBarWhileEmpty(List);
  return List;
}

void NoScrollBarWhileEmpty(QAbstractItemView* AView) {
  QAbstractItemModel* Model = AView->model();
  QObject* Object = AView;
  const auto Follow = [Object, Model] {
    // A view being destroyed empties its model when it is no longer a view.
    auto* View = qobject_cast<QAbstractItemView*>(Object);
    if (View == nullptr) return;
    View->setHorizontalScrollBarPolicy(Model->rowCount() == 0 ? Qt::ScrollBarAlwaysOff
                                                              : Qt::ScrollBarAsNeeded);
  };
  QObject::connect(Model, &QAbstractItemModel::rowsInserted, AView, Follow);
  QObject::connect(Model, &QAbstractItemModel::rowsRemoved, AView, Follow);
  QObject::connect(Model, &QAbstractItemModel::modelReset, AView, Follow);
  Follow();
}

TElidedLabel::TElidedLabel(QWidget* AParent, const char* AName, Qt::TextElideMode AMode)
    : QLabel(AParent), FMode(AMode) {
  setObjectName(QLatin1String(AName));
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void TElidedLabel::SetFullText(const QString& AText) {
  FFullText = AText;
  setToolTip(AText);
  Elide();
}

QSize TElidedLabel::minimumSizeHint() const {
  return {0, QLabel::minimumSizeHint().height()};
}

void TElidedLabel::resizeEvent(QResizeEvent* AEvent) {
  QLabel::resizeEvent(AEvent);
  Elide();
}

void TElidedLabel::Elide() {
  const QString Shown = fontMetrics().elidedText(FFullText, FMode, contentsRect().width());
  if (text() != Shown) setText(Shown);
}

TBusyCursor::TBusyCursor() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
}

TBusyCursor::~TBusyCursor() {
  QApplication::restoreOverrideCursor();
}

}  // namespace quavox
