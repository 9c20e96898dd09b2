// The models page and the engine controls over the real service and downloader, with model
// hosts and the engine-package host as local HTTP servers: the one-click download with and
// without an NVIDIA driver, downloads from the chosen source with progress on the window's
// thread, cancel and failure, the model choice, unload/load, the compute and GPU combos and
// the engine-package button.
#include <zip.h>

#include <httplib.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "GuiSupport.h"
#include "app/EnginePanel.h"
#include "app/LogPage.h"
#include "app/ModelsPage.h"
#include "app/ServicePage.h"
#include "app/SettingsPage.h"
#include "engine/Gpu.h"
#include "engine/Models.h"
#include "service/Service.h"

using namespace quavox;
using namespace quavox::test;

namespace {

namespace fs = std::filesystem;
constexpr int64_t MiB = 1 << 20;
constexpr int Patience = 30000;

// A file host on 127.0.0.1 that serves named files wherever they are asked for and
// remembers the paths asked for. A slow file trickles after its first 2 MiB until the
// transfer is cancelled.
class TFileHost {
 public:
  TFileHost() {
    FServer.Get(R"(/(.*))", [this](const httplib::Request& AReq, httplib::Response& ARes) {
      Handle(AReq, ARes);
    });
    FPort = FServer.bind_to_any_port("127.0.0.1");
    FThread = std::thread([this] { FServer.listen_after_bind(); });
    while (!FServer.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~TFileHost() {
    FStopping = true;
    FServer.stop();
    FThread.join();
  }

  std::string Base() const { return "http://127.0.0.1:" + std::to_string(FPort); }
  void Serve(const std::string& AName, std::string ABytes, bool ASlow = false) {
    std::lock_guard Guard(FLock);
    FFiles[AName] = {std::move(ABytes), ASlow};
  }
  std::vector<std::string> Requested() const {
    std::lock_guard Guard(FLock);
    return FRequested;
  }

 private:
  struct TFile {
    std::string Bytes;
    bool Slow = false;
  };

  void Handle(const httplib::Request& AReq, httplib::Response& ARes) {
    const std::string Path = "/" + AReq.matches[1].str();
    TFile File;
    {
      std::lock_guard Guard(FLock);
      FRequested.push_back(Path);
      const auto Found = FFiles.find(Path.substr(Path.rfind('/') + 1));
      if (Found == FFiles.end()) {
        ARes.status = 404;
        ARes.set_content("<html>not here</html>", "text/html");
        return;
      }
      File = Found->second;
    }
    if (!File.Slow) {
      ARes.set_content(File.Bytes, "application/octet-stream");
      return;
    }
    ARes.set_content_provider(
        File.Bytes.size(), "application/octet-stream",
        [this, Bytes = File.Bytes](size_t AOffset, size_t ALength, httplib::DataSink& ASink) {
          if (FStopping) return false;
          if (AOffset >= size_t{2 * MiB})
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          const size_t Count = std::min<size_t>(ALength, 64 * 1024);
          return ASink.write(Bytes.data() + AOffset, Count);
        });
  }

  httplib::Server FServer;
  int FPort = 0;
  std::thread FThread;
  std::atomic<bool> FStopping{false};
  mutable std::mutex FLock;
  std::map<std::string, TFile> FFiles;
  std::vector<std::string> FRequested;
};

std::string Bytes(int64_t ACount, char AFill = 'm') {
  return std::string(static_cast<size_t>(ACount), AFill);
}

// An engine package holding an "s2" executable, as bytes.
std::string EngineZip(const std::string& AScratch) {
  int Error = 0;
  zip_t* Zip = zip_open(AScratch.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &Error);
  static const std::string Exe = "#!/bin/sh\n";
  zip_file_add(Zip, "s2", zip_source_buffer(Zip, Exe.data(), Exe.size(), 0), 0);
  zip_close(Zip);
  std::ifstream In(AScratch, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), {}};
}

void Touch(const std::string& APath, const std::string& ABytes = "x") {
  fs::create_directories(fs::path(APath).parent_path());
  std::ofstream(APath, std::ios::binary) << ABytes;
}

std::string NameOf(const std::string& APath) {
  return APath.substr(APath.rfind('/') + 1);
}

std::vector<std::string> NamesOf(const std::vector<std::string>& APaths) {
  std::vector<std::string> Names;
  for (const std::string& Path : APaths)
    Names.push_back(NameOf(Path));
  return Names;
}

QStringList ItemsOf(const QComboBox* ACombo) {
  QStringList Items;
  for (int i = 0; i < ACombo->count(); ++i)
    Items << ACombo->itemText(i);
  return Items;
}

QString Q(const std::string& AText) {
  return QString::fromStdString(AText);
}

// Hosts, a program folder whose engine packages come from the package host, and a window
// over it with the driver check and the model hosts pointed at the hosts.
// AVulkanDevices is what the GPU probe prints for Vulkan (no probe program when empty).
struct TRig {
  explicit TRig(bool ADriver = false, const TJson& AConfig = TJson::object(),
                const std::string& AVulkanDevices = {})
      : Folder(Merged(AConfig)) {
    const std::string Probe = Folder.Root() + "gpu-probe";
    if (!AVulkanDevices.empty()) {
      Touch(Probe, "#!/bin/sh\n[ \"$1\" = vulkan ] && printf '" + AVulkanDevices + "'\n");
      fs::permissions(Probe, fs::perms::owner_all);
    }
    Form = std::make_unique<TFormUnderTest>(Folder, false, [&](TMainFormOptions& A) {
      A.MirrorModelHost = Mirror.Base();
      A.OfficialModelHost = Official.Base();
      A.CudaDriverCheck = [ADriver] { return ADriver; };
      A.GpuProbePath = Probe;
    });
  }
  TJson Merged(TJson AConfig) {
    AConfig["engine"]["packageBaseUrl"] = Packages.Base() + "/pkg/";
    return AConfig;
  }
  TMainForm& Window() { return *Form->Form; }
  TModelsPage& Page() { return Form->Form->ModelsPage(); }
  TEngineSettingsPanel& Panel() { return *Form->Form->SettingsPage().FEnginePanel; }
  TScriptedDialogs& Dialogs() { return Form->Dialogs; }
  std::string Models() { return Window().Config().ModelsDir(); }
  QString DownloadText() { return Page().FLblDownload->text(); }
  bool WaitForText(const QString& AText) {
    return WaitFor([&] { return DownloadText() == AText; }, Patience);
  }

