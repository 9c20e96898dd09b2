#include "app/ShareForm.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Dialogs.h"
#include "app/UiText.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "state/Config.h"
#include "state/Voices.h"

namespace quavox {

namespace {

QLabel* NewLabel(QWidget* AParent, const char* AName, const QString& ACaption) {
  auto* Label = new QLabel(ACaption, AParent);
  Label->setObjectName(QLatin1String(AName));
  return Label;
}

QLineEdit* NewEdit(QWidget* AParent, const char* AName, const QString& AHint) {
  auto* Edit = new QLineEdit(AParent);
  Edit->setObjectName(QLatin1String(AName));
  Edit->setPlaceholderText(AHint);
  return Edit;
}

QPushButton* NewButton(QWidget* AParent, const char* AName, const QString& ACaption) {
  auto* Button = new QPushButton(ACaption, AParent);
  Button->setObjectName(QLatin1String(AName));
  return Button;
}

std::string BindingLine(const QStringList& AParts, const TVoiceLibrary& AVoices,
                        const std::string& AVoiceId) {
  TVoiceInfo Voice;
  const std::string Shown =
      AVoices.Find(AVoiceId, Voice) ? Voice.Display : Translate("(音色已不在)");
  return StdStr(AParts[0]) + "   " + LanguageName(StdStr(AParts[1])) + " / " +
         GenderDisplay(ParseGender(StdStr(AParts[2]))) + "   → " + Shown;
}

}  // namespace

TShareForm::TShareForm(QWidget* AOwner, THubKind AKind, const TAppConfig& AConfig,
                       const TVoiceLibrary& AVoices, IDialogs& ADialogs)
    : QDialog(AOwner), FKind(AKind), FDialogs(ADialogs) {
  setObjectName(QStringLiteral("TShareForm"));
  // The dialog reads in the window's interface font.
  setAttribute(Qt::WA_WindowPropagation);
  setWindowTitle(QStr(Format(Translate("分享%s到云上"), HubKindDisplay(AKind))));
  CreateControls();
  FEdtUser->setText(QStr(AConfig.Settings().HubUserId));
  if (AKind == hkBroadcasts) {
    FillBindings(AConfig, AVoices);
  } else {
    FillVoices(AVoices);
  }
  if (FKeys.empty()) {
    FLblWhat->setText(AKind == hkBroadcasts ? Tr("还没有任何广播绑定 —— 先去「广播」页配一条。")
                                            : Tr("音色库还是空的 —— 先克隆一个再来分享。"));
    FBtnOk->setEnabled(false);
  }
}

void TShareForm::CreateControls() {
  FLblWhat = NewLabel(this, "FLblWhat",
                      FKind == hkBroadcasts
                          ? Tr("选一条要分享的广播绑定(用到的音色会一起打包,一次只能传一条):")
                          : Tr("选一个要分享的音色(参考音频会一起打包,一次只能传一个):"));
  FLblWhat->setWordWrap(true);
  FList = new QListWidget(this);
  FList->setObjectName(QStringLiteral("FList"));
  FList->setSelectionMode(QAbstractItemView::SingleSelection);
  connect(FList, &QListWidget::itemDoubleClicked, this, &TShareForm::accept);
  FLblUser = NewLabel(this, "FLblUser", Tr("你的用户 ID"));
  FEdtUser = NewEdit(this, "FEdtUser", Tr("自己随便起,用来署名"));
  FLblTitle = NewLabel(this, "FLblTitle", Tr("标题"));
  FEdtTitle = NewEdit(this, "FEdtTitle", {});
  FLblNote = NewLabel(this, "FLblNote", Tr("说明"));
  FEdtNote = NewEdit(this, "FEdtNote", Tr("一句话就行,可以留空"));
  FBtnOk = NewButton(this, "FBtnOk", Tr("上传"));
  FBtnOk->setDefault(true);
  FBtnCancel = NewButton(this, "FBtnCancel", Tr("取消"));
  connect(FBtnOk, &QPushButton::clicked, this, &TShareForm::accept);
  connect(FBtnCancel, &QPushButton::clicked, this, &TShareForm::reject);

  auto* Fields = new QGridLayout;
  Fields->addWidget(FLblUser, 0, 0);
  Fields->addWidget(FEdtUser, 0, 1);
  Fields->addWidget(FLblTitle, 1, 0);
  Fields->addWidget(FEdtTitle, 1, 1, 1, 2);
  Fields->addWidget(FLblNote, 2, 0);
  Fields->addWidget(FEdtNote, 2, 1, 1, 2);
  Fields->setColumnStretch(1, 3);
  Fields->setColumnStretch(2, 2);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(FBtnOk);
  Buttons->addWidget(FBtnCancel);
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(FLblWhat);
  Layout->addWidget(FList, 1);
  Layout->addLayout(Fields);
  Layout->addLayout(Buttons);
  resize(460, 400);
}

void TShareForm::FillBindings(const TAppConfig& AConfig, const TVoiceLibrary& AVoices) {
  for (const auto& [Key, VoiceId] : AConfig.AirlinesSnapshot()) {
    const QStringList Parts = QStr(Key).split(':');
    if (Parts.size() < 3) continue;
    FList->addItem(QStr(BindingLine(Parts, AVoices, VoiceId)));
    FKeys.push_back(Key);
  }
}

void TShareForm::FillVoices(const TVoiceLibrary& AVoices) {
  for (const TVoiceInfo& Voice : AVoices.All()) {
    const std::string Clips =
        Format(Translate("%d 段参考音频"), static_cast<int>(Voice.Clips.size()));
    FList->addItem(QStr(Format("%s   [%s / %s]   %s", Voice.Display, LanguageName(Voice.Language),
                               GenderDisplay(Voice.Gender), Clips)));
    FKeys.push_back(Voice.Id);
  }
}

void TShareForm::accept() {
  if (FList->currentRow() < 0 || FList->selectedItems().isEmpty()) {
    Refuse(FKind == hkBroadcasts ? Translate("先选一条广播绑定 —— 一次只能分享一条。")
                                 : Translate("先选一个音色 —— 一次只能分享一个。"),
           FList);
    return;
  }
  if (FEdtUser->text().trimmed().isEmpty()) {
    Refuse(Translate("用户 ID 不能空 —— 别人靠它认出这是谁分享的。"), FEdtUser);
    return;
  }
  if (FEdtTitle->text().trimmed().isEmpty()) {
    Refuse(Translate("标题不能空。"), FEdtTitle);
    return;
  }
  QDialog::accept();
}

void TShareForm::Refuse(const std::string& AText, QWidget* AFocus) {
  FDialogs.Warn(this, AText);
  AFocus->setFocus();
}

bool TShareForm::Choice(TShareChoice& AChoice) const {
  const int Row = FList->currentRow();
  if (Row < 0 || Row >= static_cast<int>(FKeys.size())) return false;
  AChoice.Kind = FKind;
  AChoice.UserId = StdStr(FEdtUser->text().trimmed());
  AChoice.Title = StdStr(FEdtTitle->text().trimmed());
  AChoice.Note = StdStr(FEdtNote->text().trimmed());
  AChoice.Picked = {FKeys[static_cast<std::size_t>(Row)]};
  return true;
}

void TShareForm::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  if (parentWidget() != nullptr) {
    const QWidget* Owner = parentWidget()->window();
    move(Owner->geometry().center() - rect().center());
  }
}

}  // namespace quavox
