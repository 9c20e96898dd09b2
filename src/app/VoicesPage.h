// Page "音色": the voice library, cloning new voices from reference recordings with their
// transcripts, adding clips, renaming, deleting and previewing. It works directly on the
// service's voice library; every change is saved at once by the library.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "core/Types.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace quavox {

class TMainForm;

class TVoicesPage final : public QWidget {
  Q_OBJECT

 public:
  explicit TVoicesPage(TMainForm& AForm);

  void FillCombos();
  void RefreshVoicesList();
  void OnVoiceSelected(QTreeWidgetItem* AItem, bool ASelected);
  void OnCloneClick();
  void OnAddClipClick();
  void OnDeleteVoiceClick();
  void OnSaveVoiceClick();
  void OnPreviewVoiceClick();
  // Reference recordings chosen by the user, each with its transcript; false when the user
  // cancelled any step or chose nothing.
  bool PickClips(std::vector<TVoiceClipInput>& AClips);
  // The voice id of the selected row, or empty.
  std::string SelectedVoiceId() const;
  // Selects and shows the row of the voice, when it is listed.
  void SelectVoice(const std::string& AVoiceId);

  QTreeWidget* FLvVoices;
  QLineEdit* FEdtVoiceName;
  QComboBox* FCbVoiceLang;
  QComboBox* FCbVoiceGender;
  QPushButton* FBtnClone;
  QPushButton* FBtnAddClip;
  QPushButton* FBtnDeleteVoice;
  QPushButton* FBtnSaveVoice;
  QPushButton* FBtnPreviewVoice;

 private:
  QWidget* CreateEditor();
  void AfterLibraryChange();
  static std::string CloneOutcome(const TVoiceInfo& AVoice);
  std::function<void()> ClipPlayer(const TBytes& AAudio);
  // Warns when no row is selected.
  bool NeedSelection();

  TMainForm& FForm;
};

}  // namespace quavox
