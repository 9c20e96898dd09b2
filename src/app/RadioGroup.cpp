#include "app/RadioGroup.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>

namespace quavox {

TRadioGroup::TRadioGroup(const QString& AName, const QString& ACaption, const QStringList& AItems,
                         int AColumns, QWidget* AParent)
    : QGroupBox(ACaption, AParent), FButtons(new QButtonGroup(this)) {
  setObjectName(AName);
  auto* Layout = new QGridLayout(this);
  for (int i = 0; i < AItems.size(); ++i) {
    auto* Button = new QRadioButton(AItems[i], this);
    Button->setObjectName(AName + QStringLiteral("Item") + QString::number(i));
    FButtons->addButton(Button, i);
    Layout->addWidget(Button, i / AColumns, i % AColumns);
  }
  connect(FButtons, &QButtonGroup::idClicked, this, &TRadioGroup::Clicked);
}

int TRadioGroup::ItemIndex() const {
  return FButtons->checkedId();
}

void TRadioGroup::SetItemIndex(int AIndex) {
  if (QAbstractButton* Button = FButtons->button(AIndex)) Button->setChecked(true);
}

QRadioButton* TRadioGroup::Item(int AIndex) const {
  return static_cast<QRadioButton*>(FButtons->button(AIndex));
}

int TRadioGroup::Count() const {
  return static_cast<int>(FButtons->buttons().size());
}

}  // namespace quavox
