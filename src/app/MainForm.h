// The main window: owns the configuration, the service, the HTTP server, the player and the
// downloader, shows them on nine pages, keeps a tray icon for the time it is hidden and
// refreshes its state once a second. Everything here runs on the Qt main thread; other
// threads reach it only through calls queued by the installed dispatcher (log entries,
// request records, download progress, completions of background work), and those check
// MainFormAlive before touching the window.
//
// Objects are created before the controls that show them and freed in the reverse order
// of their use: downloader, GPU probe, player, HTTP server (stopping it), service, configuration,
// then the window's controls.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Player.h"
#include "online/Hub.h"
#include "service/Changes.h"
#include "state/Config.h"

class QLabel;
class QMenu;
class QAction;
class QHeaderView;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QTranslator;

namespace quavox {

class IDialogs;
class IMainThreadDispatcher;
class TTtsService;
class TTtsHttpServer;
class TFollower;
class TModelDownloader;
class TGpuProbe;
struct TLogEntry;
struct TRequestLog;
struct TDownloadProgress;
struct TModelVariant;
struct TServiceStats;

class TServicePage;
class TTryOutPage;
class TVoicesPage;
class TBroadcastPage;
class TSharePage;
class TCachePage;
class TModelsPage;
class TLogPage;
class TSettingsPage;
class TElidedLabel;

// True from the end of the window's construction until the start of its destruction.
bool MainFormAlive();

// What the host decides for the window; tests inject the dialogs, the clock and the tray.
struct TMainFormOptions {
  TAppFolders Folders = TAppFolders::Default();
  // Borrowed; null means the real message boxes and file dialogs.
  IDialogs* Dialogs = nullptr;
  // The player's tick clock; empty means the steady clock.
  TWavPlayer::TTickClock PlayerClock;
  // Whether the desktop shows tray icons; unset means ask the desktop.
  std::optional<bool> TrayAvailable;
  // Where the cloud share hub answers.
  std::string HubUrl = HubBaseUrl;
  // The font families the interface fonts are chosen from; unset means the installed ones.
  std::optional<QStringList> InstalledFonts;
  // Base URLs of the mirror and the official model host; empty means the real hosts.
  std::string MirrorModelHost;
  std::string OfficialModelHost;
  // Whether the NVIDIA driver is there; empty means look for its library.
  std::function<bool()> CudaDriverCheck;
  // The GPU probe program; empty means the one beside the program.
  std::string GpuProbePath;
  // How long a confirmation stays in the status bar's message part.
  int StatusMessageMs = 5000;
};

class TMainForm final : public QMainWindow {
  Q_OBJECT

 public:
  enum TPageIndex : int {
    piService,
    piTryOut,
    piVoices,
    piBroadcast,
    piShare,
    piCache,
    piModels,
    piLog,
    piSettings
  };

  explicit TMainForm(TMainFormOptions AOptions = {});
  ~TMainForm() override;

  TAppConfig& Config() { return *FConfig; }
  TTtsService& Service() { return *FService; }
  TTtsHttpServer& Http() { return *FHttp; }
  TWavPlayer& Player() { return *FPlayer; }
  TModelDownloader& Downloader() { return *FDownloader; }
  TGpuProbe& GpuProbe() { return *FGpuProbe; }
  IDialogs& Dialogs() { return *FDialogs; }
  const std::string& HubUrl() const { return FHubUrl; }
  // The base URL of the mirror or the official model host.
  const std::string& ModelHost(bool AMirror) const;
  bool HasCudaDriver() const;
  // A GPU worth the larger model: the NVIDIA driver, or a discrete GPU the Vulkan probe
  // found (asked for in the background on the first call).
  bool HasGpu() const;
  // A model is in place: one in the models folder, or the one the engine found (the voice
  // file shipped beside the program).
  bool HasModel() const;
  // What the one-click download offers this machine.
  TModelVariant RecommendedModel() const;
  // Runs posted calls on this window's thread; calls still queued when it goes are dropped.
  std::shared_ptr<IMainThreadDispatcher> Dispatcher() const { return FDispatcher; }

  TServicePage& ServicePage() { return *FServicePage; }
  TTryOutPage& TryOutPage() { return *FTryOutPage; }
  TVoicesPage& VoicesPage() { return *FVoicesPage; }
  TBroadcastPage& BroadcastPage() { return *FBroadcastPage; }
  TSharePage& SharePage() { return *FSharePage; }
  TCachePage& CachePage() { return *FCachePage; }
  TModelsPage& ModelsPage() { return *FModelsPage; }
  TLogPage& LogPage() { return *FLogPage; }
  TSettingsPage& SettingsPage() { return *FSettingsPage; }

  void ShowPage(TPageIndex APage);
  // A warning box with the text.
  void Warn(const std::string& AText);
  // A confirmation in the status bar's message part, shown for a few seconds; the
  // once-a-second refresh leaves it alone.
  void ShowStatus(const std::string& AText);
  // The confirmation shown now, empty once it has gone.
  QString StatusMessage() const;
  // The once-a-second statistics line of the status bar.
  QString StatusText() const;

  void OnStartClick();
  void OnStopClick();
  void OnExitClick();
  // Ends the program without asking: the window really closes.
  void CloseNow();
  void OnTrayClick();
  void OnTrayShowClick() { OnTrayClick(); }
  void OnTrayMenuPopup();
  void OnTimer();
  void RefreshServicePage();
  // Follows the primary the settings name (or stops following when they name none); the
  // lists then change as the primary's do.
  void FollowAsConfigured();
  // The engine line of the service page and the model state of the models page, as the
  // engine is now and in the current language.
  void RefreshEngineLines();
  // Refreshes the pages whose lists the service changed since they were last filled.
  void RefreshChangedLists();
  // A second start of the program asked for the window.
  void ShowFromOutside();

