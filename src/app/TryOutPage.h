// Page "试听": an operator types a line, chooses how the voice is picked (by language and
// gender, by airline binding, or by name), sets the speed, and synthesizes through the same
// service call HTTP clients use, then listens and saves the WAV. Synthesis runs on the main
// thread and blocks the window until the service returns.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "core/Types.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSlider;

namespace quavox {

class TMainForm;
class TRadioGroup;

class TTryOutPage final : public QWidget {
  Q_OBJECT

 public:
  enum TVoiceMode : int { vmDefault, vmAirline, vmNamed };

  explicit TTryOutPage(TMainForm& AForm);

  void FillCombos();
  void OnVoiceModeChange();
  void OnPreviewChoiceChange() { RefreshPreviewChoices(); }
  void OnSpeedChange();
  void OnSynthClick() { SynthesizePreview(true); }
  void OnStopPlayClick();
  void OnSaveWavClick();
  // After any change of the voice library.
  void RefreshVoiceCombo();
  void RefreshPreviewChoices();
  TTtsRequest BuildPreviewRequest() const;
  // Also the preview of the voices and bindings pages.
  void SynthesizePreview(bool APlay);
  // The selected airline in mode 1 when it is one of the offered codes, else empty.
  std::string PreviewAirline() const;

  const TSharedBytes& LastWav() const { return FLastWav; }
  // The line about the last synthesis, in the current interface language.
  void RetranslateResult();

  QPlainTextEdit* FMemoText;
  TRadioGroup* FRgVoiceMode;
  QLabel* FLblPvLang;
  QComboBox* FCbLanguage;
  QLabel* FLblPvGender;
  QComboBox* FCbGender;
  QLabel* FLblPvAirline;
  QComboBox* FCbPvAirline;
  QLabel* FLblPvVoice;
  QComboBox* FCbVoice;
  QSlider* FTrkSpeed;
  QLabel* FLblSpeed;
  QPushButton* FBtnSynth;
  QPushButton* FBtnStopPlay;
  QPushButton* FBtnSaveWav;
  QLabel* FLblResult;

 protected:
  void changeEvent(QEvent* AEvent) override;

 private:
  // Keeps room for the result line wrapped to three lines, so the text box above keeps its
  // height whatever the line says.
  void ReserveResultLines();
  void CreateChoices();
  void CreateSpeedAndButtons();

  TMainForm& FForm;
  std::vector<std::string> FPvAirlines;
  TSharedBytes FLastWav;
  // Builds the result line anew, so a language change can show it again.
  std::function<std::string()> FResultText;
  int32_t FLastDurationMs = 0;
};

}  // namespace quavox