  TFileHost Mirror;
  TFileHost Official;
  TFileHost Packages;
  TProgramFolder Folder;
  std::unique_ptr<TFormUnderTest> Form;
};

const std::string Tokenizer = "tokenizer.json";
const std::string Recommended = "s2-pro-q6_k.gguf";
const std::string CpuChoice = "s2-pro-q4_k_m.gguf";
const std::string CudaPackage = "Quavox_engine_cuda_1.zip";

}  // namespace

class TModelsPageTest : public QObject {
  Q_OBJECT

 private slots:
  // The model follows the hardware: the default one with a GPU (NVIDIA, or a discrete one
  // that the Vulkan probe finds), the CPU choice without; the CUDA engine only with NVIDIA.
  void QuickDownloadFetchesWhatThisMachineNeeds_data() {
    QTest::addColumn<bool>("Driver");
    QTest::addColumn<QString>("VulkanDevices");
    QTest::addColumn<QString>("Model");
    const QString Discrete =
        "0\\tAMD Radeon RX 6600\\nggml_vulkan: 0 = AMD Radeon RX 6600 | uma: 0";
    const QString Integrated =
        "0\\tIntel(R) UHD Graphics\\nggml_vulkan: 0 = Intel(R) UHD Graphics | uma: 1";
    QTest::newRow("NVIDIA driver") << true << QString() << Q(Recommended);
    QTest::newRow("no GPU at all") << false << QString() << Q(CpuChoice);
    QTest::newRow("discrete Vulkan GPU") << false << Discrete << Q(Recommended);
    QTest::newRow("integrated GPU only") << false << Integrated << Q(CpuChoice);
  }
  void QuickDownloadFetchesWhatThisMachineNeeds() {
    QFETCH(bool, Driver);
    QFETCH(QString, VulkanDevices);
    QFETCH(QString, Model);
    TRig R(Driver, TJson::object(), VulkanDevices.toStdString());
    // The Vulkan probe is asked on the first look at the hardware; its answer decides.
    if (!R.Window().HasGpu())
      QVERIFY(WaitFor([&] { return R.Window().GpuProbe().ProbeDone(cbVulkan); }, Patience));
    R.Mirror.Serve(Tokenizer, Bytes(MiB, 't'));
    R.Mirror.Serve(Model.toStdString(), Bytes(3 * MiB));
    R.Packages.Serve(CudaPackage, EngineZip(R.Folder.Root() + "scratch.zip"));
    const TModelVariant Variant =
        Model == Q(Recommended) ? DefaultModelVariant() : ModelVariants()[0];
    QCOMPARE(Q(Variant.FileName), Model);
    const int64_t Package = EnginePackages().front().SizeBytes;
    const std::string ModelLine =
        ":\n· 模型 " + Variant.FileName + "(" + FormatSize(Variant.SizeBytes) + ")\n";
    const std::string Expected =
        Driver
            ? "一共要下 " + FormatSize(Variant.SizeBytes + Package) + ModelLine +
                  "· CUDA 引擎(NVIDIA 显卡)(538.0 MB)—— 这台机器是 N 卡,下了才能用 GPU 加速\n\n\n"
            : "一共要下 " + FormatSize(Variant.SizeBytes) + ModelLine +
                  "\n(没检测到 N 卡,不下 CUDA —— 你这台走 Vulkan,引擎已经随安装包装好了)\n\n";

    R.Dialogs().ConfirmAnswers = {false};
    R.Window().ServicePage().FBtnQuickModel->click();
    QCOMPARE(R.Dialogs().Confirms.size(), size_t{1});
    QCOMPARE(Q(R.Dialogs().Confirms[0]),
             Q(Expected + "这是一次性的,下完就能出声。断了可以接着下,不用从头来。\n下载源:" +
               R.Mirror.Base()));
    QVERIFY(!R.Window().Downloader().Busy());

    R.Dialogs().ConfirmAnswers = {true};
    R.Window().ServicePage().FBtnQuickModel->click();
    QVERIFY(R.Window().Downloader().Busy());
    QVERIFY(!R.Page().FBtnDownload->isEnabled());
    QVERIFY(R.Page().FBtnCancelDownload->isEnabled());
    QCOMPARE(R.Window().findChild<QTabWidget*>("FPages")->currentIndex(),
             static_cast<int>(TMainForm::piModels));
    QCOMPARE(R.Window().StatusMessage(),
             Driver ? QStringLiteral("正在下载 2 项…") : QStringLiteral("正在下载 1 项…"));
    const QString Last = (Driver ? Q(CudaPackage) : Model) + QStringLiteral(" —— 完成");
    QVERIFY2(R.WaitForText(Last), qPrintable(R.DownloadText()));
    QVERIFY(NamesOf(R.Mirror.Requested()) ==
            (std::vector<std::string>{Tokenizer, Model.toStdString()}));
    QVERIFY(R.Packages.Requested() == (Driver ? std::vector<std::string>{"/pkg/" + CudaPackage}
                                              : std::vector<std::string>{}));
    QCOMPARE(EngineBackendInstalled(R.Window().Config(), "cuda"), Driver);
    QVERIFY(R.Page().FBtnDownload->isEnabled());
    QVERIFY(!R.Page().FBtnCancelDownload->isEnabled());

    // Everything is in place now: a click between two refreshes only warns. The downloader
    // reports the last item done a moment before it stops being busy.
    QVERIFY(WaitFor([&] { return !R.Window().Downloader().Busy(); }, Patience));
    R.Window().ServicePage().FBtnQuickModel->click();
    QCOMPARE(R.Dialogs().Confirms.size(), size_t{2});
    QVERIFY(!R.Dialogs().Warnings.empty());
    QCOMPARE(Q(R.Dialogs().Warnings.back()),
             QStringLiteral("该有的都有了,不用再下。\n想换个模型档位就去「模型」页挑。"));
  }

