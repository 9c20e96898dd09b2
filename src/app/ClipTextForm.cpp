#include "app/ClipTextForm.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/UiFonts.h"
#include "app/UiText.h"
#include "core/Format.h"
#include "core/I18n.h"

namespace quavox {

TClipTextForm::TClipTextForm(QWidget* AOwner) : QDialog(AOwner) {
  setObjectName(QStringLiteral("TClipTextForm"));
  setWindowTitle(Tr("这一段说的是什么?"));
  setFont(UiFont(QStringLiteral("Microsoft YaHei UI")));
  setMinimumSize(420, 240);
  resize(620, 300);
  setSizeGripEnabled(true);

  // A long path keeps its start and its file name; the middle gives way.
  LblFile = new TElidedLabel(this, "LblFile", Qt::ElideMiddle);
  QFont Bold = LblFile->font();
  Bold.setBold(true);
  LblFile->setFont(Bold);
  LblPlace = new QLabel(this);
  LblPlace->setObjectName(QStringLiteral("LblPlace"));
  BtnPlay = new QPushButton(Tr("试听"), this);
  BtnPlay->setObjectName(QStringLiteral("BtnPlay"));
  BtnPlay->setAutoDefault(false);
  connect(BtnPlay, &QPushButton::clicked, this, [this] {
    if (FPlay) FPlay();
  });

  LblHint = new QLabel(
      Tr("可以写多行。加粗、字号这些只是方便你自己看 —— ") + Tr("交给引擎的是纯文字。"), this);
  LblHint->setObjectName(QStringLiteral("LblHint"));
  LblHint->setWordWrap(true);
  LblHint->setStyleSheet(QStringLiteral("color: gray;"));

  RichText = new QTextEdit(this);
  RichText->setObjectName(QStringLiteral("RichText"));
  RichText->setAcceptRichText(true);
  RichText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  connect(RichText, &QTextEdit::textChanged, this, &TClipTextForm::UpdateOk);

  BtnOk = new QPushButton(Tr("确定"), this);
  BtnOk->setObjectName(QStringLiteral("BtnOk"));
  BtnOk->setDefault(true);
  BtnOk->setAutoDefault(false);
  connect(BtnOk, &QPushButton::clicked, this, &TClipTextForm::accept);
  BtnCancel = new QPushButton(Tr("取消"), this);
  BtnCancel->setObjectName(QStringLiteral("BtnCancel"));
  BtnCancel->setAutoDefault(false);
  connect(BtnCancel, &QPushButton::clicked, this, &TClipTextForm::reject);

  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(BtnOk);
  Buttons->addWidget(BtnCancel);
  auto* Layout = new QVBoxLayout(this);
  auto* Clip = new QHBoxLayout;
  Clip->addWidget(LblFile, 1);
  Clip->addWidget(LblPlace);
  Clip->addWidget(BtnPlay);
  Layout->addLayout(Clip);
  Layout->addWidget(LblHint);
  Layout->addWidget(RichText, 1);
  Layout->addLayout(Buttons);
  UpdateOk();
}

void TClipTextForm::SetClip(const TClipQuestion& AClip, const std::string& ATranscript) {
  FPlay = AClip.Play;
  BtnPlay->setVisible(static_cast<bool>(FPlay));
  LblPlace->setText(AClip.Count > 1
                        ? QStr(Format(Translate("第 %d 段,共 %d 段"), AClip.Number, AClip.Count))
                        : QString());
  LblFile->SetFullText(QStr(AClip.FileName));
  RichText->setPlainText(QStr(ATranscript));
  UpdateOk();
}

std::string TClipTextForm::Transcript() const {
  return StdStr(RichText->toPlainText().trimmed());
}

void TClipTextForm::accept() {
  if (!RichText->toPlainText().trimmed().isEmpty()) QDialog::accept();
}

void TClipTextForm::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  if (parentWidget() != nullptr) {
    const QWidget* Owner = parentWidget()->window();
    move(Owner->geometry().center() - rect().center());
  }
}

void TClipTextForm::UpdateOk() {
  BtnOk->setEnabled(!RichText->toPlainText().trimmed().isEmpty());
}

}  // namespace quavox