  void OnLogEntry(const TLogEntry& AEntry);
  void OnRequestLogged(const TRequestLog& ARecord);

  QSystemTrayIcon* Tray() const { return FTray; }
  QMenu* TrayMenu() const { return FTrayMenu.get(); }
  // The tray menu anew, in the current interface language.
  void BuildTrayMenu();
  const std::string& EndpointUrl() const { return FEndpointUrl; }
  // The text of the last balloon tip shown over the tray icon.
  const QString& LastBalloon() const { return FLastBalloon; }

  // The fixed-choice combo boxes of every page, in the current interface language.
  void FillCombos();
  // The window's font for the current interface language, when one of its candidates is
  // installed.
  void ApplyUiFont();
  // Qt's own texts (standard buttons, file dialogs, edit menus) in the interface language,
  // from the translations the system ships for Qt.
  void ApplyQtTranslation();
  // Every designed caption, hint, radio item, tab and list column of the window, translated
  // from its Chinese source.
  void LocalizeForm();
  // The current interface language on the whole window: fonts, captions, everything the
  // pages fill, the tray.
  void ApplyUiLanguage();
  // The operator chose the language with this index of the interface-language combo
  // (auto, zh, ja, en).
  void OnUiLangChange(int AIndex);

 signals:
  // The window really closed: the program should end.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* AEvent) override;

 private:
  void CreatePages();
  void CreateTray();
  void FillPages();
  void HookListeners();
  bool TrayAvailable() const;
  std::string StatusLine(const TServiceStats& AStats) const;
  // The server's state in colour on the service page and in the tray icon and its tooltip.
  void ShowRunState(bool ARunning);
  // Tells the operator, through the tray, that the server or the engine stopped without
  // being asked to.
  void WatchForStops(bool ARunning, const TServiceStats& AStats);
  void Notify(const std::string& AText);
  void LocalizeText(const QString& AKey, const QString& ACurrent,
                    const std::function<void(const QString&)>& ASet);
  void LocalizeWidget(QWidget* AWidget);
  void FitColumns(const QWidget* AView, QHeaderView* AHeader);

  // Owned objects, in the order of their creation.
  std::unique_ptr<TAppConfig> FConfig;
  std::unique_ptr<TTtsService> FService;
  std::unique_ptr<TTtsHttpServer> FHttp;
  // Set while the configuration names a primary to follow.
  std::unique_ptr<TFollower> FFollower;
  std::unique_ptr<TWavPlayer> FPlayer;
  std::unique_ptr<TModelDownloader> FDownloader;
  std::unique_ptr<TGpuProbe> FGpuProbe;
  std::unique_ptr<IDialogs> FOwnDialogs;
  IDialogs* FDialogs = nullptr;
  const std::optional<bool> FTrayAvailable;
  const std::string FHubUrl;
  const std::optional<QStringList> FInstalledFonts;
  // Carries log lines, request records and download progress to this window; calls still
  // queued when the window goes are dropped with it.
  const std::string FMirrorHost;
  const std::string FOfficialHost;
  const std::function<bool()> FCudaDriverCheck;
  // Carries log lines, request records, download progress and probe completions to this
  // window; calls still queued when the window goes are dropped with it.
  std::shared_ptr<IMainThreadDispatcher> FDispatcher;

  QTabWidget* FPages = nullptr;
  QLabel* FStatusMessage = nullptr;
  QTimer* FMessageTimer = nullptr;
  TElidedLabel* FStatusText = nullptr;
  QTimer* FTimer = nullptr;
  QSystemTrayIcon* FTray = nullptr;
  std::unique_ptr<QMenu> FTrayMenu;
  QAction* FMiShow = nullptr;
  QAction* FMiStart = nullptr;
  QAction* FMiStop = nullptr;
  QAction* FMiQuit = nullptr;
  bool FClosing = false;
  std::string FEndpointUrl;
  QString FLastBalloon;
  // The service's change counters the pages were last filled at.
  TServiceChanges FShownChanges;
  // The operator started the server and has not stopped it.
  bool FServerWanted = false;
  // The run state the window and the tray show; unset before the first refresh.
  std::optional<bool> FShownRunning;
  // The engine as the last refresh saw it, to notice a failure or an automatic restart.
  std::string FSeenEngineState;
  int32_t FSeenEngineRestarts = 0;

  // A translated property's Chinese source and the text the last walk put there; a property
  // the code has written since belongs to the code and is left to it.
  struct TOrigText {
    QString Source;
    QString Shown;
  };
  // Keyed by object name + "." + property ("Caption", "TextHint", "Item<i>", "Col<i>").
  QHash<QString, TOrigText> FOrigText;
  // The designed width of each list column, by the same keys as its title.
  QHash<QString, int> FOrigWidth;
  bool FLocalizing = false;
  std::unique_ptr<QTranslator> FQtTranslator;

  TServicePage* FServicePage = nullptr;
  TTryOutPage* FTryOutPage = nullptr;
  TVoicesPage* FVoicesPage = nullptr;
  TBroadcastPage* FBroadcastPage = nullptr;
  TSharePage* FSharePage = nullptr;
  TCachePage* FCachePage = nullptr;
  TModelsPage* FModelsPage = nullptr;
  TLogPage* FLogPage = nullptr;
  TSettingsPage* FSettingsPage = nullptr;
};

}  // namespace quavox