  void RefreshDisablesTheOneClickButtonOnceAModelIsInstalled() {
    TRig R;
    QPushButton* Quick = R.Window().ServicePage().FBtnQuickModel;
    R.Window().OnTimer();
    QVERIFY(Quick->isEnabled());
    QCOMPARE(Quick->text(), QStringLiteral("一键下载推荐模型(3.57 GB)"));
    Touch(R.Models() + "mine.gguf");
    R.Window().OnTimer();
    QVERIFY(!Quick->isEnabled());
    QCOMPARE(Quick->text(), QStringLiteral("模型已就位"));
    R.Page().OnQuickModelClick();
    QVERIFY(R.Dialogs().Confirms.empty());
    QCOMPARE(Q(R.Dialogs().Warnings.back()),
             QStringLiteral("该有的都有了,不用再下。\n想换个模型档位就去「模型」页挑。"));
  }

  void SourceComboDecidesTheHostOfAPageDownload_data() {
    QTest::addColumn<int>("Source");
    QTest::addColumn<bool>("UseMirror");
    QTest::newRow("official chosen, configuration says mirror") << 1 << true;
    QTest::newRow("mirror chosen, configuration says official") << 0 << false;
  }
  void SourceComboDecidesTheHostOfAPageDownload() {
    QFETCH(int, Source);
    QFETCH(bool, UseMirror);
    TRig R(false, TJson{{"engine", {{"useMirror", UseMirror}}}});
    const std::string Name = ModelVariants()[0].FileName;
    for (TFileHost* Host : {&R.Mirror, &R.Official}) {
      Host->Serve(Tokenizer, Bytes(MiB, 't'));
      Host->Serve(Name, Bytes(2 * MiB));
    }
    const QStringList Sources = ItemsOf(R.Page().FCbSource);
    QCOMPARE(Sources, (QStringList{Q(R.Mirror.Base().substr(7)) + "(国内镜像)",
                                   Q(R.Official.Base().substr(7)) + "(官方)"}));
    QCOMPARE(R.Page().FCbSource->currentIndex(), 0);
    R.Page().FCbVariant->setCurrentIndex(0);
    R.Page().FCbSource->setCurrentIndex(Source);
    TFileHost& Chosen = Source == 1 ? R.Official : R.Mirror;
    TFileHost& Other = Source == 1 ? R.Mirror : R.Official;

    R.Dialogs().ConfirmAnswers = {true};
    R.Page().FBtnDownload->click();
    QCOMPARE(Q(R.Dialogs().Confirms.back()),
             Q("要下载 " + Name + "(3.57 GB)吗?\n下载源:" + Chosen.Base() +
               "\n\n大文件下载期间服务照常可用,下完点\"应用并重启引擎\"才生效。"));
    QVERIFY(R.WaitForText(Q(Name + " —— 完成")));
    QVERIFY(NamesOf(Chosen.Requested()) == (std::vector<std::string>{Tokenizer, Name}));
    QVERIFY(Other.Requested().empty());
    QCOMPARE(Q(Chosen.Requested().back()), Q("/tallyhorn/s2-pro-gguf/resolve/main/" + Name));
  }

