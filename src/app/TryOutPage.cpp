#include "app/TryOutPage.h"
#include "app/Controls.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include "app/CachePage.h"
#include "app/Combos.h"
#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "app/RadioGroup.h"
#include "app/UiText.h"
#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "service/Service.h"
#include "state/Voices.h"

namespace quavox {

namespace {

// The result of the last synthesis, naming the voice by AVoiceName; AResult's WAV has moved
// on, ABytes is its size.
std::string ResultLine(const TTtsResult& AResult, const std::string& AVoiceName,
                       std::size_t ABytes) {
  return Format(
      Translate("引擎 %s · 音色 %s · %d Hz · 时长 %.2f 秒 · 引擎耗时 %d 毫秒 · %s · %d 字节"),
      AResult.Engine, AResult.VoiceId.empty() ? Translate("(兜底)") : AVoiceName,
      AResult.SampleRate, AResult.DurationMs / 1000.0, AResult.SynthMs,
      Translate(AResult.FromCache ? "命中缓存" : "现算"), static_cast<long long>(ABytes));
}

}  // namespace

TTryOutPage::TTryOutPage(TMainForm& AForm) : QWidget(&AForm), FForm(AForm) {
  setObjectName(QStringLiteral("FTabTryOut"));
  auto* LblText = NewLabel(this, "FLblText", "文本");
  FMemoText = new QPlainTextEdit(this);
  FMemoText->setObjectName(QStringLiteral("FMemoText"));
  FMemoText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemoText->setPlainText(
      QStringLiteral("Cathay four one two, cleared for takeoff runway two four left."));
  FRgVoiceMode = new TRadioGroup(QStringLiteral("FRgVoiceMode"), QStringLiteral("怎么挑音色"),
                                 {QStringLiteral("默认(语言+性别)"), QStringLiteral("按航司(广播)"),
                                  QStringLiteral("直接点名音色")},
                                 3, this);
  FRgVoiceMode->SetItemIndex(vmDefault);
  connect(FRgVoiceMode, &TRadioGroup::Clicked, this, &TTryOutPage::OnVoiceModeChange);
  CreateChoices();
  CreateSpeedAndButtons();

  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(LblText);
  Layout->addWidget(FMemoText, 1);
  Layout->addWidget(FRgVoiceMode);
  auto* Choices = new QGridLayout;
  Choices->addWidget(FLblPvLang, 0, 0);
  Choices->addWidget(FCbLanguage, 0, 1);
  Choices->addWidget(FLblPvGender, 0, 2);
  Choices->addWidget(FCbGender, 0, 3);
  Choices->addWidget(FLblPvAirline, 1, 0);
  Choices->addWidget(FCbPvAirline, 1, 1);
  Choices->addWidget(FLblPvVoice, 1, 2);
  Choices->addWidget(FCbVoice, 1, 3);
  Choices->setColumnStretch(1, 1);
  Choices->setColumnStretch(3, 2);
  Layout->addLayout(Choices);
  auto* Speed = new QHBoxLayout;
  Speed->addWidget(findChild<QLabel*>(QStringLiteral("FLblSpeedCaption")));
  Speed->addWidget(FTrkSpeed, 1);
  Speed->addWidget(FLblSpeed);
  Layout->addLayout(Speed);
  auto* Buttons = new QHBoxLayout;
  Buttons->addWidget(FBtnSynth);
  Buttons->addWidget(FBtnStopPlay);
  Buttons->addWidget(FBtnSaveWav);
  Buttons->addStretch(1);
  Layout->addLayout(Buttons);
  Layout->addWidget(FLblResult);
}

void TTryOutPage::CreateChoices() {
  FLblPvLang = NewLabel(this, "FLblPvLang", "语言");
  FCbLanguage = NewCombo(this, "FCbLanguage");
  FLblPvGender = NewLabel(this, "FLblPvGender", "性别");
  FCbGender = NewCombo(this, "FCbGender");
  FLblPvAirline = NewLabel(this, "FLblPvAirline", "航司");
  FCbPvAirline = NewCombo(this, "FCbPvAirline");
  FLblPvVoice = NewLabel(this, "FLblPvVoice", "音色");
  FCbVoice = NewCombo(this, "FCbVoice");
  FLblPvAirline->setEnabled(false);
  FCbPvAirline->setEnabled(false);
  FLblPvVoice->setEnabled(false);
  FCbVoice->setEnabled(false);
  connect(FCbLanguage, &QComboBox::currentTextChanged, this, &TTryOutPage::OnPreviewChoiceChange);
  connect(FCbPvAirline, &QComboBox::currentIndexChanged, this, &TTryOutPage::OnPreviewChoiceChange);
}

void TTryOutPage::CreateSpeedAndButtons() {
  NewLabel(this, "FLblSpeedCaption", "语速");
  FTrkSpeed = new QSlider(Qt::Horizontal, this);
  FTrkSpeed->setObjectName(QStringLiteral("FTrkSpeed"));
  FTrkSpeed->setRange(50, 200);
  FTrkSpeed->setTickInterval(10);
  FTrkSpeed->setTickPosition(QSlider::TicksBelow);
  FTrkSpeed->setValue(100);
  FLblSpeed = NewLabel(this, "FLblSpeed", "1.00 ×");
  connect(FTrkSpeed, &QSlider::valueChanged, this, &TTryOutPage::OnSpeedChange);

  FBtnSynth = NewButton(this, "FBtnSynth", "合成并播放");
  FBtnStopPlay = NewButton(this, "FBtnStopPlay", "停止播放");
  FBtnSaveWav = NewButton(this, "FBtnSaveWav", "另存为 WAV");
  connect(FBtnSynth, &QPushButton::clicked, this, &TTryOutPage::OnSynthClick);
  connect(FBtnStopPlay, &QPushButton::clicked, this, &TTryOutPage::OnStopPlayClick);
  connect(FBtnSaveWav, &QPushButton::clicked, this, &TTryOutPage::OnSaveWavClick);
  FLblResult = NewLabel(this, "FLblResult", "还没有合成过。");
  FLblResult->setWordWrap(true);
  FLblResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
  FLblResult->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ReserveResultLines();
}

void TTryOutPage::ReserveResultLines() {
  constexpr int ResultLines = 3;
  FLblResult->setMinimumHeight(ResultLines * FLblResult->fontMetrics().lineSpacing());
}

void TTryOutPage::changeEvent(QEvent* AEvent) {
  if (AEvent->type() == QEvent::FontChange) ReserveResultLines();
  QWidget::changeEvent(AEvent);
}

// A refill in another interface language keeps what the operator chose.
void TTryOutPage::FillCombos() {
  const std::string Language = ComboLanguage(FCbLanguage);
  const TTtsGender Gender = ComboGender(FCbGender);
  FillLanguageCombo(FCbLanguage);
  FillAllGenders(FCbGender);
  if (!Language.empty()) SelectLanguage(FCbLanguage, Language);
  SelectGender(FCbGender, Gender);
}

void TTryOutPage::OnVoiceModeChange() {
  const int Mode = FRgVoiceMode->ItemIndex();
  for (QWidget* Control : {static_cast<QWidget*>(FLblPvLang), static_cast<QWidget*>(FCbLanguage),
                           static_cast<QWidget*>(FLblPvGender), static_cast<QWidget*>(FCbGender)})
    Control->setEnabled(Mode != vmNamed);
  FLblPvAirline->setEnabled(Mode == vmAirline);
  FCbPvAirline->setEnabled(Mode == vmAirline && !FPvAirlines.empty());
  FLblPvVoice->setEnabled(Mode == vmNamed);
  FCbVoice->setEnabled(Mode == vmNamed);
  if (Mode == vmNamed && FCbVoice->currentIndex() <= 0 && FCbVoice->count() > 1)
    FCbVoice->setCurrentIndex(1);
  RefreshPreviewChoices();
}

void TTryOutPage::OnSpeedChange() {
  FLblSpeed->setText(QStr(Format("%.2f ×", FTrkSpeed->value() / 100.0)));
}

void TTryOutPage::OnStopPlayClick() {
  FForm.Player().Stop();
}

void TTryOutPage::OnSaveWavClick() {
  if (FLastWav.empty()) {
    FForm.Warn(Translate("还没有合成过任何音频。"));
    return;
  }
  const std::string File =
      FForm.Dialogs().SaveFile(&FForm, Translate("WAV 文件|*.wav"), "wav", "quavox.wav");
  if (File.empty()) return;
  try {
    WriteFileBytes(File, FLastWav.Bytes());
  } catch (const std::exception& E) {
    FForm.Warn(Format(Translate("WAV 没存下来:%s"), E.what()));
    return;
  }
  FForm.ShowStatus(Format(Translate("已保存 %s"), File));
}

void TTryOutPage::RefreshVoiceCombo() {
  FillVoiceCombo(FCbVoice, FForm.Service().VoiceLibrary().All(), true);
  RefreshPreviewChoices();
}

void TTryOutPage::RefreshPreviewChoices() {
  const QString Remembered = FCbPvAirline->currentText();
  FPvAirlines = FForm.Config().KnownAirlines();
  {
    const QSignalBlocker Quiet(FCbPvAirline);
    FCbPvAirline->clear();
    for (const std::string& Code : FPvAirlines)
      FCbPvAirline->addItem(QStr(Code));
    if (FPvAirlines.empty()) FCbPvAirline->addItem(Tr("(先去广播页绑定航司)"));
    FCbPvAirline->setCurrentIndex(std::max(FCbPvAirline->findText(Remembered), 0));
  }
  const int Mode = FRgVoiceMode->ItemIndex();
  FCbPvAirline->setEnabled(Mode == vmAirline && !FPvAirlines.empty());
  const std::string Airline = Mode == vmAirline ? PreviewAirline() : std::string();
  FillGenderCombo(FCbGender, FForm.Service().VoiceLibrary().AvailableGenders(
                                 Airline, ComboLanguage(FCbLanguage)));
}

std::string TTryOutPage::PreviewAirline() const {
  const int Index = FCbPvAirline->currentIndex();
  if (Index < 0 || Index >= static_cast<int>(FPvAirlines.size())) return {};
  return FPvAirlines[static_cast<std::size_t>(Index)];
}

TTtsRequest TTryOutPage::BuildPreviewRequest() const {
  TTtsRequest Req;
  Req.Text = StdStr(FMemoText->toPlainText().trimmed());
  Req.Speed = static_cast<float>(FTrkSpeed->value() / 100.0);
  Req.Priority = tpHigh;
  switch (FRgVoiceMode->ItemIndex()) {
    case vmNamed:
      Req.VoiceId = ComboVoiceId(FCbVoice);
      break;
    case vmAirline:
      Req.Airline = PreviewAirline();
      [[fallthrough]];
    default:
      Req.Language = ComboLanguage(FCbLanguage);
      Req.Gender = ComboGender(FCbGender);
      break;
  }
  return Req;
}

void TTryOutPage::RetranslateResult() {
  if (FResultText) FLblResult->setText(QStr(FResultText()));
}

void TTryOutPage::SynthesizePreview(bool APlay) {
  const TTtsRequest Req = BuildPreviewRequest();
  if (Req.Text.empty()) {
    FForm.Warn(Translate("先写点要念的字。"));
    return;
  }
  const TBusyCursor Busy;
  TTtsResult Result;
  try {
    Result = FForm.Service().Synthesize(Req);
  } catch (const ETtsError& E) {
    FResultText = [Message = std::string(E.what())] { return Translate("合成失败:") + Message; };
    RetranslateResult();
    FForm.Warn(E.what());
    return;
  }
  FLastWav = std::move(Result.Wav);
  FLastDurationMs = Result.DurationMs;
  const bool Unplayable = APlay && !FForm.Player().Play(FLastWav.Bytes(), FLastDurationMs);
  // The voice by its name, as the operator knows it; the id stays at hand in the tooltip.
  TVoiceInfo Voice;
  const std::string Name =
      FForm.Service().VoiceLibrary().Find(Result.VoiceId, Voice) ? Voice.Display : Result.VoiceId;
  FLblResult->setToolTip(QStr(Result.VoiceId));
  FResultText = [Result, Name, Bytes = FLastWav.size(), Unplayable] {
    return ResultLine(Result, Name, Bytes) +
           (Unplayable ? Translate(" —— 但是播不出来") : std::string());
  };
  RetranslateResult();
  FForm.CachePage().RefreshCachePage();
}

}  // namespace quavox
