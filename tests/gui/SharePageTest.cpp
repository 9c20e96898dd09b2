// The cloud share page and the share dialog against a stand-in for the share hub on
// 127.0.0.1: fetching while a fetch runs, switching kinds, the gender filter, sharing the
// same content twice, taking down shares, downloading and importing, and the dialog's checks.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>

#include "GuiSupport.h"
#include "app/ShareForm.h"
#include "app/SharePage.h"
#include "app/VoicesPage.h"
#include "audio/Wav.h"
#include "integration/online/LocalServer.h"
#include "service/Service.h"
#include "state/ClonePack.h"
#include "state/Voices.h"

using namespace quavox;
using namespace quavox::test;

namespace {

namespace fs = std::filesystem;

struct TSharedPack {
  std::string Id;
  std::string Title;
  std::string UserId;
};

// The share hub: lists set by the test, uploads recognised by their fingerprint, deletes and
// downloads counted. List answers can be held back until the test lets them go.
class THubStandIn {
 public:
  THubStandIn() {
    auto& s = FServer.Server();
    s.Get("/API/hub.php", [this](const httplib::Request& AReq, httplib::Response& ARes) {
      std::unique_lock Guard(FLock);
      ++FListRequests;
      FLastListKind = AReq.get_param_value("kind");
      FChanged.notify_all();
      FChanged.wait_for(Guard, std::chrono::seconds(20), [this] { return !FHoldLists; });
      const auto It = FLists.find(FLastListKind);
      ARes.set_content(It == FLists.end() ? R"({"ok":true,"items":[]})" : It->second.dump(),
                       "application/json");
    });
    s.Post("/API/hub.php", [this](const httplib::Request& AReq, httplib::Response& ARes) {
      std::lock_guard Guard(FLock);
      if (AReq.get_param_value("a") == "delete") {
        FDeleteBodies.push_back(AReq.body);
        ARes.set_content(R"({"ok":true})", "application/json");
        return;
      }
      Upload(AReq, ARes);
    });
    s.Get(R"(/files/(.+))", [this](const httplib::Request& AReq, httplib::Response& ARes) {
      std::lock_guard Guard(FLock);
      const auto It = FFiles.find(AReq.matches[1]);
      if (It == FFiles.end()) {
        ARes.status = 404;
        return;
      }
      ARes.set_content(It->second, "application/octet-stream");
    });
    FServer.Start();
  }

  std::string Base() const { return FServer.Base(); }

  // A vector, not a JSON value: a braced list of one item would become that item itself
  // with some compilers instead of an array of it.
  void SetList(const std::string& AKind, const std::vector<TJson>& AItems) {
    std::lock_guard Guard(FLock);
    TJson Items = TJson::array();
    for (const TJson& Item : AItems)
      Items.push_back(Item);
    FLists[AKind] = {{"ok", true}, {"items", std::move(Items)}};
  }
  void AddFile(const std::string& AName, std::string ABytes) {
    std::lock_guard Guard(FLock);
    FFiles[AName] = std::move(ABytes);
  }
  void HoldLists(bool AHold) {
    std::lock_guard Guard(FLock);
    FHoldLists = AHold;
    FChanged.notify_all();
  }
  int ListRequests() {
    std::lock_guard Guard(FLock);
    return FListRequests;
  }
  std::string LastListKind() {
    std::lock_guard Guard(FLock);
    return FLastListKind;
  }
  std::vector<std::string> DeleteBodies() {
    std::lock_guard Guard(FLock);
    return FDeleteBodies;
  }
  std::vector<std::map<std::string, std::string>> Uploads() {
    std::lock_guard Guard(FLock);
    return FUploads;
  }