  void DownloadReportsProgressOnTheWindowsThread() {
    TRig R;
    const std::string Name = ModelVariants()[1].FileName;
    R.Mirror.Serve(Tokenizer, Bytes(MiB, 't'));
    R.Mirror.Serve(Name, Bytes(6 * MiB));
    R.Page().FCbVariant->setCurrentIndex(1);
    std::vector<QThread*> Threads;
    std::vector<int> Values;
    QObject::connect(R.Page().FBarDownload, &QProgressBar::valueChanged, [&](int AValue) {
      Threads.push_back(QThread::currentThread());
      Values.push_back(AValue);
    });
    R.Dialogs().ConfirmAnswers = {true};
    R.Page().OnDownloadClick();
    QCOMPARE(R.DownloadText(), QStringLiteral("正在连接…"));
    QVERIFY(R.WaitForText(Q(Name + " —— 完成")));
    QVERIFY(Values.size() >= 3);
    for (QThread* Thread : Threads)
      QCOMPARE(Thread, QCoreApplication::instance()->thread());
    QCOMPARE(R.Page().FBarDownload->value(), 1000);
    QVERIFY(R.Page().FBtnDownload->isEnabled());
    QVERIFY(!R.Page().FBtnCancelDownload->isEnabled());
    QCOMPARE(ItemsOf(R.Page().FCbInstalled), (QStringList{"(自动:挑体积最大的)", Q(Name)}));
    QVERIFY(R.Page().ModelStateText().contains(QStringLiteral("\n已装模型  1 个\n")));
    QVERIFY(WaitFor(
        [&] {
          return R.Window().LogPage().FMemoLog->toPlainText().contains(Q(Name + " is ready"));
        },
        Patience));
  }

  void CancelStopsTheDownloadAndKeepsThePart() {
    TRig R;
    const std::string Name = ModelVariants()[0].FileName;
    R.Mirror.Serve(Tokenizer, Bytes(MiB, 't'));
    R.Mirror.Serve(Name, Bytes(64 * MiB), true);
    R.Dialogs().ConfirmAnswers = {true};
    R.Page().OnDownloadClick();
    QVERIFY(WaitFor([&] { return R.DownloadText().startsWith(Q(Name + "  ")); }, Patience));
    R.Page().FBtnCancelDownload->click();
    QCOMPARE(R.DownloadText(), QStringLiteral("正在取消…"));
    QVERIFY(R.WaitForText(Q(Name + " —— 已取消(下了一半的留着,下次接着下)")));
    QVERIFY(R.Page().FBtnDownload->isEnabled());
    QVERIFY(!R.Page().FBtnCancelDownload->isEnabled());
    QVERIFY(fs::file_size(R.Models() + Name + ".part") >= size_t{MiB});
    QVERIFY(!fs::exists(R.Models() + Name));
    // The last line follows a language switch.
    R.Window().OnUiLangChange(ulEn);
    QCOMPARE(R.DownloadText(),
             Q(Name + " — cancelled (the partial file is kept and the next download resumes it)"));
  }

