// Renders the main window page by page to PNG files in each interface language, plus the share
// and transcript dialogs, over a temporary program folder with the bundled engine running, a
// few cloned voices, airline bindings, cached lines and a listed cloud share, on whatever Qt
// platform is set (offscreen by default).
// Usage: quavox-screenshots OUTPUT_DIR; the pictures go to OUTPUT_DIR/<language>/.
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QTabWidget>
#include <QTreeWidget>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <thread>
#include <tuple>

#include "app/BroadcastPage.h"
#include "app/CachePage.h"
#include "app/ClipTextForm.h"
#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "app/ModelsPage.h"
#include "app/SettingsPage.h"
#include "app/ShareForm.h"
#include "app/SharePage.h"
#include "app/TryOutPage.h"
#include "app/VoicesPage.h"
#include "audio/Wav.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "online/Hub.h"
#include "platform/Files.h"
#include "platform/Loopback.h"
#include "service/Service.h"
#include "state/Json.h"

namespace {

using namespace quavox;

const char* const PageNames[] = {"service", "tryout", "voices", "broadcast", "share",
                                 "cache",   "models", "log",    "settings"};

struct TSampleVoice {
  const char* Display;
  const char* Language;
  TTtsGender Gender;
  const char* Transcript;
};

const TSampleVoice SampleVoices[] = {
    {"Anna", "en", tgFemale, "Good morning, ladies and gentlemen, welcome aboard."},
    {"王芳", "zh", tgFemale, "各位旅客,欢迎乘坐本次航班。"},
    {"佐藤 花子", "ja", tgFemale, "本日はご搭乗いただき、誠にありがとうございます。"},
    {"Oliver", "en", tgMale, "This is your captain speaking."},
};

struct TSampleShare {
  const char* Id;
  const char* User;
  const char* Title;
  const char* Language;
  const char* Gender;
  int Downloads;
  const char* Note;
};

const TSampleShare SampleShares[] = {
    {"s1", "pudong-ops", "Pudong boarding, calm female", "zh", "female", 42,
     "Recorded in a quiet booth"},
    {"s2", "narita-gate", "成田 搭乗案内", "ja", "female", 17, ""},
    {"s3", "lhr-ramp", "Heathrow ramp, male", "en", "male", 8, "Two clips, mp3"},
};

std::string MakeProgramFolder() {
  std::string Pattern = (std::filesystem::temp_directory_path() / "quavox-shots-XXXXXX").string();
  if (::mkdtemp(Pattern.data()) == nullptr) throw std::runtime_error("no temporary folder");
  const std::string Root = Pattern + "/";
  TJson Config = TJson::object();
  Config["server"] = {{"port", UnusedLoopbackPort()},
                      {"bind", "127.0.0.1"},
                      {"autoStart", true},
                      {"uiLanguage", "zh"}};
  WriteFileAtomic(Root + "data/config.json", JsonDumpIndented(Config));
  // A fresh installation: the bundled engine and its voice file in the program folder.
  for (const char* File : {"engine/s2", "models/quavox-espeak.gguf"}) {
    std::filesystem::create_directories(std::filesystem::path(Root + File).parent_path());
    std::filesystem::copy_file(std::string(QUAVOX_BIN_DIR "/") + File, Root + File);
  }
  return Root;
}

bool WaitForEngine(TTtsService& AService) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!AService.Stats().EngineReady) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TBytes Tone(double AHz) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 24000;
  Pcm.Data.resize(24000 * 6);
  for (std::size_t i = 0; i < Pcm.Data.size(); ++i)
    Pcm.Data[i] = 0.3f * static_cast<float>(std::sin(2 * std::numbers::pi * AHz * i / 24000));
  return PcmToWav(Pcm);
}

