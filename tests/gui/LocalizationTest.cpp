// The window in Chinese, Japanese and English: every designed text comes back exactly after
// a round of languages, nothing designed stays Chinese in English, radio choices survive,
// choosing the same language again saves nothing, and the font follows what is installed.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <fstream>
#include <iterator>
#include <map>

#include "GuiSupport.h"
#include "app/RadioGroup.h"
#include "app/ServicePage.h"
#include "app/TryOutPage.h"
#include "core/I18n.h"
#include "platform/Files.h"

using namespace quavox;
using namespace quavox::test;

namespace {

using TTexts = std::map<QString, QString>;

// Every text a person reads on the window's named widgets, by widget name and kind of text.
TTexts Captions(const TMainForm& AForm) {
  TTexts Texts{{"window", AForm.windowTitle()}};
  for (const QWidget* W : AForm.findChildren<QWidget*>()) {
    const QString Name = W->objectName();
    if (Name.isEmpty() || Name.startsWith("qt_") || W->window() != &AForm) continue;
    if (const auto* Label = qobject_cast<const QLabel*>(W)) Texts[Name + " text"] = Label->text();
    if (const auto* Button = qobject_cast<const QAbstractButton*>(W))
      Texts[Name + " text"] = Button->text();
    if (const auto* Box = qobject_cast<const QGroupBox*>(W)) Texts[Name + " title"] = Box->title();
    if (const auto* Edit = qobject_cast<const QLineEdit*>(W))
      Texts[Name + " hint"] = Edit->placeholderText();
    if (const auto* Tabs = qobject_cast<const QTabWidget*>(W))
      for (int i = 0; i < Tabs->count(); ++i)
        Texts[Name + " tab " + QString::number(i)] = Tabs->tabText(i);
    // Every list's column titles, whether the view keeps them or its model does.
    if (const auto* View = qobject_cast<const QAbstractItemView*>(W); View && View->model())
      for (int i = 0; i < View->model()->columnCount(); ++i)
        Texts[Name + " column " + QString::number(i)] =
            View->model()->headerData(i, Qt::Horizontal).toString();
  }
  return Texts;
}

// What code puts into the combo boxes, which a language change refills.
TTexts ComboItems(const TMainForm& AForm) {
  TTexts Items;
  for (const QComboBox* Combo : AForm.findChildren<QComboBox*>()) {
    QStringList Texts;
    for (int i = 0; i < Combo->count(); ++i)
      Texts << Combo->itemText(i);
    Items[Combo->objectName()] = Texts.join('|');
  }
  return Items;
}

std::string FileText(const std::string& APath) {
  std::ifstream In(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), {}};
}

bool HasChinese(const QString& AText) {
  static const QRegularExpression Han(QStringLiteral("\\p{Han}"));
  return AText.contains(Han);
}

QString WindowFamily(const TMainForm& AForm) {
  return AForm.font().families().value(0);
}

}  // namespace

class TLocalizationTest : public QObject {
  Q_OBJECT

 private slots:
  void RoundOfLanguagesRestoresEveryDesignedText() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    TMainForm& Form = *T.Form;
    TTryOutPage& TryOut = Form.TryOutPage();
    TryOut.FRgVoiceMode->SetItemIndex(TTryOutPage::vmNamed);
    TryOut.OnVoiceModeChange();
    // As the window reads after its first second.
    Form.OnTimer();
    const TTexts Designed = Captions(Form);
    const TTexts Filled = ComboItems(Form);

    Form.OnUiLangChange(ulJa);
    QCOMPARE(TryOut.FRgVoiceMode->ItemIndex(), int{TTryOutPage::vmNamed});
    QCOMPARE(Captions(Form).at("FPages tab 0"), QStringLiteral("サービス"));
    QCOMPARE(Form.TrayMenu()->actions().first()->text(), QStringLiteral("メインウィンドウを表示"));
    QCOMPARE(Form.Tray()->toolTip(), QStringLiteral("Quavox 音声サービス\nステータス:停止中"));
    // Qt's own buttons and menus speak the language too.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("キャンセル"));

