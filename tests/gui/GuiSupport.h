// What the window tests share: a temporary program folder with its configuration, dialogs
// answered from a script, and reference recordings made on the spot.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "app/ShareForm.h"
#include "core/Types.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox::test {

// Answers every box and dialog from queues filled by the test and records what was asked.
// An unscripted confirmation answers No, an unscripted file dialog is cancelled.
class TScriptedDialogs final : public IDialogs {
 public:
  void Warn(QWidget*, const std::string& AText) override { Warnings.push_back(AText); }
  bool Confirm(QWidget*, const std::string& AText) override;
  // Answered from ConfirmAnswers like Confirm, recorded in WarningConfirms.
  bool ConfirmWarning(QWidget*, const std::string& AText) override;
  void Inform(QWidget*, const std::string& AText) override { Infos.push_back(AText); }
  void Plain(QWidget*, const std::string& AText) override { Infos.push_back(AText); }
  std::vector<std::string> OpenFiles(QWidget*, const std::string& AFilter, bool) override;
  std::string SaveFile(QWidget*, const std::string& AFilter, const std::string&,
                       const std::string& AProposedName) override;
  bool AskClipText(QWidget*, const TClipQuestion& AClip, std::string& AText) override;
  bool AskShareChoice(QWidget*, THubKind AKind, const TAppConfig&, const TVoiceLibrary&,
                      TShareChoice& AChoice) override;
  void OpenLocation(const std::string& APath) override { Opened.push_back(APath); }

  std::deque<bool> ConfirmAnswers;
  std::deque<std::vector<std::string>> OpenAnswers;
  std::deque<std::string> SaveAnswers;
  // One per transcript dialog; nullopt cancels it.
  std::deque<std::optional<std::string>> ClipTexts;
  // One per share dialog; nullopt cancels it. The kind is the one the dialog was asked for.
  std::deque<std::optional<TShareChoice>> ShareChoices;

  std::vector<std::string> Warnings;
  std::vector<std::string> Confirms;
  std::vector<std::string> WarningConfirms;
  std::vector<std::string> Infos;
  std::vector<std::string> AskedClips;
  // "n/m" of each transcript dialog, and whether it offered to play its clip.
  std::vector<std::string> AskedPlaces;
  std::vector<bool> AskedPlayable;
  std::vector<std::string> SaveProposals;
  std::vector<THubKind> AskedShareKinds;
  std::vector<std::string> Opened;

 private:
  bool NextConfirmAnswer();
};

// A fresh program folder whose configuration listens on 127.0.0.1 and a free port, in
// Chinese, without starting the server; AConfig's sections are merged over that.
class TProgramFolder {
 public:
  explicit TProgramFolder(const TJson& AConfig = TJson::object());

  const std::string& Root() const { return FRoot; }
  int Port() const { return FPort; }
  TAppFolders Folders() const;
  // Copies the bundled engine and its voice file in; false when they are not built.
  bool InstallBundledEngine() const;

 private:
  TTempDir FDir{"quavox-gui"};
  std::string FRoot = FDir.Path();
  int FPort = 0;
};

// A window over the folder, with scripted dialogs, a fake tray decision and a fake clock;
// ATweak may change the other options (model hosts, driver check) first.
struct TFormUnderTest {
  // AAdjust changes the window's options before it is built (hub address, fonts).
  explicit TFormUnderTest(const TProgramFolder& AFolder, std::optional<bool> ATray = false,
                          const std::function<void(TMainFormOptions&)>& AAdjust = {});
  ~TFormUnderTest();

  TScriptedDialogs Dialogs;
  uint64_t Now = 1000;
  std::unique_ptr<TMainForm> Form;
};

// A WAV file of a tone of the given length, written into ADir; its path.
std::string WriteToneWav(const std::string& ADir, const std::string& AName, int AMs,
                         int ARate = 24000);

// Runs the Qt event loop until APredicate holds or ATimeoutMs passed.
bool WaitFor(const std::function<bool()>& APredicate, int ATimeoutMs);

// The data rows of a test run once in each interface language: an int column "Lang".
void AddInterfaceLanguageRows();

}  // namespace quavox::test
