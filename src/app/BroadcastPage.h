// Page "广播": which voice speaks for an airline in a language and gender, copies of a
// binding into a free slot of the same airline, previews through the try-out page, and
// clone packs (.cln) in and out. Every change is written to the configuration at once.
// The window refreshes the page after every change of voices or bindings.
#pragma once

#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "app/VoiceNames.h"
#include "core/Types.h"

class QComboBox;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace quavox {

class TAppConfig;
class TMainForm;

// A free (language, gender) slot of an airline for a copy of the binding at ALanguage and
// AGender: the other genders of the same language first (automatic, female, male), then the
// named languages in table order with the same gender; never the any-language slot.
struct TBindingSlot {
  std::string Language;
  TTtsGender Gender = tgAuto;
};
std::optional<TBindingSlot> FreeCopySlot(const TAppConfig& AConfig, const std::string& AAirline,
                                         const std::string& ALanguage, TTtsGender AGender);

class TBroadcastPage final : public QWidget {
  Q_OBJECT

 public:
  explicit TBroadcastPage(TMainForm& AForm);

  void FillCombos();
  // Refills the binding list from the configuration.
  void RefreshAirlinesPage();
  void OnAirlineSelected(QTreeWidgetItem* AItem, bool ASelected);
  void OnBindAirlineClick();
  void OnUnbindAirlineClick();
  void OnCopyBindingClick();
  void OnPreviewAirlineClick();
  void OnExportClnClick();
  void OnImportClnClick();
  // The binding keys an export takes: the selected row's airline, or every binding.
  std::vector<std::string> ExportKeys() const;
  // The binding key of the selected row, or empty.
  std::string SelectedKey() const;

  QTreeWidget* FLvAirlines;
  QComboBox* FCbAirline;
  QComboBox* FCbAirLang;
  QComboBox* FCbAirGender;
  QComboBox* FCbAirVoice;
  QPushButton* FBtnBindAirline;
  QPushButton* FBtnUnbindAirline;
  QPushButton* FBtnCopyBinding;
  QPushButton* FBtnPreviewAirline;
  QPushButton* FBtnExportCln;
  QPushButton* FBtnImportCln;

 private:
  QWidget* CreateEditor();
  void RefillBindingList(const TDisplayById& ANames);
  void RefillAirlineCombo();
  // The selected row's key split at ":" when it has at least three parts; warns when no row
  // is selected.
  std::optional<std::vector<std::string>> SelectedParts();
  // The voice the row's binding names when it exists, else the voice whose display name the
  // row shows, else empty.
  std::string RowVoiceId(const QTreeWidgetItem* ARow, const std::vector<std::string>& AParts);
  void SelectRowOfKey(const std::string& AKey);
  // Binds (or with an empty id unbinds) through the voice library, which refuses while this
  // node follows a primary, as the API does; warns and returns false when nothing changed.
  bool CommitAirlineVoice(const std::string& AAirline, const std::string& ALanguage,
                          TTtsGender AGender, const std::string& AVoiceId);
  void ShowBinding(const std::string& AAirline, const std::string& ALanguage, TTtsGender AGender,
                   const std::string& AVoiceId);

  TMainForm& FForm;
};

}  // namespace quavox
