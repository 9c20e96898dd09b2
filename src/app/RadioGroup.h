// A titled group of radio buttons laid out in columns, read and set by item index like
// the classic radio group. The items are named "<group name>Item<index>".
#pragma once

#include <QGroupBox>
#include <QStringList>

class QButtonGroup;
class QRadioButton;

namespace quavox {

class TRadioGroup final : public QGroupBox {
  Q_OBJECT

 public:
  TRadioGroup(const QString& AName, const QString& ACaption, const QStringList& AItems,
              int AColumns, QWidget* AParent);

  // The checked item, or -1.
  int ItemIndex() const;
  // Checks the item without emitting Clicked.
  void SetItemIndex(int AIndex);
  QRadioButton* Item(int AIndex) const;
  int Count() const;

 signals:
  // The user clicked an item.
  void Clicked(int AIndex);

 private:
  QButtonGroup* FButtons;
};

}  // namespace quavox