  void FailureShowsItsReasonAndIsLogged() {
    TRig R;
    const std::string Name = ModelVariants()[0].FileName;
    R.Mirror.Serve(Tokenizer, Bytes(MiB, 't'));
    R.Dialogs().ConfirmAnswers = {true};
    R.Page().OnDownloadClick();
    const std::string Reason = "HTTP 404 Not Found(源:" + ModelUrl(R.Mirror.Base(), Name) + ")";
    QVERIFY2(R.WaitForText(Q(Name + " —— 失败:" + Reason)), qPrintable(R.DownloadText()));
    QVERIFY(R.Page().FBtnDownload->isEnabled());
    QVERIFY(!R.Page().FBtnCancelDownload->isEnabled());
    QVERIFY(WaitFor(
        [&] {
          return R.Window().LogPage().FMemoLog->toPlainText().contains(
              Q("[ERROR] models: download failed: " + Reason));
        },
        Patience));
  }

  void ModelStateShowsSixLines() {
    TRig R;
    R.Page().RefreshModelPage();
    const QStringList Lines = R.Page().ModelStateText().split('\n');
    QCOMPARE(Lines.size(), 6);
    QCOMPARE(Lines.mid(0, 5),
             (QStringList{Q("模型目录  " + R.Models()), "已装模型  0 个(还没有,先在上面下一个)",
                          "分词器  缺 tokenizer.json —— 下载模型时会自动补",
                          "推理程序  缺 engine/s2 —— 见该目录里的说明",
                          "计算后端  自动(用通用版,CPU)  ← 这份引擎没带这个后端!"}));
    QVERIFY(Lines[5].startsWith(QStringLiteral("引擎状态  ")));
  }

  // Started with another state folder (--root), the engine runs the voice file shipped beside
  // the program: that is a model in place, which needs no tokenizer and can be unloaded.
  void TheShippedVoiceFileIsAModelInPlace() {
    TProgramFolder Folder;
    if (!fs::exists(QUAVOX_BIN_DIR "/engine/s2"))
      QSKIP("the bundled engine (engine/s2) is not built");
    TFormUnderTest T(Folder, false, [](TMainFormOptions& AOptions) {
      AOptions.Folders.BundledDir = QUAVOX_BIN_DIR "/";
    });
    QVERIFY(WaitFor([&] { return T.Form->Service().Stats().EngineReady; }, 60000));
    T.Form->OnTimer();
    QPushButton* Quick = T.Form->ServicePage().FBtnQuickModel;
    QCOMPARE(Quick->text(), QStringLiteral("模型已就位"));
    QVERIFY(!Quick->isEnabled());
    QVERIFY(T.Form->ServicePage().FBtnUnloadModel->isEnabled());
    const QStringList Lines = T.Form->ModelsPage().ModelStateText().split('\n');
    QCOMPARE(Lines[2], QStringLiteral("分词器  用不着 —— quavox-espeak.gguf 不读分词器"));
    QCOMPARE(Lines[4], QStringLiteral("计算后端  自动(用通用版,CPU)"));
    T.Form->OnUiLangChange(ulEn);
    QCOMPARE(T.Form->ModelsPage().ModelStateText().split('\n')[2],
             QStringLiteral("Tokenizer  not needed — quavox-espeak.gguf reads none"));
  }