 private:
  void Upload(const httplib::Request& AReq, httplib::Response& ARes) {
    std::map<std::string, std::string> Fields;
    for (const auto& [Name, Part] : AReq.files)
      Fields[Name] = Name == "file" ? Part.filename : Part.content;
    FUploads.push_back(Fields);
    const auto Same = FByFingerprint.find(Fields["fp"]);
    if (Same != FByFingerprint.end()) {
      const TSharedPack& First = Same->second;
      ARes.status = 409;
      ARes.set_content(TJson{{"existingId", First.Id},
                             {"existingTitle", First.Title},
                             {"existingUser", First.UserId},
                             {"mine", First.UserId == Fields["userid"]}}
                           .dump(),
                       "application/json");
      return;
    }
    const std::string Id = "s" + std::to_string(FByFingerprint.size() + 1);
    FByFingerprint[Fields["fp"]] = {Id, Fields["title"], Fields["userid"]};
    ARes.set_content(TJson{{"ok", true},
                           {"id", Id},
                           {"url", Base() + "/files/" + Id + ".cln"},
                           {"deleteKey", "key-" + Id}}
                         .dump(),
                     "application/json");
  }

  std::mutex FLock;
  std::condition_variable FChanged;
  bool FHoldLists = false;
  int FListRequests = 0;
  std::string FLastListKind;
  std::map<std::string, TJson> FLists;
  std::map<std::string, std::string> FFiles;
  std::map<std::string, TSharedPack> FByFingerprint;
  std::vector<std::string> FDeleteBodies;
  std::vector<std::map<std::string, std::string>> FUploads;
  TLocalServer FServer;
};

TJson HubItem(const std::string& AId, const std::string& AUser, const std::string& AGender,
              const std::string& AUrl = "") {
  return {{"id", AId},
          {"userId", AUser},
          {"title", "Title " + AId},
          {"language", "en"},
          {"gender", AGender},
          {"voices", 1},
          {"downloads", 4},
          {"createdAt", "2026-05-01T08:30:00Z"},
          {"url", AUrl.empty() ? "http://127.0.0.1:1/" + AId : AUrl}};
}

TBytes ToneBytes(int AMs) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 24000;
  Pcm.Data.resize(static_cast<std::size_t>(24 * AMs));
  for (std::size_t i = 0; i < Pcm.Data.size(); ++i)
    Pcm.Data[i] = 0.3f * static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
  return PcmToWav(Pcm);
}

struct TShareFixture {
  THubStandIn Hub;
  TProgramFolder Folder;
  TFormUnderTest T{Folder, false,
                   [this](TMainFormOptions& AOptions) { AOptions.HubUrl = Hub.Base(); }};
  TSharePage& Page = T.Form->SharePage();
  TVoiceLibrary& Library = T.Form->Service().VoiceLibrary();

  TVoiceInfo CloneVoice(const std::string& ADisplay) {
    TVoiceCloneSpec Clone{ADisplay, "en", tgFemale, {}, {}, {}};
    Clone.Clips.push_back({ToneBytes(3000), "Welcome aboard."});
    return T.Form->Service().CloneVoice(Clone);
  }
  // Fetches the current kind's list and waits for it to be shown.
  bool Refresh() {
    Page.OnHubRefreshClick();
    return WaitFor([this] { return !Page.HubBusy(); }, 20000);
  }
  bool SelectRow(const std::string& AId) {
    for (int i = 0; i < static_cast<int>(Page.HubShown().size()); ++i) {
      if (Page.HubShown()[static_cast<std::size_t>(i)].Id != AId) continue;
      Page.FLvHub->setCurrentItem(Page.FLvHub->topLevelItem(i));
      return true;
    }
    return false;
  }
  QStringList Column(int AColumn) const {
    QStringList Values;
    for (int i = 0; i < Page.FLvHub->topLevelItemCount(); ++i)
      Values << Page.FLvHub->topLevelItem(i)->text(AColumn);
    return Values;
  }
};

}  // namespace

class TSharePageTest : public QObject {
  Q_OBJECT

