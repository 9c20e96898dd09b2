// How the window asks the user something: message boxes of four kinds, file dialogs and the
// transcript dialog. The pages never open a modal box themselves; they go through the
// IDialogs the window was given, so tests answer without a modal loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "online/Hub.h"

class QWidget;
class QString;

namespace quavox {

class TAppConfig;
class TVoiceLibrary;
struct TShareChoice;

// One reference clip the transcript dialog asks about.
struct TClipQuestion {
  std::string FileName;
  // Its place among the clips chosen together: clip Number of Count.
  int Number = 1;
  int Count = 1;
  // Plays the clip; empty when it cannot be played.
  std::function<void()> Play;
};

class IDialogs {
 public:
  virtual ~IDialogs() = default;

  // A warning icon and OK.
  virtual void Warn(QWidget* AParent, const std::string& AText) = 0;
  // A question icon and Yes/No; true only for Yes.
  virtual bool Confirm(QWidget* AParent, const std::string& AText) = 0;
  // A warning icon and Yes/No, for answers that throw something away; true only for Yes.
  virtual bool ConfirmWarning(QWidget* AParent, const std::string& AText) = 0;
  // An information icon and OK.
  virtual void Inform(QWidget* AParent, const std::string& AText) = 0;
  // No icon and OK.
  virtual void Plain(QWidget* AParent, const std::string& AText) = 0;

  // Filters are written "text|patterns|text|patterns", patterns separated by ";".
  // The chosen existing files, in the dialog's order; empty on cancel.
  virtual std::vector<std::string> OpenFiles(QWidget* AParent, const std::string& AFilter,
                                             bool AMultiple) = 0;
  // The chosen file name, with ADefaultExt added when it has none; empty on cancel.
  virtual std::string SaveFile(QWidget* AParent, const std::string& AFilter,
                               const std::string& ADefaultExt,
                               const std::string& AProposedName) = 0;
  // The transcript of one reference clip; false when the user cancelled.
  virtual bool AskClipText(QWidget* AOwner, const TClipQuestion& AClip, std::string& AText) = 0;
  // The share dialog: which voice or binding to share, and under which name; false when the
  // user cancelled.
  virtual bool AskShareChoice(QWidget* AOwner, THubKind AKind, const TAppConfig& AConfig,
                              const TVoiceLibrary& AVoices, TShareChoice& AChoice) = 0;
  // Opens a folder or file with the desktop's own program for it (a folder in the file manager).
  virtual void OpenLocation(const std::string& APath) = 0;
};

// The real boxes and dialogs of the desktop.
class TQtDialogs final : public IDialogs {
 public:
  void Warn(QWidget* AParent, const std::string& AText) override;
  bool Confirm(QWidget* AParent, const std::string& AText) override;
  bool ConfirmWarning(QWidget* AParent, const std::string& AText) override;
  void Inform(QWidget* AParent, const std::string& AText) override;
  void Plain(QWidget* AParent, const std::string& AText) override;
  std::vector<std::string> OpenFiles(QWidget* AParent, const std::string& AFilter,
                                     bool AMultiple) override;
  std::string SaveFile(QWidget* AParent, const std::string& AFilter, const std::string& ADefaultExt,
                       const std::string& AProposedName) override;
  bool AskClipText(QWidget* AOwner, const TClipQuestion& AClip, std::string& AText) override;
  bool AskShareChoice(QWidget* AOwner, THubKind AKind, const TAppConfig& AConfig,
                      const TVoiceLibrary& AVoices, TShareChoice& AChoice) override;
  void OpenLocation(const std::string& APath) override;
};

// "WAV 文件|*.wav" as Qt writes it: "WAV 文件 (*.wav)", entries joined by ";;". A text that
// already ends with its patterns in brackets keeps them once.
QString QtFileFilter(const std::string& AFilter);

}  // namespace quavox