    Form.OnUiLangChange(ulEn);
    QCOMPARE(TryOut.FRgVoiceMode->ItemIndex(), int{TTryOutPage::vmNamed});
    for (const auto& [Name, Text] : Captions(Form))
      QVERIFY2(!HasChinese(Text), qPrintable(Name + ": " + Text));
    QCOMPARE(TryOut.FRgVoiceMode->Item(2)->text(), QStringLiteral("Name a voice directly"));
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));

    Form.OnUiLangChange(ulZh);
    QCOMPARE(TryOut.FRgVoiceMode->ItemIndex(), int{TTryOutPage::vmNamed});
    const TTexts Back = Captions(Form);
    for (const auto& [Name, Text] : Designed)
      QCOMPARE(Back.at(Name), Text);
    QCOMPARE(Back.size(), Designed.size());
    QVERIFY(ComboItems(Form) == Filled);
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
  }

  // A window opened in English and switched to Chinese reads like one opened in Chinese.
  void WindowOpenedInAnotherLanguageComesBackToChinese() {
    TProgramFolder Folder;
    TTexts Chinese;
    {
      TFormUnderTest T(Folder);
      T.Form->OnTimer();
      Chinese = Captions(*T.Form);
    }
    TJson Config = ParseJsonObject(FileText(Folder.Root() + "data/config.json")).value();
    Config["server"]["uiLanguage"] = "en";
    WriteFileAtomic(Folder.Root() + "data/config.json", JsonDumpIndented(Config));
    TFormUnderTest T(Folder);
    QCOMPARE(Captions(*T.Form).at("window"), QStringLiteral("Quavox — Tallyhorn Voice Service"));
    T.Form->OnUiLangChange(ulZh);
    QVERIFY(Captions(*T.Form) == Chinese);
  }

  void SameLanguageAgainSavesNothing() {
    TProgramFolder Folder;
    TFormUnderTest T(Folder);
    const std::string ConfigFile = Folder.Root() + "data/config.json";
    T.Form->OnUiLangChange(ulJa);
    QVERIFY(QString::fromStdString(FileText(ConfigFile)).contains("\"uiLanguage\": \"ja\""));
    QCOMPARE(CurrentUiLang(), ulJa);
    WriteFileAtomic(ConfigFile, "untouched");
    T.Form->OnUiLangChange(ulJa);
    QCOMPARE(FileText(ConfigFile), std::string("untouched"));
    T.Form->OnUiLangChange(-1);
    QCOMPARE(T.Form->Config().Settings().UiLanguage, ulAuto);
    T.Form->OnUiLangChange(ulZh);
  }

  void FontFollowsTheLanguageWhenInstalled_data() {
    QTest::addColumn<QStringList>("Installed");
    QTest::addColumn<QStringList>("Families");
    QTest::newRow("no Japanese font")
        << QStringList{"Noto Sans CJK SC", "Tahoma"}
        << QStringList{"Noto Sans CJK SC", "Noto Sans CJK SC", "Tahoma", "Noto Sans CJK SC"};
    QTest::newRow("each language its own")
        << QStringList{"noto sans cjk sc", "Noto Sans CJK JP", "Tahoma"}
        << QStringList{"Noto Sans CJK SC", "Noto Sans CJK JP", "Tahoma", "Noto Sans CJK SC"};
  }
  void FontFollowsTheLanguageWhenInstalled() {
    QFETCH(QStringList, Installed);
    QFETCH(QStringList, Families);
    TProgramFolder Folder;
    TFormUnderTest T(Folder, false,
                     [&](TMainFormOptions& AOptions) { AOptions.InstalledFonts = Installed; });
    TMainForm& Form = *T.Form;
    const QString Fixed = Form.ServicePage().FMemoUsage->font().families().value(0);
    QCOMPARE(WindowFamily(Form).toLower(), Families[0].toLower());
    const TUiLang Round[] = {ulJa, ulEn, ulZh};
    for (int i = 0; i < 3; ++i) {
      Form.OnUiLangChange(Round[i]);
      QCOMPARE(WindowFamily(Form).toLower(), Families[i + 1].toLower());
      QCOMPARE(Form.ServicePage().FMemoUsage->font().families().value(0), Fixed);
    }
  }
};

QTEST_MAIN(TLocalizationTest)
#include "LocalizationTest.moc"
