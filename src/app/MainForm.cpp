#include "app/MainForm.h"

#include <unistd.h>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QTranslator>
#include <cstdio>

#include "app/BroadcastPage.h"
#include "app/CachePage.h"
#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/LogPage.h"
#include "app/ModelsPage.h"
#include "app/QtDispatcher.h"
#include "app/ServicePage.h"
#include "app/SettingsPage.h"
#include "app/SharePage.h"
#include "app/TryOutPage.h"
#include "app/UiFonts.h"
#include "app/UiText.h"
#include "app/VoicesPage.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "engine/Gpu.h"
#include "engine/Models.h"
#include "http/Http.h"
#include "online/Follower.h"
#include "service/Service.h"
#include "state/Voices.h"

namespace quavox {

namespace {

bool GMainFormAlive = false;

constexpr const char* VersionText = "0.3.26218 (2026-08-06 20:41)";

// The program's icon: drawn, so the program folder needs no image files.
QPixmap AppImage() {
  QPixmap Image(64, 64);
  Image.fill(Qt::transparent);
  QPainter Paint(&Image);
  Paint.setRenderHint(QPainter::Antialiasing);
  Paint.setBrush(QColor(0x1f, 0x5f, 0xa8));
  Paint.setPen(Qt::NoPen);
  Paint.drawRoundedRect(2, 2, 60, 60, 14, 14);
  Paint.setPen(QPen(Qt::white, 6, Qt::SolidLine, Qt::RoundCap));
  Paint.setBrush(Qt::NoBrush);
  Paint.drawEllipse(QPointF(30, 30), 16, 16);
  Paint.drawLine(QPointF(38, 38), QPointF(50, 50));
  return Image;
}

QIcon AppIcon() {
  return QIcon(AppImage());
}

const QColor RunningColour(0x1a, 0x7f, 0x37);
const QColor StoppedColour(0xc6, 0x28, 0x28);

// The program's icon with a dot in the corner: green while the server runs, red while not.
QIcon TrayIcon(bool ARunning) {
  QPixmap Image = AppImage();
  QPainter Paint(&Image);
  Paint.setRenderHint(QPainter::Antialiasing);
  Paint.setPen(QPen(Qt::white, 4));
  Paint.setBrush(ARunning ? RunningColour : StoppedColour);
  Paint.drawEllipse(QPointF(48, 48), 14, 14);
  return QIcon(Image);
}

void WriteToStderr(const std::string& ALine) {
  std::fwrite(ALine.data(), 1, ALine.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool MainFormAlive() {
  return GMainFormAlive;
}

TMainForm::TMainForm(TMainFormOptions AOptions)
    : FConfig(std::make_unique<TAppConfig>(AOptions.Folders)),
      FTrayAvailable(AOptions.TrayAvailable),
      FHubUrl(std::move(AOptions.HubUrl)),
      FInstalledFonts(std::move(AOptions.InstalledFonts)),
      FMirrorHost(AOptions.MirrorModelHost.empty() ? MirrorModelHost : AOptions.MirrorModelHost),
      FOfficialHost(AOptions.OfficialModelHost.empty() ? OfficialModelHost
                                                       : AOptions.OfficialModelHost),
      FCudaDriverCheck(std::move(AOptions.CudaDriverCheck)),
      FDispatcher(std::make_shared<TQtDispatcher>()) {
  TAppLog::SetDispatcher(FDispatcher);
  FConfig->Load();
  FService = std::make_unique<TTtsService>(*FConfig);
  FHttp = std::make_unique<TTtsHttpServer>(*FService);
  FPlayer = std::make_unique<TWavPlayer>(std::move(AOptions.PlayerClock));
  FDownloader = std::make_unique<TModelDownloader>(*FConfig, FDispatcher);
  TGpuProbeOptions ProbeOptions;
  ProbeOptions.ProbePath = AOptions.GpuProbePath;
  FGpuProbe = std::make_unique<TGpuProbe>(*FConfig, FDispatcher, ProbeOptions);
  if (AOptions.Dialogs == nullptr) FOwnDialogs = std::make_unique<TQtDialogs>();
  FDialogs = AOptions.Dialogs != nullptr ? AOptions.Dialogs : FOwnDialogs.get();
  SetUiLang(FConfig->Settings().UiLanguage);

  setObjectName(QStringLiteral("TMainForm"));
  setWindowTitle(QStringLiteral("Quavox —— Tallyhorn语音服务"));
  setWindowIcon(AppIcon());
  setFont(UiFont(QStringLiteral("Segoe UI")));
  setMinimumSize(551, 439);
  resize(811, 620);
  if (const QScreen* Screen = QGuiApplication::primaryScreen())
    move(Screen->availableGeometry().center() - rect().center());
  FStatusMessage = new QLabel(this);
  FStatusMessage->setObjectName(QStringLiteral("FStatusMessage"));
  FStatusMessage->setStyleSheet(QStringLiteral("font-weight: bold"));
  statusBar()->addWidget(FStatusMessage);
  FMessageTimer = new QTimer(this);
  FMessageTimer->setObjectName(QStringLiteral("FMessageTimer"));
  FMessageTimer->setSingleShot(true);
  FMessageTimer->setInterval(AOptions.StatusMessageMs);
  connect(FMessageTimer, &QTimer::timeout, FStatusMessage, &QLabel::clear);
  FStatusText = new TElidedLabel(this, "FStatusText");
  FStatusText->SetFullText(QStringLiteral("正在启动…"));
  statusBar()->addWidget(FStatusText, 1);
  ApplyUiFont();
  ApplyQtTranslation();
  CreatePages();
  CreateTray();
  FTimer = new QTimer(this);
  FTimer->setObjectName(QStringLiteral("FTimer"));
  FTimer->setInterval(1000);
  connect(FTimer, &QTimer::timeout, this, &TMainForm::OnTimer);
  FTimer->start();

  FShownChanges = ServiceChanges();
  FillPages();
  HookListeners();
  TAppLog::Info("app", "Quavox %s started; data folder %s", VersionText, FConfig->DataDir());
  FollowAsConfigured();
  GMainFormAlive = true;
  if (FConfig->Settings().AutoStartServer) OnStartClick();
}

TMainForm::~TMainForm() {
  GMainFormAlive = false;
  FClosing = true;
  FTimer->stop();
  TAppLog::SetOnEntry({});
  TAppLog::SetOnRequest({});
  FDownloader->SetOnProgress({});
  FDownloader.reset();
  FGpuProbe.reset();
  FPlayer.reset();
  FFollower.reset();
  FHttp.reset();
  FService.reset();
  FConfig.reset();
  TAppLog::SetDispatcher(nullptr);
}

void TMainForm::CreatePages() {
  FPages = new QTabWidget(this);
  FPages->setObjectName(QStringLiteral("FPages"));
  FServicePage = new TServicePage(*this);
  FTryOutPage = new TTryOutPage(*this);
  FVoicesPage = new TVoicesPage(*this);
  FBroadcastPage = new TBroadcastPage(*this);
  FSharePage = new TSharePage(*this);
  FCachePage = new TCachePage(*this);
  FModelsPage = new TModelsPage(*this);
  FLogPage = new TLogPage(*this);
  FSettingsPage = new TSettingsPage(*this);
  const std::pair<QWidget*, const char*> Pages[] = {
      {FServicePage, "服务"},   {FTryOutPage, "试听"},  {FVoicesPage, "音色"},
      {FBroadcastPage, "广播"}, {FSharePage, "云分享"}, {FCachePage, "缓存"},
      {FModelsPage, "模型"},    {FLogPage, "日志"},     {FSettingsPage, "设置"}};
  // A page that needs more room than the window gives scrolls instead of squeezing its
  // controls over one another.
  for (const auto& [Page, Caption] : Pages) {
    auto* Area = new QScrollArea(FPages);
    Area->setObjectName(Page->objectName() + QStringLiteral("Area"));
    Area->setFrameShape(QFrame::NoFrame);
    Area->setWidgetResizable(true);
    Area->setWidget(Page);
    FPages->addTab(Area, QString::fromUtf8(Caption));
  }
  FPages->setCurrentIndex(piVoices);
  connect(FPages, &QTabWidget::currentChanged, this, [this](int APage) {
    if (APage == piCache) FCachePage->RefreshIfStale();
  });
  setCentralWidget(FPages);
}

void TMainForm::CreateTray() {
  FTray = new QSystemTrayIcon(windowIcon(), this);
  FTray->setObjectName(QStringLiteral("FTray"));
  FTray->setToolTip(Tr("Quavox 语音服务"));
  connect(FTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason A) {
    if (A == QSystemTrayIcon::DoubleClick) OnTrayClick();
  });
  BuildTrayMenu();
}

void TMainForm::BuildTrayMenu() {
  auto Menu = std::make_unique<QMenu>();
  Menu->setObjectName(QStringLiteral("FTrayMenu"));
  FMiShow = Menu->addAction(Tr("显示主窗口"), this, &TMainForm::OnTrayShowClick);
  QFont Bold = FMiShow->font();
  Bold.setBold(true);
  FMiShow->setFont(Bold);
  Menu->setDefaultAction(FMiShow);
  Menu->addSeparator();
  FMiStart = Menu->addAction(Tr("启动服务"), this, &TMainForm::OnStartClick);
  FMiStop = Menu->addAction(Tr("停止服务"), this, &TMainForm::OnStopClick);
  Menu->addSeparator();
  FMiQuit = Menu->addAction(Tr("退出程序"), this, &TMainForm::OnExitClick);
  connect(Menu.get(), &QMenu::aboutToShow, this, &TMainForm::OnTrayMenuPopup);
  FTray->setContextMenu(Menu.get());
  FTrayMenu = std::move(Menu);
}

void TMainForm::FillPages() {
  FillCombos();
  LocalizeForm();
  FSettingsPage->SettingsToControls();
  FTryOutPage->RefreshVoiceCombo();
  FVoicesPage->RefreshVoicesList();
  FModelsPage->RefreshModelPage();
  FBroadcastPage->RefreshAirlinesPage();
  FCachePage->RefreshCachePage();
  RefreshServicePage();
}

void TMainForm::FillCombos() {
  FTryOutPage->FillCombos();
  FVoicesPage->FillCombos();
  FModelsPage->FillCombos();
  FBroadcastPage->FillCombos();
  FSettingsPage->FillCombos();
}

// Log lines, request records and download progress arrive on the main thread through the
// dispatcher; progress is ignored once the window is closing.
void TMainForm::HookListeners() {
  FDownloader->SetOnProgress([this](const TDownloadProgress& AProgress) {
    if (!FClosing) FModelsPage->OnDownloadProgress(AProgress);
  });
  TAppLog::SetOnEntry([this](const TLogEntry& AEntry) { OnLogEntry(AEntry); });
  TAppLog::SetOnRequest([this](const TRequestLog& ARecord) { OnRequestLogged(ARecord); });
}

bool TMainForm::TrayAvailable() const {
  return FTrayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

const std::string& TMainForm::ModelHost(bool AMirror) const {
  return AMirror ? FMirrorHost : FOfficialHost;
}

bool TMainForm::HasCudaDriver() const {
  return FCudaDriverCheck ? FCudaDriverCheck() : CudaDriverPresent();
}

bool TMainForm::HasGpu() const {
  if (HasCudaDriver()) return true;
  FGpuProbe->RequestProbe(cbVulkan, {});
  const std::vector<TGpuDevice> Devices = FGpuProbe->ProbedDevices(cbVulkan);
  return std::any_of(Devices.begin(), Devices.end(),
                     [](const TGpuDevice& ADevice) { return !ADevice.Integrated; });
}

bool TMainForm::HasModel() const {
  return !InstalledModels(*FConfig).empty() || !FService->EngineHealth().ModelPath.empty();
}

TModelVariant TMainForm::RecommendedModel() const {
  return RecommendedModelVariant(HasGpu());
}

void TMainForm::ShowPage(TPageIndex APage) {
  FPages->setCurrentIndex(APage);
}

void TMainForm::Warn(const std::string& AText) {
  FDialogs->Warn(this, AText);
}

void TMainForm::ShowStatus(const std::string& AText) {
  FStatusMessage->setText(QStr(AText));
  FMessageTimer->start();
}

QString TMainForm::StatusMessage() const {
  return FStatusMessage->text();
}

QString TMainForm::StatusText() const {
  return FStatusText->FullText();
}

void TMainForm::OnStartClick() {
  try {
    FHttp->Start();
  } catch (const std::exception& E) {
    Warn(Translate("服务起不来:") + E.what());
  }
  FServerWanted = FHttp->Running();
  RefreshServicePage();
}

void TMainForm::OnStopClick() {
  FServerWanted = false;
  FHttp->Stop();
  RefreshServicePage();
}

void TMainForm::OnExitClick() {
  if (FHttp->Running() && !FDialogs->Confirm(this, Translate("服务还在跑,确定退出?"))) return;
  CloseNow();
}

void TMainForm::CloseNow() {
  FClosing = true;
  FTray->hide();
  close();
}

void TMainForm::OnTrayClick() {
  FTray->hide();
  show();
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  raise();
  activateWindow();
}

void TMainForm::OnTrayMenuPopup() {
  const bool Running = FHttp->Running();
  FMiStart->setEnabled(!Running);
  FMiStop->setEnabled(Running);
  FMiShow->setEnabled(!isVisible());
}

void TMainForm::ShowFromOutside() {
  TAppLog::Info("app", "a second start asked for the window");
  if (!isVisible()) {
    OnTrayClick();
    return;
  }
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
}

void TMainForm::closeEvent(QCloseEvent* AEvent) {
  if (!FConfig->Settings().MinimizeToTray || FClosing) {
    FClosing = true;
    AEvent->accept();
    emit Closed();
    return;
  }
  AEvent->ignore();
  // Without a tray the window could never be brought back, so it only goes to the taskbar.
  if (!TrayAvailable()) {
    showMinimized();
    return;
  }
  hide();
  FTray->show();
  FLastBalloon = Tr("服务还在后台跑。双击托盘图标可以叫回来。");
  FTray->showMessage(QStringLiteral("Quavox"), FLastBalloon);
}

std::string TMainForm::StatusLine(const TServiceStats& s) const {
  const std::string Pending =
      s.PrewarmPending > 0 ? Format(Translate(" · 预热还剩 %d 条"), s.PrewarmPending) : "";
  return Format(
      Translate("队列 %d%s%s · 请求 %d(失败 %d) · 缓存 %d 条 / %.1f MB / 命中率 %.0f%% · ") +
          Translate("p50 %d ms · p95 %d ms · 实时率 %.2f · %s"),
      s.QueueDepth, s.Busy ? Translate("(合成中)") : std::string(), Pending, s.Total, s.Failed,
      s.CacheCount, s.CacheBytes / 1048576.0, s.CacheHitRate * 100, s.P50Ms, s.P95Ms,
      s.RealTimeFactor(), s.Placeholder ? Translate("⚠ 占位波形(还没放模型)") : s.EngineName);
}

void TMainForm::OnTimer() {
  const bool Running = FHttp->Running();
  const TServiceStats Stats = FService->Stats();
  FServicePage->FLblState->setText(Running ? Tr("状态:运行中 —— ") + QStr(FEndpointUrl)
                                           : Tr("状态:已停止"));
  ShowRunState(Running);
  WatchForStops(Running, Stats);
  FServicePage->FBtnStart->setEnabled(!Running);
  FServicePage->FBtnStop->setEnabled(Running);
  QPushButton* Quick = FServicePage->FBtnQuickModel;
  // Only a model the engine runs, loads or has unloaded can be unloaded or loaded again.
  FServicePage->FBtnUnloadModel->setEnabled(!FService->EngineHealth().ModelPath.empty());
  if (!HasModel()) {
    Quick->setText(
        QStr(Format(Translate("一键下载推荐模型(%s)"), FormatSize(RecommendedModel().SizeBytes))));
    Quick->setEnabled(!FDownloader->Busy());
  } else {
    Quick->setText(Tr("模型已就位"));
    Quick->setEnabled(false);
  }
  RefreshEngineLines();
  RefreshChangedLists();
  FStatusText->SetFullText(QStr(StatusLine(Stats)));
}

void TMainForm::ShowRunState(bool ARunning) {
  FTray->setToolTip(Tr("Quavox 语音服务") + "\n" + FServicePage->FLblState->text());
  if (FShownRunning == ARunning) return;
  FShownRunning = ARunning;
  FServicePage->FLblState->setStyleSheet(
      QStringLiteral("color: %1").arg((ARunning ? RunningColour : StoppedColour).name()));
  FTray->setIcon(TrayIcon(ARunning));
}

void TMainForm::WatchForStops(bool ARunning, const TServiceStats& AStats) {
  if (FServerWanted && !ARunning) {
    FServerWanted = false;
    TAppLog::Warn("app", "the HTTP server stopped without being asked to");
    Notify(Translate("服务意外停了,客户端现在连不上。"));
  }
  const bool Failed = AStats.EngineState == "failed" && FSeenEngineState != "failed";
  const bool Restarted = AStats.EngineRestarts > FSeenEngineRestarts;
  FSeenEngineState = AStats.EngineState;
  FSeenEngineRestarts = AStats.EngineRestarts;
  if (Failed || Restarted) Notify(Format(Translate("推理引擎意外停了:%s"), AStats.EngineDetail));
}

// A balloon over the tray icon while the window is in the tray; in the window's status bar
// otherwise, where the operator is looking.
void TMainForm::Notify(const std::string& AText) {
  FLastBalloon = QStr(AText);
  if (FTray->isVisible())
    FTray->showMessage(QStringLiteral("Quavox"), FLastBalloon, QSystemTrayIcon::Warning);
  else
    ShowStatus(AText);
}

void TMainForm::RefreshChangedLists() {
  const TServiceChanges Now = ServiceChanges();
  const bool Voices = Now.Voices != FShownChanges.Voices;
  const bool Bindings = Now.Bindings != FShownChanges.Bindings;
  const bool Cache = Now.Cache != FShownChanges.Cache;
  FShownChanges = Now;
  if (Voices) {
    FTryOutPage->RefreshVoiceCombo();
    FVoicesPage->RefreshVoicesList();
  }
  if (Voices || Bindings) FBroadcastPage->RefreshAirlinesPage();
  if (Voices || Cache) FCachePage->RefreshCachePage();
}

void TMainForm::FollowAsConfigured() {
  quavox::FollowAsConfigured(FFollower, *FService);
}

void TMainForm::RefreshServicePage() {
  FServicePage->FBtnUnloadModel->setText(Tr(FService->ModelUnloaded() ? "载入模型" : "卸载模型"));
  const TConfigSettings Settings = FConfig->Settings();
  const std::vector<std::string> Urls = ReachableUrls(Settings);
  FEndpointUrl = Urls.empty() ? FConfig->BaseUrl() : Urls.front();
  FServicePage->FEdtEndpoint->setText(QStr(FEndpointUrl));
  RefreshEngineLines();
  FServicePage->SetUsage(UsageLines(Settings.BindAddress, Urls, FEndpointUrl));
}

void TMainForm::RefreshEngineLines() {
  const TEngineHealth Health = FService->EngineHealth();
  FServicePage->FLblEngine->setText(
      QStr(Format(Translate("引擎:%s —— %s"), Health.Backend, Health.Detail)));
  FModelsPage->RefreshModelState();
}

void TMainForm::OnLogEntry(const TLogEntry& AEntry) {
  if (FClosing) return;
  WriteToStderr(AEntry.Format() + "\n");
  FLogPage->AppendLogEntry(AEntry);
}

void TMainForm::OnRequestLogged(const TRequestLog& ARecord) {
  if (FClosing) return;
  TVoiceInfo Voice;
  FLogPage->AppendRequest(
      ARecord, FService->VoiceLibrary().Find(ARecord.Voice, Voice) ? Voice.Display : ARecord.Voice);
}

}  // namespace quavox
