// The share dialog: which one voice or one airline binding to publish on the cloud share hub,
// under which user id, title and note. Built in code; it only collects the choice, the page
// packs and uploads it.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "online/Hub.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace quavox {

class IDialogs;
class TAppConfig;
class TVoiceLibrary;

struct TShareChoice {
  THubKind Kind = hkVoices;
  std::string UserId;
  std::string Title;
  std::string Note;
  // Exactly one voice id (voices) or one binding key (broadcasts).
  std::vector<std::string> Picked;
};

class TShareForm final : public QDialog {
  Q_OBJECT

 public:
  // Warnings of the validation go through ADialogs.
  TShareForm(QWidget* AOwner, THubKind AKind, const TAppConfig& AConfig,
             const TVoiceLibrary& AVoices, IDialogs& ADialogs);

  // The confirmed choice; false when the selected line has no key behind it.
  bool Choice(TShareChoice& AChoice) const;

  QLabel* FLblWhat;
  QListWidget* FList;
  QLabel* FLblUser;
  QLineEdit* FEdtUser;
  QLabel* FLblTitle;
  QLineEdit* FEdtTitle;
  QLabel* FLblNote;
  QLineEdit* FEdtNote;
  QPushButton* FBtnOk;
  QPushButton* FBtnCancel;

 protected:
  // "上传": closes only when a line is picked and the user id and title are filled.
  void accept() override;
  void showEvent(QShowEvent* AEvent) override;

 private:
  void CreateControls();
  void FillBindings(const TAppConfig& AConfig, const TVoiceLibrary& AVoices);
  void FillVoices(const TVoiceLibrary& AVoices);
  void Refuse(const std::string& AText, QWidget* AFocus);

  const THubKind FKind;
  IDialogs& FDialogs;
  // The voice id or binding key behind each list line, same index.
  std::vector<std::string> FKeys;
};

}  // namespace quavox