 private slots:
  void NothingIsFetchedAtStartAndRefreshIsIgnoredWhileBusy() {
    TShareFixture F;
    F.Hub.SetList("voices", {HubItem("a1", "amy", "female"), HubItem("b1", "bob", "male")});
    for (QComboBox* Combo : {F.Page.FCbHubKind, F.Page.FCbHubLang, F.Page.FCbHubGender,
                             F.Page.FCbHubUser, F.Page.FCbHubSort})
      QCOMPARE(Combo->count(), 0);
    QCOMPARE(F.Hub.ListRequests(), 0);

    F.Hub.HoldLists(true);
    F.Page.OnHubRefreshClick();
    QVERIFY(WaitFor([&] { return F.Hub.ListRequests() == 1; }, 10000));
    QVERIFY(F.Page.HubBusy());
    QVERIFY(!F.Page.FBtnHubRefresh->isEnabled());
    QCOMPARE(F.Page.FLblHubStatus->text(), QStringLiteral("正在拉取列表…"));
    F.Page.OnHubRefreshClick();
    F.Hub.HoldLists(false);
    QVERIFY(WaitFor([&] { return !F.Page.HubBusy(); }, 20000));
    QCOMPARE(F.Hub.ListRequests(), 1);
    QVERIFY(F.Page.FBtnHubRefresh->isEnabled());
    QCOMPARE(F.Column(0), QStringList({"Title a1", "Title b1"}));
    QCOMPARE(F.Page.FLblHubStatus->text(), QStringLiteral("2 / 2 条"));
    QCOMPARE(F.Page.FCbHubUser->count(), 3);
    QCOMPARE(F.Page.FCbHubKind->currentText(), QStringLiteral("音色"));
    QCOMPARE(F.Page.FCbHubSort->count(), 5);
  }

  // The status line is rewritten in the new language whatever it says: a fetch under way or
  // the count of the list.
  void StatusLineFollowsTheLanguageSwitch() {
    TShareFixture F;
    F.Hub.SetList("voices", {HubItem("a1", "amy", "female")});
    F.Hub.HoldLists(true);
    F.Page.OnHubRefreshClick();
    QVERIFY(WaitFor([&] { return F.Hub.ListRequests() == 1; }, 10000));
    F.T.Form->OnUiLangChange(ulEn);
    QCOMPARE(F.Page.FLblHubStatus->text(), QStringLiteral("Fetching the list…"));
    F.Hub.HoldLists(false);
    QVERIFY(WaitFor([&] { return !F.Page.HubBusy(); }, 20000));
    QCOMPARE(F.Page.FLblHubStatus->text(), QStringLiteral("1 / 1 entries"));
    F.T.Form->OnUiLangChange(ulJa);
    QCOMPARE(F.Page.FLblHubStatus->text(), QStringLiteral("1 / 1 件"));
  }

  // An empty list shows no horizontal scroll bar; one with rows scrolls to its other columns.
  void OnlyAListWithRowsScrollsSideways() {
    TShareFixture F;
    F.T.Form->resize(F.T.Form->minimumSize());
    F.T.Form->ShowPage(TMainForm::piShare);
    F.T.Form->show();
    QVERIFY(QTest::qWaitForWindowExposed(F.T.Form.get()));
    QVERIFY(!F.Page.FLvHub->horizontalScrollBar()->isVisible());
    F.Hub.SetList("voices", {HubItem("a1", "amy", "female")});
    QVERIFY(F.Refresh());
    QVERIFY(WaitFor([&] { return F.Page.FLvHub->horizontalScrollBar()->isVisible(); }, 5000));
  }

  void KindSwitchEmptiesTheListAtOnceThenFetches() {
    TShareFixture F;
    F.Hub.SetList("voices", {HubItem("a1", "amy", "female"), HubItem("b1", "bob", "male")});
    F.Hub.SetList("broadcasts", {HubItem("c1", "cat", "female")});
    QVERIFY(F.Refresh());
    QCOMPARE(F.Page.FLvHub->topLevelItemCount(), 2);

    F.Hub.HoldLists(true);
    F.Page.FCbHubKind->setCurrentIndex(hkBroadcasts);
    QCOMPARE(F.Page.HubKind(), hkBroadcasts);
    QCOMPARE(F.Page.FLvHub->topLevelItemCount(), 0);
    QVERIFY(F.Page.HubAll().empty());
    QCOMPARE(F.Page.FCbHubUser->count(), 1);
    QVERIFY(F.Page.HubBusy());
    F.Hub.HoldLists(false);
    QVERIFY(WaitFor([&] { return !F.Page.HubBusy(); }, 20000));
    QCOMPARE(F.Hub.LastListKind(), std::string("broadcasts"));
    QCOMPARE(F.Column(0), QStringList({"Title c1"}));
  }