  // The bundled server refuses the catalogue's models: while it is the engine they are listed
  // but cannot be chosen and "下载" says why; an s2.cpp build for the backend offers them again.
  void ModelsTheEngineCannotRunAreNotDownloaded() {
    TRig R(false, TJson{{"engine", {{"compute", "cuda"}}}});
    const std::string Name = ModelVariants()[0].FileName;
    R.Mirror.Serve(Tokenizer, Bytes(MiB, 't'));
    R.Mirror.Serve(Name, Bytes(2 * MiB));
    Touch(R.Folder.Root() + "engine/s2");
    R.Page().RefreshModelPage();
    const auto Offered = [&R](const QString& AReason) {
      const QComboBox* Variants = R.Page().FCbVariant;
      for (int i = 0; i < Variants->count(); ++i) {
        const QModelIndex Item = Variants->model()->index(i, 0);
        if (Item.flags().testFlag(Qt::ItemIsEnabled) != AReason.isEmpty() ||
            Item.data(Qt::ToolTipRole).toString() != AReason)
          return false;
      }
      return R.Page().FLblVariantsUnusable->isHidden() == AReason.isEmpty() &&
             R.Page().FBtnDownload->isEnabled() == AReason.isEmpty();
    };
    const QString Chinese = QStringLiteral(
        "随附的引擎(engine/s2)只认它自己的声音文件,跑不了这些模型;要用它们,先装一个 s2.cpp "
        "引擎(CUDA 或 Vulkan 版)。");
    QVERIFY(Offered(Chinese));
    QCOMPARE(R.Page().FLblVariantsUnusable->text(), Chinese);
    R.Page().OnDownloadClick();
    QVERIFY(R.Dialogs().Confirms.empty());
    QVERIFY(!R.Window().Downloader().Busy());

    R.Window().OnUiLangChange(ulEn);
    const QString English = R.Page().FLblVariantsUnusable->text();
    QVERIFY2(English.startsWith(QStringLiteral("The bundled engine (engine/s2) loads only")),
             qPrintable(English));
    QVERIFY(Offered(English));
    R.Window().OnUiLangChange(ulZh);

    Touch(R.Folder.Root() + "engine/cuda/s2");
    R.Window().OnTimer();
    QVERIFY(Offered(QString()));
    R.Dialogs().ConfirmAnswers = {true};
    R.Page().FCbVariant->setCurrentIndex(0);
    R.Page().OnDownloadClick();
    QVERIFY(R.WaitForText(Q(Name + " —— 完成")));
    QVERIFY(R.Mirror.Requested().size() == 2);
  }

  void CudaEngineIsOfferedOnlyWithTheNvidiaDriver_data() {
    QTest::addColumn<bool>("Driver");
    QTest::addColumn<bool>("Installed");
    QTest::addColumn<bool>("Offered");
    QTest::newRow("no driver") << false << false << false;
    QTest::newRow("driver") << true << false << true;
    QTest::newRow("no driver, installed before") << false << true << true;
  }
  void CudaEngineIsOfferedOnlyWithTheNvidiaDriver() {
    QFETCH(bool, Driver);
    QFETCH(bool, Installed);
    QFETCH(bool, Offered);
    TProgramFolder Folder;
    if (Installed) Touch(Folder.Root() + "engine/cuda/s2");
    TFormUnderTest T(Folder, false, [Driver](TMainFormOptions& AOptions) {
      AOptions.CudaDriverCheck = [Driver] { return Driver; };
    });
    QCOMPARE(!T.Form->SettingsPage().FEnginePanel->FBtnDownloadEngine->isHidden(), Offered);
  }

  void ApplyStoresTheChosenModelOrTheAutomaticOne_data() {
    QTest::addColumn<QString>("Chosen");
    QTest::addColumn<QString>("Status");
    QTest::newRow("automatic") << "(自动:挑体积最大的)"
                               << "已改回自动挑模型,引擎重启中…";
    QTest::newRow("a file") << "b.gguf"
                            << "已切换到 b.gguf,引擎重启中…";
  }
  void ApplyStoresTheChosenModelOrTheAutomaticOne() {
    QFETCH(QString, Chosen);
    QFETCH(QString, Status);
    TRig R(false, TJson{{"engine", {{"modelFile", "a.gguf"}}}});
    Touch(R.Models() + "a.gguf");
    Touch(R.Models() + "b.gguf");
    R.Page().RefreshModelPage();
    QCOMPARE(R.Page().FCbInstalled->currentText(), QStringLiteral("a.gguf"));
    R.Page().FCbInstalled->setCurrentText(Chosen);
    R.Page().FCbSource->setCurrentIndex(1);
    R.Page().FBtnApplyModel->click();
    QCOMPARE(R.Window().StatusMessage(), Status);
    TAppConfig Saved(R.Folder.Folders());
    Saved.Load();
    const std::string File = Chosen.startsWith("(") ? "" : Chosen.toStdString();
    QCOMPARE(Q(Saved.Settings().Engine.ModelFile), Q(File));
    QVERIFY(!Saved.Settings().Engine.UseMirror);
    QCOMPARE(R.Page().FCbInstalled->currentText(), Chosen);
  }

