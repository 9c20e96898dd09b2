// The window in the chosen interface language: its font, its designed captions translated
// from their Chinese source, and everything the pages fill refilled.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>
#include <QTranslator>
#include <QTreeWidget>

#include "app/BroadcastPage.h"
#include "app/CachePage.h"
#include "app/Controls.h"
#include "app/LogPage.h"
#include "app/MainForm.h"
#include "app/ModelsPage.h"
#include "app/RadioGroup.h"
#include "app/SettingsPage.h"
#include "app/SharePage.h"
#include "app/TryOutPage.h"
#include "app/UiFonts.h"
#include "app/UiText.h"
#include "app/VoicesPage.h"
#include "core/I18n.h"
#include "core/Log.h"

namespace quavox {

namespace {

// Qt's own inner widgets carry names starting with "qt_"; they have no designed texts.
bool IsDesigned(const QWidget* AWidget) {
  const QString Name = AWidget->objectName();
  return !Name.isEmpty() && !Name.startsWith(QLatin1String("qt_"));
}

QString Key(const QObject* AObject, const QString& AProperty) {
  return AObject->objectName() + '.' + AProperty;
}

QString ItemKey(const QObject* AObject, const char* AKind, int AIndex) {
  return Key(AObject, QLatin1String(AKind) + QString::number(AIndex));
}

// The edits' hint, whichever kind of edit it is.
QWidget* HintOwner(QWidget* AWidget) {
  if (qobject_cast<QLineEdit*>(AWidget) || qobject_cast<QPlainTextEdit*>(AWidget) ||
      qobject_cast<QTextEdit*>(AWidget) || qobject_cast<QComboBox*>(AWidget))
    return AWidget;
  return nullptr;
}

}  // namespace

void TMainForm::ApplyUiFont() {
  const QStringList Installed = FInstalledFonts.value_or(QFontDatabase::families());
  for (const std::string& Candidate : UiFontCandidates(CurrentUiLang())) {
    const QString Family = QStr(Candidate);
    if (!Installed.contains(Family, Qt::CaseInsensitive)) continue;
    if (font().families().value(0).compare(Family, Qt::CaseInsensitive) == 0) return;
    QFont Chosen = font();
    Chosen.setFamilies(UiFontFamilies(Family));
    setFont(Chosen);
    // Widgets measured before they join the window, and the dialogs, use the application
    // font; without this they fall back through every CJK face the system has.
    QApplication::setFont(Chosen);
    return;
  }
}

void TMainForm::LocalizeText(const QString& AKey, const QString& ACurrent,
                             const std::function<void(const QString&)>& ASet) {
  auto It = FOrigText.find(AKey);
  if (It == FOrigText.end()) {
    if (ACurrent.isEmpty()) return;
    It = FOrigText.insert(AKey, {ACurrent, ACurrent});
  } else if (ACurrent != It->Shown) {
    return;
  }
  It->Shown = Tr(StdStr(It->Source));
  if (It->Shown != ACurrent) ASet(It->Shown);
}

// A column keeps its designed width unless its title needs more, as longer translations do.
void TMainForm::FitColumns(const QWidget* AView, QHeaderView* AHeader) {
  for (int i = 0; i < AHeader->count(); ++i) {
    const QString ColumnKey = ItemKey(AView, "Col", i);
    auto Designed = FOrigWidth.find(ColumnKey);
    if (Designed == FOrigWidth.end())
      Designed = FOrigWidth.insert(ColumnKey, AHeader->sectionSize(i));
    AHeader->resizeSection(i, std::max(*Designed, AHeader->sectionSizeHint(i)));
  }
}

void TMainForm::LocalizeWidget(QWidget* AWidget) {
  if (auto* Group = qobject_cast<TRadioGroup*>(AWidget)) {
    const int Selected = Group->ItemIndex();
    for (int i = 0; i < Group->Count(); ++i) {
      QRadioButton* Item = Group->Item(i);
      LocalizeText(ItemKey(Group, "Item", i), Item->text(),
                   [Item](const QString& AText) { Item->setText(AText); });
    }
    Group->SetItemIndex(Selected);
  }
  if (auto* Button = qobject_cast<QAbstractButton*>(AWidget)) {
    // The items of a radio group are walked with their group.
    if (qobject_cast<TRadioGroup*>(Button->parentWidget()) == nullptr)
      LocalizeText(Key(Button, "Caption"), Button->text(),
                   [Button](const QString& AText) { Button->setText(AText); });
  } else if (auto* Elided = dynamic_cast<TElidedLabel*>(AWidget)) {
    // What it shows may be cut short; the whole text is the one to translate.
    LocalizeText(Key(Elided, "Caption"), Elided->FullText(),
                 [Elided](const QString& AText) { Elided->SetFullText(AText); });
  } else if (auto* Label = qobject_cast<QLabel*>(AWidget)) {
    LocalizeText(Key(Label, "Caption"), Label->text(),
                 [Label](const QString& AText) { Label->setText(AText); });
  } else if (auto* Box = qobject_cast<QGroupBox*>(AWidget)) {
    LocalizeText(Key(Box, "Caption"), Box->title(),
                 [Box](const QString& AText) { Box->setTitle(AText); });
  } else if (auto* Tabs = qobject_cast<QTabWidget*>(AWidget)) {
    for (int i = 0; i < Tabs->count(); ++i)
      if (IsDesigned(Tabs->widget(i)))
        LocalizeText(Key(Tabs->widget(i), "Caption"), Tabs->tabText(i),
                     [Tabs, i](const QString& AText) { Tabs->setTabText(i, AText); });
  } else if (auto* Tree = qobject_cast<QTreeWidget*>(AWidget)) {
    QTreeWidgetItem* Header = Tree->headerItem();
    for (int i = 0; i < Tree->columnCount(); ++i)
      LocalizeText(ItemKey(Tree, "Col", i), Header->text(i),
                   [Header, i](const QString& AText) { Header->setText(i, AText); });
    FitColumns(Tree, Tree->header());
  } else if (auto* Table = qobject_cast<QTableWidget*>(AWidget)) {
    for (int i = 0; i < Table->columnCount(); ++i)
      if (QTableWidgetItem* Header = Table->horizontalHeaderItem(i))
        LocalizeText(ItemKey(Table, "Col", i), Header->text(),
                     [Header](const QString& AText) { Header->setText(AText); });
    FitColumns(Table, Table->horizontalHeader());
  } else if (auto* View = qobject_cast<QAbstractItemView*>(AWidget)) {
    // Other views keep their column titles in their models, which take replaced titles.
    if (QAbstractItemModel* Model = View->model())
      for (int i = 0; i < Model->columnCount(); ++i)
        LocalizeText(
            ItemKey(View, "Col", i), Model->headerData(i, Qt::Horizontal).toString(),
            [Model, i](const QString& AText) { Model->setHeaderData(i, Qt::Horizontal, AText); });
  }
  if (QWidget* Edit = HintOwner(AWidget))
    LocalizeText(Key(Edit, "TextHint"), Edit->property("placeholderText").toString(),
                 [Edit](const QString& AText) { Edit->setProperty("placeholderText", AText); });
}

void TMainForm::LocalizeForm() {
  const bool WasLocalizing = FLocalizing;
  FLocalizing = true;
  const auto Restore = qScopeGuard([this, WasLocalizing] { FLocalizing = WasLocalizing; });
  LocalizeText(Key(this, "Caption"), windowTitle(),
               [this](const QString& AText) { setWindowTitle(AText); });
  for (QWidget* Widget : findChildren<QWidget*>())
    if (IsDesigned(Widget) && Widget->window() == this) LocalizeWidget(Widget);
}

void TMainForm::ApplyQtTranslation() {
  if (FQtTranslator) QCoreApplication::removeTranslator(FQtTranslator.get());
  FQtTranslator.reset();
  const TUiLang Lang = CurrentUiLang();
  if (Lang == ulEn) return;
  auto Translator = std::make_unique<QTranslator>();
  const QString Name = Lang == ulJa ? QStringLiteral("qtbase_ja") : QStringLiteral("qtbase_zh_CN");
  if (!Translator->load(Name, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    TAppLog::Warn("app", "Qt's own texts stay English: %s not found (qt6-translations-l10n)",
                  StdStr(Name));
    return;
  }
  QCoreApplication::installTranslator(Translator.get());
  FQtTranslator = std::move(Translator);
}

void TMainForm::ApplyUiLanguage() {
  const bool WasLocalizing = FLocalizing;
  // Combos refilled below must not count as the operator's choice.
  FLocalizing = true;
  const auto Restore = qScopeGuard([this, WasLocalizing] { FLocalizing = WasLocalizing; });
  ApplyUiFont();
  ApplyQtTranslation();
  LocalizeForm();
  FillCombos();
  FSettingsPage->SettingsToControls();
  FSettingsPage->UpdateAdvancedCaption();
  FSettingsPage->RetranslateUpdateLine();
  FTryOutPage->RefreshVoiceCombo();
  FTryOutPage->RetranslateResult();
  FVoicesPage->RefreshVoicesList();
  FModelsPage->RefreshModelPage();
  FBroadcastPage->RefreshAirlinesPage();
  FCachePage->RefreshCachePage();
  FSharePage->RetranslateHubCombos();
  FLogPage->RetranslateRequests();
  RefreshServicePage();
  OnTimer();
  BuildTrayMenu();
}

void TMainForm::OnUiLangChange(int AIndex) {
  if (FLocalizing) return;
  const auto Chosen = static_cast<TUiLang>(AIndex >= ulAuto && AIndex <= ulEn ? AIndex : ulAuto);
  TConfigSettings Settings = FConfig->Settings();
  if (Chosen == Settings.UiLanguage) return;
  Settings.UiLanguage = Chosen;
  FConfig->SetSettings(Settings);
  SetUiLang(Chosen);
  FConfig->Save();
  ApplyUiLanguage();
}

}  // namespace quavox