void BindSamples(TMainForm& AForm, const std::vector<TVoiceInfo>& AVoices) {
  TAppConfig& Config = AForm.Config();
  Config.SetAirlineVoice("CCA", "en", tgFemale, AVoices[0].Id);
  Config.SetAirlineVoice("CCA", "en", tgMale, AVoices[3].Id);
  Config.SetAirlineVoice("CCA", "zh", tgFemale, AVoices[1].Id);
  Config.SetAirlineVoice("CES", "zh", tgAuto, AVoices[1].Id);
  Config.SetAirlineVoice("CES", "", tgAuto, AVoices[0].Id);
  Config.SetAirlineVoice("ANA", "ja", tgFemale, AVoices[2].Id);
  Config.SetAirlineVoice("ANA", "en", tgFemale, AVoices[0].Id);
  Config.SetAirlineVoice("JAL", "ja", tgMale, "v-3f9a1c2e7b40");
  Config.Save();
}

void SynthesizeSamples(TTtsService& AService) {
  const std::tuple<const char*, const char*, TTtsGender, float> Lines[] = {
      {"Flight CA1234 to Beijing is now boarding at gate B12.", "en", tgFemale, 1.0f},
      {"Final call for passengers of flight NH960.", "en", tgFemale, 1.0f},
      {"Welcome to Shanghai Pudong International Airport.", "en", tgMale, 1.0f},
      {"各位旅客请注意,您乘坐的 CA1234 次航班现在开始登机。", "zh", tgFemale, 1.0f},
      {"东方航空 MU5101 次航班登机口改为 C15。", "zh", tgFemale, 1.2f},
      {"全日空 960 便をご利用のお客様は 12 番ゲートへお越しください。", "ja", tgFemale, 1.0f},
      {"Ladies and gentlemen, we have now landed at Tokyo Haneda.", "en", tgMale, 0.9f},
  };
  for (const auto& [Text, Language, Gender, Speed] : Lines)
    AService.Synthesize(TTtsRequest::Make(Text, Language, Gender, Speed));
}

void LogSampleRequests(TMainForm& AForm) {
  const std::tuple<const char*, const char*, const char*, int, int, int, bool, const char*>
      Records[] = {{"10.20.1.15", "en", "Anna", 200, 840, 4200, false, ""},
                   {"10.20.1.15", "en", "Anna", 200, 3, 4200, true, ""},
                   {"10.20.1.31", "zh", "王芳", 200, 1210, 5100, false, "airline CCA"},
                   {"10.20.1.31", "ja", "佐藤 花子", 200, 1530, 6300, false, "airline ANA"},
                   {"10.20.2.7", "ko", "", 404, 1, 0, false, "no voice for ko"}};
  for (const auto& [Peer, Language, Voice, Status, Elapsed, Audio, Hit, Note] : Records) {
    TRequestLog Record;
    Record.Time = std::chrono::system_clock::now();
    Record.Peer = Peer;
    Record.Language = Language;
    Record.Voice = Voice;
    Record.Status = Status;
    Record.ElapsedMs = Elapsed;
    Record.AudioMs = Audio;
    Record.CacheHit = Hit;
    Record.Note = Note;
    AForm.OnRequestLogged(Record);
  }
}

void FillSamples(TMainForm& AForm) {
  TTtsService& Service = AForm.Service();
  std::vector<TVoiceInfo> Voices;
  double Hz = 180;
  for (const TSampleVoice& Sample : SampleVoices) {
    TVoiceCloneSpec Clone{Sample.Display, Sample.Language, Sample.Gender, {}, {}, {}};
    Clone.Clips.push_back({Tone(Hz += 40), Sample.Transcript});
    Voices.push_back(Service.CloneVoice(Clone));
  }
  BindSamples(AForm, Voices);
  SynthesizeSamples(Service);
  LogSampleRequests(AForm);
  AForm.VoicesPage().RefreshVoicesList();
  AForm.TryOutPage().RefreshVoiceCombo();
  AForm.TryOutPage().SynthesizePreview(false);
  AForm.VoicesPage().FLvVoices->setCurrentItem(AForm.VoicesPage().FLvVoices->topLevelItem(0));
  TBroadcastPage& Broadcast = AForm.BroadcastPage();
  Broadcast.RefreshAirlinesPage();
  Broadcast.FLvAirlines->setCurrentItem(Broadcast.FLvAirlines->topLevelItem(2));
  AForm.CachePage().RefreshCachePage();
  AForm.CachePage().FLvCache->selectionModel()->select(
      AForm.CachePage().FLvCache->model()->index(1, 0),
      QItemSelectionModel::Select | QItemSelectionModel::Rows);
  TSettingsPage& Settings = AForm.SettingsPage();
  Settings.OnToggleAdvancedClick();
  TUpdateInfo Checked;
  Checked.Ok = true;
  Checked.Latest = Checked.Current = QuavoxVersion;
  Settings.OnUpdateChecked(Checked);
  AForm.ModelsPage().RefreshModelPage();
  AForm.RefreshServicePage();
  AForm.OnTimer();
  THubResult Listed;
  Listed.Ok = true;
  int Day = 0;
  for (const TSampleShare& Share : SampleShares) {
    THubItem Item{
        Share.Id,    Share.User, Share.Title, Share.Language,  Share.Gender, 1, 0, Share.Note,
        "0.3.26218", {},         0,           Share.Downloads, {},           {}};
    ParseHubTime("2026-07-0" + std::to_string(++Day) + "T09:00:00Z", Item.CreatedAt);
    Listed.Items.push_back(Item);
  }
  AForm.SharePage().OnHubListed(hkVoices, Listed);
}

