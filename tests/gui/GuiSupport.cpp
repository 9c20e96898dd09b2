#include "GuiSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <cmath>
#include <filesystem>
#include <numbers>

#include "audio/Wav.h"
#include "core/I18n.h"
#include "platform/Files.h"
#include "platform/Loopback.h"

namespace quavox::test {

namespace fs = std::filesystem;

bool TScriptedDialogs::Confirm(QWidget*, const std::string& AText) {
  Confirms.push_back(AText);
  return NextConfirmAnswer();
}

bool TScriptedDialogs::ConfirmWarning(QWidget*, const std::string& AText) {
  WarningConfirms.push_back(AText);
  return NextConfirmAnswer();
}

bool TScriptedDialogs::NextConfirmAnswer() {
  if (ConfirmAnswers.empty()) return false;
  const bool Answer = ConfirmAnswers.front();
  ConfirmAnswers.pop_front();
  return Answer;
}

std::vector<std::string> TScriptedDialogs::OpenFiles(QWidget*, const std::string&, bool) {
  if (OpenAnswers.empty()) return {};
  std::vector<std::string> Files = std::move(OpenAnswers.front());
  OpenAnswers.pop_front();
  return Files;
}

std::string TScriptedDialogs::SaveFile(QWidget*, const std::string&, const std::string&,
                                       const std::string& AProposedName) {
  SaveProposals.push_back(AProposedName);
  if (SaveAnswers.empty()) return {};
  std::string File = std::move(SaveAnswers.front());
  SaveAnswers.pop_front();
  return File;
}

bool TScriptedDialogs::AskClipText(QWidget*, const TClipQuestion& AClip, std::string& AText) {
  AskedClips.push_back(AClip.FileName);
  AskedPlaces.push_back(std::to_string(AClip.Number) + "/" + std::to_string(AClip.Count));
  AskedPlayable.push_back(static_cast<bool>(AClip.Play));
  if (ClipTexts.empty() || !ClipTexts.front()) {
    if (!ClipTexts.empty()) ClipTexts.pop_front();
    return false;
  }
  AText = *ClipTexts.front();
  ClipTexts.pop_front();
  return true;
}

bool TScriptedDialogs::AskShareChoice(QWidget*, THubKind AKind, const TAppConfig&,
                                      const TVoiceLibrary&, TShareChoice& AChoice) {
  AskedShareKinds.push_back(AKind);
  if (ShareChoices.empty()) return false;
  const std::optional<TShareChoice> Answer = std::move(ShareChoices.front());
  ShareChoices.pop_front();
  if (!Answer) return false;
  AChoice = *Answer;
  AChoice.Kind = AKind;
  return true;
}

TProgramFolder::TProgramFolder(const TJson& AConfig) : FPort(UnusedLoopbackPort()) {
  fs::create_directories(FRoot + "data");
  TJson Config = TJson::object();
  Config["server"] = {
      {"port", FPort}, {"bind", "127.0.0.1"}, {"autoStart", false}, {"uiLanguage", "zh"}};
  for (const auto& [Section, Values] : AConfig.items()) {
    if (!Config.contains(Section)) Config[Section] = TJson::object();
    for (const auto& [Name, Value] : Values.items())
      Config[Section][Name] = Value;
  }
  WriteFileAtomic(FRoot + "data/config.json", JsonDumpIndented(Config));
}

TAppFolders TProgramFolder::Folders() const {
  TAppFolders Folders = TAppFolders::UnderRoot(FRoot);
  Folders.AppDataDir = FRoot + "appdata/";
  return Folders;
}

bool TProgramFolder::InstallBundledEngine() const {
  const fs::path Engine = QUAVOX_BIN_DIR "/engine/s2";
  const fs::path Voice = QUAVOX_BIN_DIR "/models/quavox-espeak.gguf";
  if (!fs::exists(Engine) || !fs::exists(Voice)) return false;
  fs::create_directories(FRoot + "engine");
  fs::create_directories(FRoot + "models");
  fs::copy_file(Engine, FRoot + "engine/s2");
  fs::copy_file(Voice, FRoot + "models/quavox-espeak.gguf");
  return true;
}

TFormUnderTest::TFormUnderTest(const TProgramFolder& AFolder, std::optional<bool> ATray,
                               const std::function<void(TMainFormOptions&)>& AAdjust) {
  TMainFormOptions Options;
  Options.Folders = AFolder.Folders();
  Options.Dialogs = &Dialogs;
  Options.PlayerClock = [this] { return Now; };
  Options.TrayAvailable = ATray;
  if (AAdjust) AAdjust(Options);
  Form = std::make_unique<TMainForm>(Options);
}

TFormUnderTest::~TFormUnderTest() {
  Form.reset();
}

std::string WriteToneWav(const std::string& ADir, const std::string& AName, int AMs, int ARate) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = ARate;
  Pcm.Data.resize(static_cast<std::size_t>(static_cast<int64_t>(ARate) * AMs / 1000));
  for (std::size_t i = 0; i < Pcm.Data.size(); ++i)
    Pcm.Data[i] = 0.3f * static_cast<float>(std::sin(2 * std::numbers::pi * 220.0 * i / ARate));
  const std::string Path = ADir + AName;
  WriteFileBytes(Path, PcmToWav(Pcm));
  return Path;
}

bool WaitFor(const std::function<bool()>& APredicate, int ATimeoutMs) {
  QElapsedTimer Clock;
  Clock.start();
  while (!APredicate()) {
    if (Clock.elapsed() > ATimeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

void AddInterfaceLanguageRows() {
  QTest::addColumn<int>("Lang");
  QTest::newRow("Chinese") << static_cast<int>(ulZh);
  QTest::newRow("Japanese") << static_cast<int>(ulJa);
  QTest::newRow("English") << static_cast<int>(ulEn);
}

}  // namespace quavox::test