  // The answer for the kind that was left must not fill the list of the new one.
  void KindSwitchDuringAFetchShowsTheNewKind() {
    TShareFixture F;
    F.Hub.SetList("voices", {HubItem("a1", "amy", "female")});
    F.Hub.SetList("broadcasts", {HubItem("c1", "cat", "female")});
    QVERIFY(F.Refresh());
    F.Hub.HoldLists(true);
    F.Page.OnHubRefreshClick();
    QVERIFY(WaitFor([&] { return F.Hub.ListRequests() == 2; }, 10000));
    F.Page.FCbHubKind->setCurrentIndex(hkBroadcasts);
    F.Hub.HoldLists(false);
    QVERIFY(WaitFor([&] { return F.Hub.ListRequests() == 3 && !F.Page.HubBusy(); }, 20000));
    QCOMPARE(F.Hub.LastListKind(), std::string("broadcasts"));
    QCOMPARE(F.Column(0), QStringList({"Title c1"}));
  }

  void GenderFilterUsesTheHubsWord_data() {
    QTest::addColumn<int>("Index");
    QTest::addColumn<QString>("Shown");
    QTest::addColumn<QStringList>("Ids");
    QTest::newRow("all") << 0 << "全部性别" << QStringList{"Title a1", "Title b1", "Title c1"};
    QTest::newRow("female") << 1 << "女声" << QStringList{"Title a1", "Title c1"};
    QTest::newRow("male") << 2 << "男声" << QStringList{"Title b1"};
  }
  void GenderFilterUsesTheHubsWord() {
    QFETCH(int, Index);
    QFETCH(QString, Shown);
    QFETCH(QStringList, Ids);
    TShareFixture F;
    F.Hub.SetList("voices", {HubItem("a1", "amy", "female"), HubItem("b1", "bob", "male"),
                             HubItem("c1", "cat", "FEMALE")});
    QVERIFY(F.Refresh());
    F.Page.FCbHubGender->setCurrentIndex(Index);
    QCOMPARE(F.Page.FCbHubGender->currentText(), Shown);
    QCOMPARE(F.Column(0), Ids);
    if (Index == 1) QCOMPARE(F.Column(3), QStringList({"female", "FEMALE"}));
  }

  void SharingTheSameContentTwiceStoresOneShare() {
    TShareFixture F;
    const TVoiceInfo Voice = F.CloneVoice("Anna");
    F.T.Dialogs.ShareChoices.push_back(TShareChoice{hkVoices, "amy", "Gate voice", "", {Voice.Id}});
    F.T.Dialogs.ShareChoices.push_back(TShareChoice{hkVoices, "amy", "Again", "", {Voice.Id}});

    F.Page.OnHubShareClick();
    QVERIFY(WaitFor([&] { return !F.Page.HubBusy(); }, 20000));
    QCOMPARE(F.T.Dialogs.Infos.back(),
             std::string("分享成功。分享 ID:s1\r\n别人现在就能在云分享页看到它了。"));
    F.Page.OnHubShareClick();
    QVERIFY(WaitFor([&] { return !F.Page.HubBusy(); }, 20000));
    QCOMPARE(
        F.T.Dialogs.Infos.back(),
        std::string("这份内容你已经分享过了:「Gate voice」\r\n不用再传一次 —— 云上那份就是它。"));
    QVERIFY(F.T.Dialogs.Warnings.empty());

    const std::vector<THubShare> Shares = F.T.Form->Config().HubShares();
    QCOMPARE(Shares.size(), std::size_t{1});
    QCOMPARE(Shares[0].Title, std::string("Gate voice"));
    QCOMPARE(Shares[0].DeleteKey, std::string("key-s1"));
    QCOMPARE(F.T.Form->Config().Settings().HubUserId, std::string("amy"));
    const auto Uploads = F.Hub.Uploads();
    QCOMPARE(Uploads.size(), std::size_t{2});
    QCOMPARE(Uploads[0].at("kind"), std::string("voices"));
    QCOMPARE(Uploads[0].at("language"), std::string("en"));
    QCOMPARE(Uploads[0].at("gender"), std::string("female"));
    QCOMPARE(Uploads[0].at("voices"), std::string("1"));
    QCOMPARE(Uploads[0].at("file"), std::string("share-upload.cln"));
    QVERIFY(!fs::exists(F.T.Form->Config().CacheDir() + "share-upload.cln"));
    QVERIFY(F.T.Dialogs.AskedShareKinds == std::vector<THubKind>({hkVoices, hkVoices}));
  }