  void UnloadAsksFirstAndLoadDoesNot() {
    TProgramFolder Folder;
    if (!Folder.InstallBundledEngine()) QSKIP("the bundled engine (engine/s2) is not built");
    TFormUnderTest T(Folder);
    TTtsService& Service = T.Form->Service();
    QVERIFY(WaitFor([&] { return Service.Stats().EngineReady; }, 60000));
    QPushButton* Button = T.Form->ServicePage().FBtnUnloadModel;
    T.Dialogs.ConfirmAnswers = {false};
    Button->click();
    QCOMPARE(Q(T.Dialogs.Confirms.back()),
             QStringLiteral("卸载模型,把内存还给系统?\n\n服务不停:已经烤进缓存的广播照常秒回。\n"
                            "但缓存里没有的句子会明确报错,直到你手动载入模型。"));
    QVERIFY(!Service.ModelUnloaded());
    QCOMPARE(Button->text(), QStringLiteral("卸载模型"));

    T.Dialogs.ConfirmAnswers = {true};
    Button->click();
    QVERIFY(Service.ModelUnloaded());
    QCOMPARE(Button->text(), QStringLiteral("载入模型"));
    QCOMPARE(T.Form->StatusMessage(), QStringLiteral("模型已卸载,内存已释放"));

    Button->click();
    QCOMPARE(T.Dialogs.Confirms.size(), size_t{2});
    QVERIFY(!Service.ModelUnloaded());
    QCOMPARE(Button->text(), QStringLiteral("卸载模型"));
    QCOMPARE(T.Form->StatusMessage(), QStringLiteral("正在载入模型…"));
  }

  void ComputeComboMarksTheBackendsThisEngineLacks_data() {
    QTest::addColumn<QStringList>("Files");
    QTest::addColumn<QStringList>("Items");
    QTest::newRow("no engine") << QStringList{}
                               << QStringList{"自动(用通用版,CPU)",
                                              "CPU(任何机器都能跑,最慢) —— 这份引擎没带",
                                              "CUDA(NVIDIA 显卡) —— 这份引擎没带",
                                              "Vulkan(A卡/N卡/核显通用) —— 这份引擎没带"};
    const QStringList GenericAndVulkan{"自动(用通用版,CPU)", "CPU(任何机器都能跑,最慢)",
                                       "CUDA(NVIDIA 显卡) —— 这份引擎没带",
                                       "Vulkan(A卡/N卡/核显通用)"};
    QTest::newRow("generic and Vulkan engines downloaded")
        << QStringList{"engine/s2", "engine/vulkan/s2"} << GenericAndVulkan;
    QTest::newRow("generic and Vulkan engines shipped with the program")
        << QStringList{"shipped/engine/s2", "shipped/engine/vulkan/s2"} << GenericAndVulkan;
  }
  void ComputeComboMarksTheBackendsThisEngineLacks() {
    QFETCH(QStringList, Files);
    QFETCH(QStringList, Items);
    TProgramFolder Folder(TJson{{"engine", {{"compute", "vulkan"}}}});
    for (const QString& File : Files)
      Touch(Folder.Root() + File.toStdString());
    TFormUnderTest T(Folder, false, [&Folder](TMainFormOptions& AOptions) {
      AOptions.Folders.BundledDir = Folder.Root() + "shipped/";
    });
    QComboBox* Compute = T.Form->SettingsPage().FEnginePanel->FCbCompute;
    QCOMPARE(ItemsOf(Compute), Items);
    QCOMPARE(Compute->currentIndex(), static_cast<int>(cbVulkan));
  }

  void GpuComboFollowsTheBackendAndTheProbe_data() {
    QTest::addColumn<int>("Backend");
    QTest::addColumn<bool>("Enabled");
    QTest::addColumn<QStringList>("Probed");
    const QStringList Fallback{"0 号显卡", "1 号显卡", "2 号显卡", "3 号显卡"};
    QTest::newRow("cpu") << static_cast<int>(cbCpu) << false << Fallback;
    QTest::newRow("auto") << static_cast<int>(cbAuto) << false << Fallback;
    QTest::newRow("cuda") << static_cast<int>(cbCuda) << true
                          << QStringList{"0 — NVIDIA GeForce RTX 3060"};
    QTest::newRow("vulkan") << static_cast<int>(cbVulkan) << true
                            << QStringList{"没有找到可用的显卡"};
  }
  void GpuComboFollowsTheBackendAndTheProbe() {
    QFETCH(int, Backend);
    QFETCH(bool, Enabled);
    QFETCH(QStringList, Probed);
    TRig R(false, TJson{{"engine", {{"gpuDevice", 0}}}});
    Touch(R.Window().Config().LogsDir() + "s2-engine.log",
          "  Device 0: NVIDIA GeForce RTX 3060, compute capability 8.6\n");
    TDropDownCombo* Gpu = R.Panel().FCbGpuDevice;
    R.Panel().FCbCompute->setCurrentIndex(Backend);
    R.Panel().OnComputeChange();
    QCOMPARE(Gpu->isEnabled(), Enabled);
    // The first fill comes before the probe's answer; the answer refills the list.
    QCOMPARE(ItemsOf(Gpu), (QStringList{"0 号显卡", "1 号显卡", "2 号显卡", "3 号显卡"}));
    QVERIFY2(WaitFor([&] { return ItemsOf(Gpu) == Probed; }, Patience),
             qPrintable(ItemsOf(Gpu).join('|')));
    QCOMPARE(Gpu->currentIndex(), 0);
    TEngineOptions Engine;
    Engine.GpuDevice = 9;
    R.Panel().ControlsToSettings(Engine);
    QCOMPARE(static_cast<int>(Engine.Compute), Backend);
    QCOMPARE(Engine.GpuDevice, 0);
  }

