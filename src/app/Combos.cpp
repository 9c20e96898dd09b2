#include "app/Combos.h"

#include <QComboBox>
#include <QSignalBlocker>

#include "app/UiText.h"
#include "core/I18n.h"

namespace quavox {

namespace {

void AddGender(QComboBox* ACombo, TTtsGender AGender) {
  ACombo->addItem(QStr(GenderDisplay(AGender)), static_cast<int>(AGender));
}

// "中文 (zh)" gives "zh"; a typed "ko" stays "ko"; "自动 (auto)" is automatic.
std::string LanguageOfText(QString AText) {
  const qsizetype Open = AText.indexOf('(');
  const qsizetype Close = AText.indexOf(')');
  if (Open >= 0 && Close > Open) AText = AText.mid(Open + 1, Close - Open - 1);
  return NormalizeLanguage(StdStr(AText.trimmed()));
}

}  // namespace

std::string AutoVoiceItem() {
  return Translate("(按语言性别自动路由)");
}

void FillLanguageCombo(QComboBox* ACombo) {
  const QSignalBlocker Quiet(ACombo);
  ACombo->clear();
  ACombo->setEditable(true);
  ACombo->addItem(QStr(LanguageLabel("")));
  for (const std::string& Code : KnownLanguages())
    ACombo->addItem(QStr(LanguageLabel(Code)));
  ACombo->setCurrentIndex(0);
}

std::string ComboLanguage(const QComboBox* ACombo) {
  return LanguageOfText(ACombo->currentText());
}

void SelectLanguage(QComboBox* ACombo, std::string_view ACode) {
  const std::string Code = NormalizeLanguage(ACode);
  for (int i = 0; i < ACombo->count(); ++i) {
    if (LanguageOfText(ACombo->itemText(i)) == Code) {
      ACombo->setCurrentIndex(i);
      return;
    }
  }
  ACombo->setEditText(QStr(LanguageLabel(Code)));
}

void FillAllGenders(QComboBox* ACombo) {
  const QSignalBlocker Quiet(ACombo);
  ACombo->clear();
  for (const TTtsGender Gender : {tgAuto, tgFemale, tgMale})
    AddGender(ACombo, Gender);
  ACombo->setCurrentIndex(0);
}

void FillGenderCombo(QComboBox* ACombo, TTtsGenderSet ASet) {
  const TTtsGender Remembered = ComboGender(ACombo);
  const QSignalBlocker Quiet(ACombo);
  ACombo->clear();
  for (const TTtsGender Gender : {tgAuto, tgFemale, tgMale})
    if (ASet.Contains(Gender)) AddGender(ACombo, Gender);
  int Index = ACombo->findData(static_cast<int>(Remembered));
  if (Index < 0) Index = ACombo->findData(static_cast<int>(tgAuto));
  ACombo->setCurrentIndex(std::max(Index, 0));
}

TTtsGender ComboGender(const QComboBox* ACombo) {
  const int Index = std::max(ACombo->currentIndex(), 0);
  if (Index >= ACombo->count()) return tgAuto;
  return static_cast<TTtsGender>(ACombo->itemData(Index).toInt());
}

void SelectGender(QComboBox* ACombo, TTtsGender AGender) {
  ACombo->setCurrentIndex(std::max(ACombo->findData(static_cast<int>(AGender)), 0));
}

std::string VoiceItemText(const TVoiceInfo& AVoice) {
  return AVoice.Display + "  [" + AVoice.Id + "]";
}

void FillVoiceCombo(QComboBox* ACombo, const std::vector<TVoiceInfo>& AVoices, bool AWithAuto) {
  const QString Shown = ACombo->currentText();
  const QSignalBlocker Quiet(ACombo);
  ACombo->clear();
  if (AWithAuto) ACombo->addItem(QStr(AutoVoiceItem()));
  for (const TVoiceInfo& Voice : AVoices)
    ACombo->addItem(QStr(VoiceItemText(Voice)));
  ACombo->setCurrentIndex(std::max(ACombo->findText(Shown), 0));
}

std::string ComboVoiceId(const QComboBox* ACombo) {
  if (ACombo->currentIndex() < 0) return {};
  const QString Text = ACombo->itemText(ACombo->currentIndex());
  const qsizetype Open = Text.indexOf('[');
  if (Open < 0) return {};
  const qsizetype Close = Text.indexOf(']', Open + 1);
  if (Close < 0) return {};
  return StdStr(Text.mid(Open + 1, Close - Open - 1));
}

void SelectVoice(QComboBox* ACombo, std::string_view AId) {
  const QString Tail = "[" + QStr(AId) + "]";
  for (int i = 0; i < ACombo->count(); ++i) {
    if (ACombo->itemText(i).endsWith(Tail)) {
      ACombo->setCurrentIndex(i);
      return;
    }
  }
}

}  // namespace quavox