  void TakeDownNeedsTheKeyOfThisMachine() {
    TShareFixture F;
    F.Hub.SetList("voices", {HubItem("x1", "eve", "female"), HubItem("s1", "amy", "female")});
    F.T.Form->Config().AddHubShare("s1", "Mine", "key-s1");
    QVERIFY(F.Refresh());

    QVERIFY(F.SelectRow("x1"));
    F.Page.OnHubUnshareClick();
    QCOMPARE(
        F.T.Dialogs.Warnings.back(),
        std::string("这一条不是在这台机器上传的,撤不了。\r\n只有上传时那台机器存着删除凭据。"));
    QVERIFY(F.T.Dialogs.Confirms.empty());
    QVERIFY(F.Hub.DeleteBodies().empty());

    QVERIFY(F.SelectRow("s1"));
    F.T.Dialogs.ConfirmAnswers.push_back(true);
    F.Page.OnHubUnshareClick();
    QCOMPARE(F.T.Dialogs.Confirms.back(), std::string("把「Title s1」从云分享里撤下来?"));
    QVERIFY(F.Hub.DeleteBodies() == std::vector<std::string>({R"({"deleteKey":"key-s1"})"}));
    QVERIFY(F.T.Form->Config().HubShares().empty());
    QVERIFY(WaitFor([&] { return !F.Page.HubBusy(); }, 20000));
  }

  void DownloadImportsThePack() {
    TShareFixture F;
    const TVoiceInfo Voice = F.CloneVoice("Anna");
    const std::string Pack = F.Folder.Root() + "anna.cln";
    ExportVoicesPack(Pack, {Voice.Id}, F.Library);
    F.Library.Remove(Voice.Id);
    const TBytes PackBytes = ReadFileBytes(Pack);
    F.Hub.AddFile("p1.cln", std::string(PackBytes.begin(), PackBytes.end()));
    F.Hub.AddFile("bad.cln", "not a zip");
    F.Hub.SetList("voices", {HubItem("p1", "amy", "female", F.Hub.Base() + "/files/p1.cln"),
                             HubItem("bad", "bob", "male", F.Hub.Base() + "/files/bad.cln"),
                             HubItem("gone", "cat", "male", F.Hub.Base() + "/files/gone.cln")});
    QVERIFY(F.Refresh());

    QVERIFY(F.SelectRow("p1"));
    F.Page.OnHubDownloadClick();
    QVERIFY(F.T.Dialogs.Warnings.empty());
    QVERIFY(
        QString::fromStdString(F.T.Dialogs.Infos.back()).startsWith("「Title p1」已导入。\r\n"));
    QCOMPARE(F.Library.All().size(), std::size_t{1});
    QCOMPARE(F.T.Form->VoicesPage().FLvVoices->topLevelItemCount(), 1);
    QVERIFY(!fs::exists(F.T.Form->Config().CacheDir() + "hub-p1.cln"));
    QVERIFY(WaitFor([&] { return !F.Page.HubBusy(); }, 20000));

    QVERIFY(F.SelectRow("bad"));
    F.Page.OnHubDownloadClick();
    QVERIFY(QString::fromStdString(F.T.Dialogs.Warnings.back()).startsWith("这个包导不进来:"));
    QVERIFY(F.SelectRow("gone"));
    F.Page.OnHubDownloadClick();
    QCOMPARE(F.T.Dialogs.Warnings.back(), std::string("下载失败:下载失败(HTTP 404)"));
    QVERIFY(F.Page.FLblHubStatus->text().isEmpty());
  }

  void CommandsNeedASelectedRow() {
    TShareFixture F;
    F.Page.OnHubDownloadClick();
    F.Page.OnHubUnshareClick();
    QVERIFY(F.T.Dialogs.Warnings ==
            std::vector<std::string>({"先在列表里选一条。", "先在列表里选中要撤下的那一条。"}));
  }

