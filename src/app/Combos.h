// The combo-box conventions every page shares: language combos (editable, "自动 (auto)"
// first), gender combos (each item carries its TTtsGender) and voice combos ("name  [id]").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/Types.h"

class QComboBox;

namespace quavox {

// The automatic item of a voice combo.
std::string AutoVoiceItem();

void FillLanguageCombo(QComboBox* ACombo);
// The code in the brackets of the shown text, or the whole text, normalised; "" is automatic.
std::string ComboLanguage(const QComboBox* ACombo);
void SelectLanguage(QComboBox* ACombo, std::string_view ACode);

void FillAllGenders(QComboBox* ACombo);
// Lists the genders of ASet in the order auto, female, male, keeping the selected gender
// when it is still listed, else auto when listed, else the first item.
void FillGenderCombo(QComboBox* ACombo, TTtsGenderSet ASet);
TTtsGender ComboGender(const QComboBox* ACombo);
// Selects the item carrying AGender; the first item when none does.
void SelectGender(QComboBox* ACombo, TTtsGender AGender);

// Refills with the voices (optionally after the automatic item), keeping the shown item
// when it is still there, else selecting the first.
void FillVoiceCombo(QComboBox* ACombo, const std::vector<TVoiceInfo>& AVoices, bool AWithAuto);
std::string VoiceItemText(const TVoiceInfo& AVoice);
// The id between "[" and "]" of the selected item; empty for the automatic item.
std::string ComboVoiceId(const QComboBox* ACombo);
// Selects the first item ending in "[id]"; leaves the selection alone when there is none.
void SelectVoice(QComboBox* ACombo, std::string_view AId);

}  // namespace quavox