  void GpuComboSelectsTheConfiguredDevice() {
    TProgramFolder Folder(TJson{{"engine", {{"compute", "cpu"}, {"gpuDevice", 2}}}});
    TFormUnderTest T(Folder);
    TDropDownCombo* Gpu = T.Form->SettingsPage().FEnginePanel->FCbGpuDevice;
    QCOMPARE(Gpu->currentText(), QStringLiteral("2 号显卡"));
    QVERIFY(!Gpu->isEnabled());
  }

  void AProbeAnsweringAfterTheWindowIsGoneChangesNothing() {
    auto R = std::make_unique<TRig>();
    R->Panel().FCbCompute->setCurrentIndex(cbCuda);
    R->Panel().OnComputeChange();
    R.reset();
    QVERIFY(!MainFormAlive());
    QTest::qWait(50);
  }

  void EnginePackageButtonDownloadsAndUnpacksThePackage() {
    TRig R(true);
    R.Packages.Serve(CudaPackage, EngineZip(R.Folder.Root() + "scratch.zip"));
    QPushButton* Button = R.Panel().FBtnDownloadEngine;
    QVERIFY(!Button->isHidden());
    QCOMPARE(Button->text(), QStringLiteral("下载 CUDA 引擎(538.0 MB)"));
    R.Dialogs().ConfirmAnswers = {true};
    Button->click();
    QCOMPARE(Q(R.Dialogs().Confirms.back()),
             QStringLiteral("要下载 CUDA 引擎(NVIDIA 显卡) 吗?约 538.0 MB。\n\n"
                            "下完会自动解压到 engine/cuda/,然后在「计算后端」里就能选它了。"));
    QVERIFY(!Button->isEnabled());
    QVERIFY(!R.Page().FBtnDownload->isEnabled());
    QCOMPARE(R.Window().findChild<QTabWidget*>("FPages")->currentIndex(),
             static_cast<int>(TMainForm::piModels));
    QVERIFY(R.WaitForText(Q(CudaPackage + " —— 完成")));
    QVERIFY(R.Packages.Requested() == std::vector<std::string>{"/pkg/" + CudaPackage});
    QVERIFY(fs::exists(R.Window().Config().EngineDir() + "cuda/s2"));
    QVERIFY(Button->isEnabled());
    QCOMPARE(Button->text(), QStringLiteral("重新下载 CUDA 引擎(538.0 MB)"));
    QCOMPARE(R.Panel().FCbCompute->itemText(cbCuda), QStringLiteral("CUDA(NVIDIA 显卡)"));

    Button->click();
    QCOMPARE(R.Dialogs().Confirms.size(), size_t{1});
    QCOMPARE(Q(R.Dialogs().Infos.back()),
             QStringLiteral("CUDA 引擎已经装好了。在上面的「计算后端」里选它即可。"));
  }

  void EngineButtonsRestartAndOpenTheLogAndTheModelsFolder() {
    TRig R;
    TEngineSettingsPanel& Panel = R.Panel();
    Panel.FBtnEngineLog->click();
    QCOMPARE(Q(R.Dialogs().Warnings.back()),
             QStringLiteral("还没有引擎日志 —— 说明推理进程一次都没起来过。\n"
                            "先确认 engine/s2 和 models/*.gguf 都在。"));
    QVERIFY(R.Dialogs().Opened.empty());
    const std::string Log = R.Window().Config().LogsDir() + "s2-engine.log";
    Touch(Log, "started\n");
    Panel.FBtnEngineLog->click();
    QVERIFY(R.Dialogs().Opened == std::vector<std::string>{Log});

    for (QPushButton* Button : {Panel.FBtnModelsDir, R.Page().FBtnOpenModelsDir}) {
      fs::remove_all(R.Models());
      Button->click();
      QCOMPARE(Q(R.Dialogs().Opened.back()), Q(R.Models()));
      QVERIFY(fs::is_directory(R.Models()));
    }

    Panel.FBtnRestartEngine->click();
    QCOMPARE(R.Window().StatusMessage(), QStringLiteral("引擎正在重启…"));
  }
};

QTEST_MAIN(TModelsPageTest)
#include "ModelsPageTest.moc"