  void EmptyLibraryDisablesUpload_data() {
    QTest::addColumn<int>("Kind");
    QTest::addColumn<QString>("Explained");
    QTest::newRow("voices") << int{hkVoices} << "音色库还是空的 —— 先克隆一个再来分享。";
    QTest::newRow("broadcasts") << int{hkBroadcasts}
                                << "还没有任何广播绑定 —— 先去「广播」页配一条。";
  }
  void EmptyLibraryDisablesUpload() {
    QFETCH(int, Kind);
    QFETCH(QString, Explained);
    TShareFixture F;
    TShareForm Form(F.T.Form.get(), static_cast<THubKind>(Kind), F.T.Form->Config(), F.Library,
                    F.T.Dialogs);
    QCOMPARE(Form.FList->count(), 0);
    QCOMPARE(Form.FLblWhat->text(), Explained);
    QVERIFY(!Form.FBtnOk->isEnabled());
  }

  void ShareDialogChecksInOrder() {
    TShareFixture F;
    const TVoiceInfo Voice = F.CloneVoice("Anna");
    TShareForm Form(F.T.Form.get(), hkVoices, F.T.Form->Config(), F.Library, F.T.Dialogs);
    QCOMPARE(Form.windowTitle(), QStringLiteral("分享音色到云上"));
    QCOMPARE(Form.FList->count(), 1);
    QCOMPARE(Form.FList->item(0)->text(), QStringLiteral("Anna   [English / 女声]   1 段参考音频"));
    Form.FEdtUser->clear();

    Form.FBtnOk->click();
    QCOMPARE(Form.focusWidget(), static_cast<QWidget*>(Form.FList));
    Form.FList->setCurrentRow(0);
    Form.FBtnOk->click();
    QCOMPARE(Form.focusWidget(), static_cast<QWidget*>(Form.FEdtUser));
    Form.FEdtUser->setText(QStringLiteral("  amy "));
    Form.FBtnOk->click();
    QCOMPARE(Form.focusWidget(), static_cast<QWidget*>(Form.FEdtTitle));
    QVERIFY(F.T.Dialogs.Warnings == std::vector<std::string>({
                                        "先选一个音色 —— 一次只能分享一个。",
                                        "用户 ID 不能空 —— 别人靠它认出这是谁分享的。",
                                        "标题不能空。",
                                    }));
    QCOMPARE(Form.result(), int{QDialog::Rejected});
    Form.FEdtTitle->setText(QStringLiteral(" Gate "));
    Form.FBtnOk->click();
    QCOMPARE(Form.result(), int{QDialog::Accepted});
    TShareChoice Choice;
    QVERIFY(Form.Choice(Choice));
    QCOMPARE(Choice.UserId, std::string("amy"));
    QCOMPARE(Choice.Title, std::string("Gate"));
    QVERIFY(Choice.Picked == std::vector<std::string>({Voice.Id}));
  }

  void ShareDialogListsBindingsWithTheirVoice() {
    TShareFixture F;
    const TVoiceInfo Voice = F.CloneVoice("Anna");
    F.T.Form->Config().SetAirlineVoice("CCA", "en", tgFemale, Voice.Id);
    F.T.Form->Config().SetAirlineVoice("ANA", "ja", tgMale, "v-gone");
    F.T.Form->Config().SetSettings([&] {
      TConfigSettings Settings = F.T.Form->Config().Settings();
      Settings.HubUserId = "amy";
      return Settings;
    }());
    TShareForm Form(F.T.Form.get(), hkBroadcasts, F.T.Form->Config(), F.Library, F.T.Dialogs);
    QCOMPARE(Form.FEdtUser->text(), QStringLiteral("amy"));
    QStringList Lines;
    for (int i = 0; i < Form.FList->count(); ++i)
      Lines << Form.FList->item(i)->text();
    QCOMPARE(Lines, QStringList(
                        {"ANA   日本語 / 男声   → (音色已不在)", "CCA   English / 女声   → Anna"}));
    QVERIFY(Form.FBtnOk->isEnabled());
  }
};

QTEST_MAIN(TSharePageTest)
#include "SharePageTest.moc"