bool Save(QWidget& AWidget, const QString& AFile) {
  QApplication::processEvents();
  return AWidget.grab().save(AFile);
}

bool SaveShareDialog(TMainForm& AForm, const QString& AFile) {
  TShareForm Dialog(&AForm, hkVoices, AForm.Config(), AForm.Service().VoiceLibrary(),
                    AForm.Dialogs());
  Dialog.FList->setCurrentRow(1);
  Dialog.FEdtUser->setText(QStringLiteral("pudong-ops"));
  Dialog.FEdtTitle->setText(QStringLiteral("Pudong boarding, calm female"));
  Dialog.show();
  return Save(Dialog, AFile);
}

bool SaveClipTextDialog(TMainForm& AForm, const QString& AFile) {
  TClipTextForm Dialog(&AForm);
  Dialog.SetClip({"/home/ops/recordings/boarding-call-gate-b12.wav", 1, 2, [] {}},
                 "Good morning, ladies and gentlemen, welcome aboard.");
  Dialog.show();
  return Save(Dialog, AFile);
}

// Every page and both dialogs in the window's current language.
bool SaveLanguage(TMainForm& AForm, const QString& AFolder) {
  QDir().mkpath(AFolder);
  bool Ok = true;
  auto* Pages = AForm.findChild<QTabWidget*>(QStringLiteral("FPages"));
  for (int i = 0; i < Pages->count(); ++i) {
    Pages->setCurrentIndex(i);
    Ok &= Save(AForm, QStringLiteral("%1/%2-%3.png").arg(AFolder).arg(i + 1).arg(PageNames[i]));
  }
  Pages->setCurrentIndex(TMainForm::piVoices);
  Ok &= SaveShareDialog(AForm, AFolder + QStringLiteral("/share-dialog.png"));
  Ok &= SaveClipTextDialog(AForm, AFolder + QStringLiteral("/transcript-dialog.png"));
  return Ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: quavox-screenshots OUTPUT_DIR\n", stderr);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  const QString Output = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(Output);
  const std::string Root = MakeProgramFolder();
  int Status = 0;
  {
    TMainFormOptions Options;
    Options.Folders = TAppFolders::UnderRoot(Root);
    Options.Folders.AppDataDir = Root + "appdata/";
    Options.TrayAvailable = false;
    TMainForm Form(Options);
    Form.show();
    if (!WaitForEngine(Form.Service())) {
      std::fputs("quavox-screenshots: the bundled engine did not get ready\n", stderr);
      Status = 1;
    }
    FillSamples(Form);
    const QSize Default = Form.size();
    for (const TUiLang Lang : {ulZh, ulJa, ulEn}) {
      Form.OnUiLangChange(Lang);
      const QString Folder = Output + '/' + QString::fromStdString(UiLangCode(Lang));
      Form.resize(Default);
      if (!SaveLanguage(Form, Folder)) Status = 1;
      // The smallest window the operator can make, where captions are cut first.
      Form.resize(Form.minimumSize());
      if (!SaveLanguage(Form, Folder + QStringLiteral("/minimum"))) Status = 1;
    }
  }
  std::filesystem::remove_all(Root);
  return Status;
}
