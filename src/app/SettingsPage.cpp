#include "app/SettingsPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QUrl>
#include <QVBoxLayout>
#include <cmath>
#include <limits>
#include <thread>

#include "app/BroadcastPage.h"
#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/EnginePanel.h"
#include "app/MainForm.h"
#include "app/UiText.h"
#include "core/Dispatcher.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Text.h"
#include "http/Http.h"
#include "service/Service.h"
#include "state/Config.h"

namespace quavox {

namespace {

constexpr int32_t NoUpperLimit = std::numeric_limits<int32_t>::max();
// The configuration keeps no larger budget when it is read again, so neither does the page.
constexpr int32_t MaxCacheBudgetMB = 8192;

QCheckBox* NewCheck(QWidget* AParent, const char* AName, const char* ACaption) {
  auto* Check = new QCheckBox(QString::fromUtf8(ACaption), AParent);
  Check->setObjectName(QLatin1String(AName));
  return Check;
}

QGroupBox* NewGroup(QWidget* AParent, const char* AName, const char* ACaption) {
  auto* Group = new QGroupBox(QString::fromUtf8(ACaption), AParent);
  Group->setObjectName(QLatin1String(AName));
  return Group;
}

// One labelled edit of a form; the label is named after the edit ("FEdtPort" gives
// "FLblPort").
QLineEdit* AddEdit(QFormLayout* AForm, QWidget* AParent, const char* AName, const char* ACaption,
                   const char* AHint = nullptr) {
  QLineEdit* Edit = NewEdit(AParent, AName, AHint);
  const QString LabelName = QStringLiteral("FLbl") + QLatin1String(AName).mid(4);
  QLabel* Label = NewLabel(AParent, LabelName.toLatin1().constData(), ACaption);
  Label->setBuddy(Edit);
  AForm->addRow(Label, Edit);
  return Edit;
}

QString IntText(int32_t AValue) {
  return QString::number(AValue);
}

QString DecimalText(double AValue) {
  return QStr(Format("%.2f", AValue));
}

}  // namespace

int32_t SettingInt(const QString& AText, int32_t ADefault, int32_t AMin, int32_t AMax) {
  int64_t Value = 0;
  if (!TryParseInt64(StdStr(AText), Value) || Value < std::numeric_limits<int32_t>::min() ||
      Value > std::numeric_limits<int32_t>::max())
    Value = ADefault;
  return static_cast<int32_t>(std::clamp<int64_t>(Value, AMin, AMax));
}

double SettingDecimal(const QString& AText, double ADefault) {
  double Value = 0;
  if (!TryParseDouble(StdStr(AText), Value) || !std::isfinite(Value)) return ADefault;
  return Value;
}

TSettingsPage::TSettingsPage(TMainForm& AForm) : QWidget(&AForm), FForm(AForm) {
  setObjectName(QStringLiteral("FTabSettings"));
  auto* Content = new QWidget;
  Content->setObjectName(QStringLiteral("FSettingsContent"));
  auto* ContentLayout = new QVBoxLayout(Content);
  ContentLayout->addWidget(CreateTopArea());
  ContentLayout->addWidget(CreateAdvancedPanel());
  ContentLayout->addStretch(1);
  auto* Scroll = new QScrollArea(this);
  Scroll->setObjectName(QStringLiteral("FSettingsScroll"));
  Scroll->setFrameShape(QFrame::NoFrame);
  Scroll->setWidgetResizable(true);
  Scroll->setWidget(Content);
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(Scroll);
}

QWidget* TSettingsPage::CreateTopArea() {
  auto* Top = new QWidget;
  FCbUiLang = NewCombo(Top, "FCbUiLang");
  connect(FCbUiLang, &QComboBox::currentIndexChanged, &FForm, &TMainForm::OnUiLangChange);
  QLabel* LangLabel = NewLabel(Top, "FLblUiLang", "界面语言");
  LangLabel->setBuddy(FCbUiLang);
  auto* Language = new QHBoxLayout;
  Language->addWidget(LangLabel);
  Language->addWidget(FCbUiLang);
  Language->addStretch(1);
  FChkAutoStart = NewCheck(Top, "FChkAutoStart", "开机即启动服务");
  FChkTray = NewCheck(Top, "FChkTray", "关窗口时收进托盘");
  auto* Checks = new QHBoxLayout;
  Checks->addWidget(FChkAutoStart);
  Checks->addWidget(FChkTray);
  Checks->addStretch(1);

  auto* Layout = new QVBoxLayout(Top);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addLayout(Language);
  Layout->addWidget(CreateEngineGroup());
  Layout->addLayout(Checks);
  Layout->addLayout(CreateButtonRow());
  return Top;
}

QGroupBox* TSettingsPage::CreateEngineGroup() {
  FGbEngine = new QGroupBox(this);
  FGbEngine->setObjectName(QStringLiteral("FGbEngine"));
  // No frame of its own: the group takes no room until it holds controls.
  FGbEngine->setStyleSheet(QStringLiteral("QGroupBox#FGbEngine { border: none; margin: 0; }"));
  auto* Layout = new QGridLayout(FGbEngine);
  Layout->setContentsMargins(0, 0, 0, 0);
  FEnginePanel = new TEngineSettingsPanel(FForm, FGbEngine);
  Layout->addWidget(FEnginePanel, 0, 0);
  return FGbEngine;
}

QLayout* TSettingsPage::CreateButtonRow() {
  FBtnSaveSettings = NewButton(this, "FBtnSaveSettings", "保存并应用");
  FBtnResetSettings = NewButton(this, "FBtnResetSettings", "恢复默认");
  FBtnAdvanced = NewButton(this, "FBtnAdvanced", "高级设置…");
  FBtnCheckUpdate = NewButton(this, "FBtnCheckUpdate", "检查更新");
  FLblUpdate = NewLabel(this, "FLblUpdate", "点一下看看有没有新版");
  FLblUpdate->setForegroundRole(QPalette::PlaceholderText);
  // A long answer (a failed check names its reason) wraps instead of widening the page.
  FLblUpdate->setWordWrap(true);
  FLnkGitHub = NewLabel(this, "FLnkGitHub", "<a href=\"releases\">GitHub</a>");
  FLnkGitHub->setTextFormat(Qt::RichText);
  FLnkGitHub->setCursor(Qt::PointingHandCursor);
  connect(FBtnSaveSettings, &QPushButton::clicked, this, &TSettingsPage::OnSaveSettingsClick);
  connect(FBtnResetSettings, &QPushButton::clicked, this, &TSettingsPage::OnResetSettingsClick);
  connect(FBtnAdvanced, &QPushButton::clicked, this, &TSettingsPage::OnToggleAdvancedClick);
  connect(FBtnCheckUpdate, &QPushButton::clicked, this, &TSettingsPage::OnCheckUpdateClick);
  connect(FLnkGitHub, &QLabel::linkActivated, this, &TSettingsPage::OnGitHubLinkClick);
  auto* Row = new QHBoxLayout;
  for (QPushButton* Button : {FBtnSaveSettings, FBtnResetSettings, FBtnAdvanced})
    Row->addWidget(Button);
  Row->addSpacing(16);
  Row->addWidget(FBtnCheckUpdate);
  Row->addWidget(FLblUpdate, 1);
  Row->addWidget(FLnkGitHub);
  return Row;
}

QWidget* TSettingsPage::CreateAdvancedPanel() {
  FPnlAdvanced = new QWidget(this);
  FPnlAdvanced->setObjectName(QStringLiteral("FPnlAdvanced"));
  QLabel* Hint = NewHintLabel(FPnlAdvanced, "FLblAdvancedHint",
                              "下面这些不改也能用。改错了可以点「恢复默认」。");
  auto* Left = new QVBoxLayout;
  Left->addWidget(CreateServerGroup());
  Left->addWidget(CreateSynthesisGroup());
  Left->addStretch(1);
  auto* Right = new QVBoxLayout;
  Right->addWidget(CreateEngineParamsGroup());
  Right->addStretch(1);
  auto* Columns = new QHBoxLayout;
  Columns->addLayout(Left, 1);
  Columns->addLayout(Right, 1);
  auto* Layout = new QVBoxLayout(FPnlAdvanced);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(Hint);
  Layout->addLayout(Columns);
  FPnlAdvanced->hide();
  return FPnlAdvanced;
}

QGroupBox* TSettingsPage::CreateServerGroup() {
  QGroupBox* Group = NewGroup(FPnlAdvanced, "FGbServer", "— 服务 —");
  auto* Form = new QFormLayout(Group);
  FEdtPort = AddEdit(Form, Group, "FEdtPort", "端口");
  FEdtBind = AddEdit(Form, Group, "FEdtBind", "绑定地址");
  FEdtRate = AddEdit(Form, Group, "FEdtRate", "每 IP 每分钟");
  return Group;
}

QGroupBox* TSettingsPage::CreateSynthesisGroup() {
  QGroupBox* Group = NewGroup(FPnlAdvanced, "FGbSynthesis", "— 合成 —");
  auto* Form = new QFormLayout(Group);
  FEdtMaxText = AddEdit(Form, Group, "FEdtMaxText", "文本上限");
  FEdtQueue = AddEdit(Form, Group, "FEdtQueue", "队列上限");
  FEdtTimeout = AddEdit(Form, Group, "FEdtTimeout", "超时(毫秒)");
  FCbSpeedMode = NewCombo(Group, "FCbSpeedMode");
  QLabel* SpeedLabel = NewLabel(Group, "FLblSpeedMode", "调速方式");
  SpeedLabel->setBuddy(FCbSpeedMode);
  // Its choices are long sentences in every language: the combo takes the whole row under
  // its caption, so none of them is shown cut.
  Form->addRow(SpeedLabel);
  Form->addRow(FCbSpeedMode);
  FChkCacheEnabled = NewCheck(Group, "FChkCacheEnabled", "启用结果缓存");
  Form->addRow(FChkCacheEnabled);
  FEdtCacheMB = AddEdit(Form, Group, "FEdtCacheMB", "上限(MB,0=不限)");
  FChkAutoDefaultVoice = NewCheck(Group, "FChkAutoDefaultVoice", "缺音色时自动生成默认音色");
  Form->addRow(FChkAutoDefaultVoice);
  return Group;
}

QGroupBox* TSettingsPage::CreateEngineParamsGroup() {
  QGroupBox* Group = NewGroup(FPnlAdvanced, "FGbEngineParams", "— 引擎参数 —");
  auto* Form = new QFormLayout(Group);
  FEdtGpuLayers = AddEdit(Form, Group, "FEdtGpuLayers", "GPU 层数", "-1");
  FEdtThreads = AddEdit(Form, Group, "FEdtThreads", "线程数", "0");
  FEdtTemperature = AddEdit(Form, Group, "FEdtTemperature", "temperature");
  FEdtTopP = AddEdit(Form, Group, "FEdtTopP", "top_p");
  FEdtTopK = AddEdit(Form, Group, "FEdtTopK", "top_k");
  FEdtMaxTokens = AddEdit(Form, Group, "FEdtMaxTokens", "最大 token");
  FEdtExtraArgs =
      AddEdit(Form, Group, "FEdtExtraArgs", "额外参数", "透传给 s2,例如 --n-gpu-layers 99");
  FLayEngineButtons = new QHBoxLayout;
  FLayEngineButtons->addWidget(FEnginePanel->FPnlEngineButtons);
  Form->addRow(FLayEngineButtons);
  return Group;
}

void TSettingsPage::FillCombos() {
  {
    const QSignalBlocker Quiet(FCbUiLang);
    const int Index = FCbUiLang->currentIndex();
    FCbUiLang->clear();
    for (const TUiLang Lang : {ulAuto, ulZh, ulJa, ulEn})
      FCbUiLang->addItem(QStr(UiLangName(Lang)));
    FCbUiLang->setCurrentIndex(std::max(Index, 0));
  }
  const int Mode = FCbSpeedMode->currentIndex();
  FCbSpeedMode->clear();
  for (const TTtsSpeedMode Each : {smEngine, smLocalStretch, smLocalResample})
    FCbSpeedMode->addItem(QStr(SpeedModeDisplay(Each)));
  FCbSpeedMode->setCurrentIndex(std::max(Mode, 0));
}

void TSettingsPage::SettingsToControls() {
  const TConfigSettings s = FForm.Config().Settings();
  {
    const QSignalBlocker Quiet(FCbUiLang);
    FCbUiLang->setCurrentIndex(static_cast<int>(s.UiLanguage));
  }
  FChkAutoStart->setChecked(s.AutoStartServer);
  FChkTray->setChecked(s.MinimizeToTray);
  FEdtPort->setText(IntText(s.Port));
  FEdtBind->setText(QStr(s.BindAddress));
  FEdtRate->setText(IntText(s.RateLimitPerMinute));
  FEdtMaxText->setText(IntText(s.MaxTextLength));
  FEdtQueue->setText(IntText(s.QueueLimit));
  FEdtTimeout->setText(IntText(s.RequestTimeoutMs));
  FCbSpeedMode->setCurrentIndex(static_cast<int>(s.SpeedMode));
  FChkCacheEnabled->setChecked(s.CacheEnabled);
  FEdtCacheMB->setText(IntText(s.CacheBudgetMB));
  FChkAutoDefaultVoice->setChecked(s.AutoCreateDefaultVoice);
  FEdtGpuLayers->setText(IntText(s.Engine.GpuLayers));
  FEdtThreads->setText(IntText(s.Engine.Threads));
  FEdtTemperature->setText(DecimalText(s.Engine.Temperature));
  FEdtTopP->setText(DecimalText(s.Engine.TopP));
  FEdtTopK->setText(IntText(s.Engine.TopK));
  FEdtMaxTokens->setText(IntText(s.Engine.MaxNewTokens));
  FEdtExtraArgs->setText(QStr(s.Engine.ExtraArgs));
  FEnginePanel->SettingsToControls(s);
}

bool TSettingsPage::ReadPort(int32_t& APort) const {
  int64_t Port = 0;
  if (!TryParseInt64(StdStr(FEdtPort->text()), Port) || Port < 1 || Port > 65535) {
    FForm.Warn(Translate("端口得是 1..65535 之间的数。"));
    return false;
  }
  APort = static_cast<int32_t>(Port);
  return true;
}

bool TSettingsPage::ControlsToSettings() {
  int32_t Port = 0;
  if (!ReadPort(Port)) return false;
  TAppConfig& Config = FForm.Config();
  TConfigSettings s = Config.Settings();
  s.Port = Port;
  s.BindAddress = StdStr(FEdtBind->text().trimmed());
  s.RateLimitPerMinute = SettingInt(FEdtRate->text(), 600, 0, NoUpperLimit);
  s.AutoStartServer = FChkAutoStart->isChecked();
  s.MinimizeToTray = FChkTray->isChecked();
  s.MaxTextLength = SettingInt(FEdtMaxText->text(), 5000, 1, 100000);
  s.QueueLimit = SettingInt(FEdtQueue->text(), 64, 1, 4096);
  s.RequestTimeoutMs = SettingInt(FEdtTimeout->text(), 120000, 1000, 600000);
  s.SpeedMode = static_cast<TTtsSpeedMode>(std::max(FCbSpeedMode->currentIndex(), 0));
  s.CacheEnabled = FChkCacheEnabled->isChecked();
  s.CacheBudgetMB = SettingInt(FEdtCacheMB->text(), 0, 0, MaxCacheBudgetMB);
  s.AutoCreateDefaultVoice = FChkAutoDefaultVoice->isChecked();
  s.Engine.GpuLayers = SettingInt(FEdtGpuLayers->text(), -1, -1, 999);
  s.Engine.Threads = SettingInt(FEdtThreads->text(), 0, 0, 256);
  s.Engine.Temperature = static_cast<float>(SettingDecimal(FEdtTemperature->text(), 0.58));
  s.Engine.TopP = static_cast<float>(SettingDecimal(FEdtTopP->text(), 0.8));
  s.Engine.TopK = SettingInt(FEdtTopK->text(), 40, 0, 1000);
  s.Engine.MaxNewTokens = SettingInt(FEdtMaxTokens->text(), 1024, 64, 16384);
  s.Engine.ExtraArgs = StdStr(FEdtExtraArgs->text().trimmed());
  FEnginePanel->ControlsToSettings(s.Engine);
  Config.SetSettings(s);
  Config.Save();
  SettingsToControls();
  FForm.Service().ApplyConfig();
  FForm.FollowAsConfigured();
  FForm.RefreshServicePage();
  return true;
}

// A running server is stopped first so the new address and port take effect. The port is
// checked before that: a typo must not take the running server down.
void TSettingsPage::OnSaveSettingsClick() {
  int32_t Port = 0;
  if (!ReadPort(Port)) return;
  TTtsHttpServer& Http = FForm.Http();
  const bool WasRunning = Http.Running();
  if (WasRunning) Http.Stop();
  if (!ControlsToSettings()) return;
  if (WasRunning) FForm.OnStartClick();
  FForm.ShowStatus(Translate("设置已保存"));
}

// The bindings are emptied with everything else, so the bindings page is refilled at once
// rather than offering rows that no longer exist.
void TSettingsPage::OnResetSettingsClick() {
  if (!FForm.Dialogs().Confirm(
          &FForm, Translate("把所有设置恢复成默认值?航空公司绑定和各语言的默认音色也会被清除。")))
    return;
  TAppConfig& Config = FForm.Config();
  Config.Reset();
  Config.Save();
  SettingsToControls();
  FForm.Service().ApplyConfig();
  FForm.FollowAsConfigured();
  FForm.RefreshServicePage();
  FForm.BroadcastPage().RefreshAirlinesPage();
}

void TSettingsPage::OnToggleAdvancedClick() {
  const bool Show = FPnlAdvanced->isHidden();
  FPnlAdvanced->setVisible(Show);
  UpdateAdvancedCaption();
  TAppConfig& Config = FForm.Config();
  TConfigSettings s = Config.Settings();
  s.ShowAdvanced = Show;
  Config.SetSettings(s);
  Config.Save();
}

void TSettingsPage::UpdateAdvancedCaption() {
  FBtnAdvanced->setText(Tr(FPnlAdvanced->isHidden() ? "高级设置…" : "收起高级设置"));
}

void TSettingsPage::ShowUpdateLine(const QString& AText, bool AHighlight) {
  FLblUpdate->setForegroundRole(AHighlight ? QPalette::Highlight : QPalette::PlaceholderText);
  FLblUpdate->setText(AText);
}

// The check runs on a thread of its own. Its answer travels through the window's
// dispatcher; the posted call carries the last reference to the dispatcher it came
// through, so that dispatcher always ends on the main thread, and the answer is dropped
// once the window or this page is gone.
void TSettingsPage::OnCheckUpdateClick() {
  FBtnCheckUpdate->setEnabled(false);
  ShowUpdateLine(Tr("正在查询…"), false);
  std::thread([Api = FReleaseApiUrl, Host = FCodeHostUrl, Page = QPointer<TSettingsPage>(this),
               Dispatcher = FForm.Dispatcher()]() mutable {
    const TUpdateInfo Info = CheckForUpdate(Api, Host);
    IMainThreadDispatcher* Target = Dispatcher.get();
    Target->Post([Page, Info, Keep = std::move(Dispatcher)] {
      if (MainFormAlive() && Page) Page->OnUpdateChecked(Info);
    });
  }).detach();
}

void TSettingsPage::OnUpdateChecked(const TUpdateInfo& AInfo) {
  FBtnCheckUpdate->setEnabled(true);
  FUpdateInfo = AInfo;
  FUpdateAnswered = true;
  ShowUpdateAnswer();
}

void TSettingsPage::RetranslateUpdateLine() {
  if (!FBtnCheckUpdate->isEnabled())
    ShowUpdateLine(Tr("正在查询…"), false);
  else if (FUpdateAnswered)
    ShowUpdateAnswer();
}

void TSettingsPage::ShowUpdateAnswer() {
  if (!FUpdateInfo.Ok)
    ShowUpdateLine(Tr("查不了:") + QStr(FUpdateInfo.Error), false);
  else if (FUpdateInfo.Newer)
    ShowUpdateLine(QStr(Format(Translate("有新版 %s,点右边去下载"), FUpdateInfo.Latest)), true);
  else
    ShowUpdateLine(QStr(Format(Translate("已是最新(%s)"), FUpdateInfo.Current)), false);
}

std::string TSettingsPage::ReleaseLinkUrl() const {
  if (FUpdateInfo.Ok && FUpdateInfo.Newer && !FUpdateInfo.PageUrl.empty())
    return FUpdateInfo.PageUrl;
  std::string Host = FCodeHostUrl;
  while (!Host.empty() && Host.back() == '/')
    Host.pop_back();
  return Host + Format("/%s/%s/releases", ReleaseOwner, ReleaseRepository);
}

void TSettingsPage::OnGitHubLinkClick() {
  QDesktopServices::openUrl(QUrl(QStr(ReleaseLinkUrl())));
}

void TSettingsPage::SetReleaseHosts(std::string AApiBaseUrl, std::string ACodeHostUrl) {
  FReleaseApiUrl = std::move(AApiBaseUrl);
  FCodeHostUrl = std::move(ACodeHostUrl);
}

}  // namespace quavox
