#include "app/ModelsPage.h"
#include "app/Controls.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app/Dialogs.h"
#include "app/EnginePanel.h"
#include "app/MainForm.h"
#include "app/ServicePage.h"
#include "app/SettingsPage.h"
#include "app/UiFonts.h"
#include "app/UiText.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "engine/EngineS2Local.h"
#include "platform/Files.h"
#include "service/Service.h"

namespace quavox {

namespace {

QLabel* NewHeading(QWidget* AParent, const char* AName, const char* ACaption) {
  QLabel* Label = NewLabel(AParent, AName, ACaption);
  QFont Bold = Label->font();
  Bold.setBold(true);
  Label->setFont(Bold);
  return Label;
}

// Wide enough for the model file names.
QComboBox* NewWideCombo(QWidget* AParent, const char* AName) {
  auto* Combo = new QComboBox(AParent);
  Combo->setObjectName(QLatin1String(AName));
  Combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  Combo->setMinimumContentsLength(24);
  return Combo;
}

// Holds a label whose text changes with every progress report. The holder has no layout,
// so a new text repaints the label alone instead of asking the whole window for a new
// layout and a repaint of every page.
class TSteadyLabelHolder final : public QWidget {
 public:
  TSteadyLabelHolder(QLabel* ALabel, QWidget* AParent) : QWidget(AParent), FLabel(ALabel) {
    ALabel->setParent(this);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  }
  QSize sizeHint() const override { return {0, FLabel->sizeHint().height()}; }
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void resizeEvent(QResizeEvent*) override { FLabel->setGeometry(rect()); }

 private:
  QLabel* FLabel;
};

constexpr const char* VariantsUnusableText =
    "随附的引擎(engine/s2)只认它自己的声音文件,跑不了这些模型;"
    "要用它们,先装一个 s2.cpp 引擎(CUDA 或 Vulkan 版)。";

bool BatchEnded(TDownloadStage AStage) {
  return AStage == dsDone || AStage == dsFailed || AStage == dsCancelled;
}

// "hf-mirror.com" of "https://hf-mirror.com": the host as the source combo names it.
QString HostName(const std::string& ABaseUrl) {
  const QString Authority = QUrl(QStr(ABaseUrl)).authority();
  return Authority.isEmpty() ? QStr(ABaseUrl) : Authority;
}

}  // namespace

std::optional<TModelVariant> FirstEnginePackage(const TAppConfig& AConfig) {
  const std::vector<TModelVariant> Packages = EnginePackages();
  if (Packages.empty()) return std::nullopt;
  TModelVariant Package = Packages.front();
  const std::string Base = Trim(AConfig.Settings().Engine.PackageBaseUrl);
  if (!Base.empty()) Package.Url = EnginePackageUrl(Package.FileName, Base);
  return Package;
}

bool EngineBackendAvailable(const TAppConfig& AConfig, TComputeBackend ABackend) {
  return TS2LocalEngine::BackendAvailable(AConfig.ExeDir(), ABackend) ||
         TS2LocalEngine::BackendAvailable(AConfig.BundledDir(), ABackend);
}

TModelsPage::TModelsPage(TMainForm& AForm) : QWidget(&AForm), FForm(AForm) {
  setObjectName(QStringLiteral("FTabModels"));
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(CreateDownloadGroup());
  Layout->addSpacing(10);
  Layout->addWidget(CreateChoiceGroup());
  Layout->addWidget(CreateModelState());
  Layout->addStretch(1);

  // The service page's model buttons act here.
  TServicePage& Service = AForm.ServicePage();
  connect(Service.FBtnQuickModel, &QPushButton::clicked, this, &TModelsPage::OnQuickModelClick);
  connect(Service.FBtnUnloadModel, &QPushButton::clicked, this, &TModelsPage::OnUnloadModelClick);
}

QWidget* TModelsPage::CreateDownloadGroup() {
  auto* Group = new QWidget(this);
  Group->setObjectName(QStringLiteral("FPnlDownload"));
  auto* Heading = NewHeading(Group, "FLblDownloadHeading", "— 下载模型 —");
  auto* Hint1 = NewLabel(Group, "FLblDownloadHint1",
                         "每个 gguf 里 transformer 和 codec 都有,不用另配 vocoder;"
                         "分词器(12 MB)会自动一起下。");
  auto* Hint2 = NewLabel(Group, "FLblDownloadHint2",
                         "下到一半可以取消,残件留在 models/ 下,下次点下载会接着下。");
  for (QLabel* Hint : {Hint1, Hint2})
    Hint->setWordWrap(true);
  FCbVariant = NewWideCombo(Group, "FCbVariant");
  // The variant texts are laid out in columns.
  FCbVariant->setFont(FixedUiFont());
  FCbVariant->setMinimumContentsLength(44);
  FLblVariantsUnusable = NewHintLabel(Group, "FLblVariantsUnusable", VariantsUnusableText);
  FLblVariantsUnusable->hide();
  FCbSource = NewWideCombo(Group, "FCbSource");
  FBtnDownload = NewButton(Group, "FBtnDownload", "下载");
  FBtnCancelDownload = NewButton(Group, "FBtnCancelDownload", "取消");
  FBtnCancelDownload->setEnabled(false);
  FBtnOpenModelsDir = NewButton(Group, "FBtnOpenModelsDir", "打开模型目录");
  FBarDownload = new QProgressBar(Group);
  FBarDownload->setObjectName(QStringLiteral("FBarDownload"));
  FBarDownload->setRange(0, 1000);
  FBarDownload->setValue(0);
  FBarDownload->setTextVisible(false);
  FLblDownload = NewLabel(Group, "FLblDownload", "空闲");
  connect(FBtnDownload, &QPushButton::clicked, this, &TModelsPage::OnDownloadClick);
  connect(FBtnCancelDownload, &QPushButton::clicked, this, &TModelsPage::OnCancelDownloadClick);
  connect(FBtnOpenModelsDir, &QPushButton::clicked, this, &TModelsPage::OnOpenModelsDirClick);

  auto* Choices = new QGridLayout;
  Choices->addWidget(NewLabel(Group, "FLblVariant", "量化档"), 0, 0);
  Choices->addWidget(FCbVariant, 0, 1);
  Choices->addWidget(NewLabel(Group, "FLblSource", "下载源"), 1, 0);
  Choices->addWidget(FCbSource, 1, 1);
  Choices->setColumnStretch(2, 1);
  auto* Buttons = new QHBoxLayout;
  for (QPushButton* Button : {FBtnDownload, FBtnCancelDownload, FBtnOpenModelsDir})
    Buttons->addWidget(Button);
  Buttons->addStretch(1);
  auto* Layout = new QVBoxLayout(Group);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(Heading);
  Layout->addWidget(Hint1);
  Layout->addWidget(Hint2);
  Layout->addLayout(Choices);
  Layout->addWidget(FLblVariantsUnusable);
  Layout->addLayout(Buttons);
  Layout->addWidget(FBarDownload);
  Layout->addWidget(new TSteadyLabelHolder(FLblDownload, Group));
  return Group;
}

QWidget* TModelsPage::CreateChoiceGroup() {
  auto* Group = new QWidget(this);
  Group->setObjectName(QStringLiteral("FPnlInstalled"));
  auto* Heading = NewHeading(Group, "FLblInstalledHeading", "— 使用哪个模型 —");
  FCbInstalled = NewWideCombo(Group, "FCbInstalled");
  FBtnApplyModel = NewButton(Group, "FBtnApplyModel", "应用并重启引擎");
  connect(FBtnApplyModel, &QPushButton::clicked, this, &TModelsPage::OnApplyModelClick);
  auto* Row = new QHBoxLayout;
  Row->addWidget(NewLabel(Group, "FLblInstalled", "已装模型"));
  Row->addWidget(FCbInstalled);
  Row->addWidget(FBtnApplyModel);
  Row->addStretch(1);
  auto* Layout = new QVBoxLayout(Group);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(Heading);
  Layout->addLayout(Row);
  return Group;
}

QWidget* TModelsPage::CreateModelState() {
  FPnlModelState = new QWidget(this);
  FPnlModelState->setObjectName(QStringLiteral("FPnlModelState"));
  static const char* const Captions[ModelStateRows][2] = {
      {"FLblStateModelsDir", "模型目录"}, {"FLblStateInstalled", "已装模型"},
      {"FLblStateTokenizer", "分词器"},   {"FLblStateEngineExe", "推理程序"},
      {"FLblStateCompute", "计算后端"},   {"FLblStateEngine", "引擎状态"}};
  auto* Grid = new QGridLayout(FPnlModelState);
  Grid->setContentsMargins(0, 0, 0, 0);
  Grid->setVerticalSpacing(2);
  for (std::size_t i = 0; i < ModelStateRows; ++i) {
    const int Row = static_cast<int>(i);
    QLabel* Caption = NewLabel(FPnlModelState, Captions[i][0], Captions[i][1]);
    auto* Value = new QLabel(FPnlModelState);
    Value->setObjectName(QStringLiteral("FLblModelState%1").arg(Row + 1));
    Value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Value->setWordWrap(true);
    FLblModelStateCaptions[i] = Caption;
    FLblModelState[i] = Value;
    Grid->addWidget(Caption, Row, 0, Qt::AlignTop);
    Grid->addWidget(Value, Row, 1, Qt::AlignTop);
  }
  Grid->setColumnStretch(1, 1);
  return FPnlModelState;
}

void TModelsPage::FillCombos() {
  const int Variant = FCbVariant->currentIndex();
  FCbVariant->clear();
  for (const TModelVariant& v : ModelVariants())
    FCbVariant->addItem(QStr(v.Display));
  FCbVariant->setCurrentIndex(std::clamp(Variant, 0, FCbVariant->count() - 1));
  FVariantsRunnable.reset();
  ShowVariantsRunnable();

  const int Source = FCbSource->currentIndex() >= 1 ? 1 : 0;
  FCbSource->clear();
  FCbSource->addItem(HostName(FForm.ModelHost(true)) + Tr("(国内镜像)"));
  FCbSource->addItem(HostName(FForm.ModelHost(false)) + Tr("(官方)"));
  FCbSource->setCurrentIndex(Source);
}

std::string TModelsPage::ChosenHost() const {
  return FForm.ModelHost(FCbSource->currentIndex() != 1);
}

void TModelsPage::ShowDownloadStarting() {
  FBtnDownload->setEnabled(false);
  FBtnCancelDownload->setEnabled(true);
  FBarDownload->setValue(0);
  ShowDownloadLine(TLiveText::Of("正在连接…"));
}

void TModelsPage::ShowDownloadLine(TLiveText ALine) {
  FDownloadLine = std::move(ALine);
  FLblDownload->setText(QStr(FDownloadLine.Text()));
}

TQuickDownloadPlan TModelsPage::QuickDownloadPlan() const {
  const TAppConfig& Config = FForm.Config();
  const bool Driver = FForm.HasCudaDriver();
  const bool NeedModel = !FForm.HasModel();
  const std::optional<TModelVariant> Package = FirstEnginePackage(Config);
  const bool NeedEngine = Driver && Package && !EngineBackendInstalled(Config, Package->Backend);
  TQuickDownloadPlan Plan;
  Plan.WithTokenizer = NeedModel;
  std::string Lines;
  if (NeedModel) {
    const TModelVariant Model = FForm.RecommendedModel();
    Plan.Items.push_back(Model);
    Plan.TotalBytes += Model.SizeBytes;
    Lines += "\n" + Format(Translate("· 模型 %s(%s)"), Model.FileName, FormatSize(Model.SizeBytes));
  }
  if (NeedEngine) {
    Plan.Items.push_back(*Package);
    Plan.TotalBytes += Package->SizeBytes;
    Lines += "\n" + Format(Translate("· %s(%s)—— 这台机器是 N 卡,下了才能用 GPU 加速"),
                           Package->Display, FormatSize(Package->SizeBytes));
  }
  const std::string Note =
      Driver
          ? std::string()
          : "\n" + Translate("(没检测到 N 卡,不下 CUDA —— 你这台走 Vulkan,引擎已经随安装包装好了)");
  Plan.Host = FForm.ModelHost(Config.Settings().Engine.UseMirror);
  Plan.Confirmation = Format(Translate("一共要下 %s:"), FormatSize(Plan.TotalBytes)) + Lines +
                      "\n" + Note + "\n\n" +
                      Translate("这是一次性的,下完就能出声。断了可以接着下,不用从头来。") + "\n" +
                      Format(Translate("下载源:%s"), Plan.Host);
  return Plan;
}

void TModelsPage::OnQuickModelClick() {
  if (FForm.Downloader().Busy()) {
    FForm.ShowPage(TMainForm::piModels);
    return;
  }
  const TQuickDownloadPlan Plan = QuickDownloadPlan();
  if (Plan.Items.empty()) {
    FForm.Warn(Translate("该有的都有了,不用再下。") + "\n" +
               Translate("想换个模型档位就去「模型」页挑。"));
    return;
  }
  if (!FForm.Dialogs().Confirm(&FForm, Plan.Confirmation)) return;
  ShowDownloadStarting();
  FForm.Downloader().StartBatch(Plan.Items, Plan.Host, Plan.WithTokenizer);
  FForm.ShowPage(TMainForm::piModels);
  FForm.ShowStatus(Format(Translate("正在下载 %d 项…"), Plan.Items.size()));
}

void TModelsPage::OnDownloadClick() {
  if (FForm.Downloader().Busy() || FVariantsRunnable == false) return;
  const std::vector<TModelVariant> Variants = ModelVariants();
  const int Index = FCbVariant->currentIndex();
  if (Index < 0 || Index >= static_cast<int>(Variants.size())) return;
  const TModelVariant& Variant = Variants[static_cast<size_t>(Index)];
  const std::string Host = ChosenHost();
  const std::string Question =
      Format(Translate("要下载 %s(%s)吗?") + "\n" + Translate("下载源:%s") + "\n\n" +
                 Translate("大文件下载期间服务照常可用,下完点\"应用并重启引擎\"才生效。"),
             Variant.FileName, FormatSize(Variant.SizeBytes), Host);
  if (!FForm.Dialogs().Confirm(&FForm, Question)) return;
  ShowDownloadStarting();
  FForm.Downloader().Start(Variant, Host, true);
}

void TModelsPage::OnCancelDownloadClick() {
  FForm.Downloader().Cancel();
  ShowDownloadLine(TLiveText::Of("正在取消…"));
}

void TModelsPage::OnDownloadProgress(const TDownloadProgress& AProgress) {
  ShowDownloadLine(TLiveText([AProgress] { return AProgress.Describe(); }));
  FBarDownload->setValue(static_cast<int>(std::lround(AProgress.Percent() * 10)));
  if (BatchEnded(AProgress.Stage)) AfterDownloadEnded(AProgress);
}

void TModelsPage::AfterDownloadEnded(const TDownloadProgress& AProgress) {
  FBtnCancelDownload->setEnabled(FForm.Downloader().Busy());
  // Enables "下载" again where the engine runs the models.
  RefreshModelPage();
  // A finished engine package changes which backends the engine offers.
  FForm.SettingsPage().FEnginePanel->FillComputeCombo();
  if (AProgress.Stage == dsFailed)
    TAppLog::Error("models", "download failed: %s", AProgress.Error);
  else if (AProgress.Stage == dsDone)
    TAppLog::Info("models", "%s is ready", AProgress.FileName);
}

void TModelsPage::OnApplyModelClick() {
  TAppConfig& Config = FForm.Config();
  TConfigSettings Settings = Config.Settings();
  Settings.Engine.ModelFile =
      FCbInstalled->currentIndex() > 0 ? StdStr(FCbInstalled->currentText()) : std::string();
  Settings.Engine.UseMirror = FCbSource->currentIndex() != 1;
  Config.SetSettings(Settings);
  Config.Save();
  FForm.Service().ApplyConfig();
  RefreshModelPage();
  FForm.RefreshServicePage();
  const std::string& File = Settings.Engine.ModelFile;
  FForm.ShowStatus(File.empty() ? Translate("已改回自动挑模型,引擎重启中…")
                                : Translate("已切换到 ") + File + Translate(",引擎重启中…"));
}

void TModelsPage::OnUnloadModelClick() {
  TTtsService& Service = FForm.Service();
  if (Service.ModelUnloaded()) {
    Service.LoadModel();
    FForm.ShowStatus(Translate("正在载入模型…"));
  } else {
    const std::string Question = Translate("卸载模型,把内存还给系统?") + "\n\n" +
                                 Translate("服务不停:已经烤进缓存的广播照常秒回。") + "\n" +
                                 Translate("但缓存里没有的句子会明确报错,直到你手动载入模型。");
    if (!FForm.Dialogs().Confirm(&FForm, Question)) return;
    Service.UnloadModel();
    FForm.ShowStatus(Translate("模型已卸载,内存已释放"));
  }
  RefreshModelPage();
  FForm.RefreshServicePage();
}

void TModelsPage::OnOpenModelsDirClick() {
  const std::string Folder = FForm.Config().ModelsDir();
  ForceDirectories(Folder);
  FForm.Dialogs().OpenLocation(Folder);
}

void TModelsPage::RefreshModelPage() {
  const QString Remembered = FCbInstalled->currentText();
  FCbInstalled->clear();
  FCbInstalled->addItem(Tr("(自动:挑体积最大的)"));
  for (const std::string& Name : InstalledModels(FForm.Config()))
    FCbInstalled->addItem(QStr(Name));
  const std::string ModelFile = FForm.Config().Settings().Engine.ModelFile;
  const QString Wanted = ModelFile.empty() ? Remembered : QStr(ModelFile);
  FCbInstalled->setCurrentIndex(std::max(Wanted.isEmpty() ? 0 : FCbInstalled->findText(Wanted), 0));
  RefreshModelState();
  // Before any download the line is the designed one, which the language walk translates.
  if (const std::string Line = FDownloadLine.Text(); !Line.empty())
    FLblDownload->setText(QStr(Line));
}

void TModelsPage::RefreshModelState() {
  const std::array<std::string, ModelStateRows> Values = ModelStateValues();
  for (std::size_t i = 0; i < ModelStateRows; ++i) {
    const QString Text = QStr(Values[i]);
    if (FLblModelState[i]->text() != Text) FLblModelState[i]->setText(Text);
  }
  ShowVariantsRunnable();
}

// Without an engine there is nothing to refuse the models yet, so they stay on offer.
void TModelsPage::ShowVariantsRunnable() {
  const std::string Exe = FForm.Service().EngineHealth().ExePath;
  const bool Runnable = Exe.empty() || TS2LocalEngine::RunsCatalogueModels(Exe);
  FBtnDownload->setEnabled(Runnable && !FForm.Downloader().Busy());
  if (FVariantsRunnable == Runnable) return;
  FVariantsRunnable = Runnable;
  const QString Reason = Runnable ? QString() : Tr(VariantsUnusableText);
  auto* Items = qobject_cast<QStandardItemModel*>(FCbVariant->model());
  for (int i = 0; i < Items->rowCount(); ++i) {
    Items->item(i)->setEnabled(Runnable);
    Items->item(i)->setToolTip(Reason);
  }
  FLblVariantsUnusable->setVisible(!Runnable);
}

QString TModelsPage::ModelStateText() const {
  QStringList Lines;
  for (std::size_t i = 0; i < ModelStateRows; ++i)
    Lines << FLblModelStateCaptions[i]->text() + QStringLiteral("  ") + FLblModelState[i]->text();
  return Lines.join('\n');
}

std::array<std::string, TModelsPage::ModelStateRows> TModelsPage::ModelStateValues() {
  const TAppConfig& Config = FForm.Config();
  const TEngineHealth Health = FForm.Service().EngineHealth();
  const size_t Installed = InstalledModels(Config).size();
  const TComputeBackend Compute = Config.Settings().Engine.Compute;
  // The tokenizer belongs to the model the engine runs; the bundled voice file reads none.
  const bool NoTokenizerNeeded =
      !Health.ModelPath.empty() && !ModelNeedsTokenizer(Health.ModelPath);
  return {
      Config.ModelsDir(),
      Format(Translate("%d 个%s"), Installed,
             Installed == 0 ? Translate("(还没有,先在上面下一个)") : std::string()),
      NoTokenizerNeeded            ? Format(Translate("用不着 —— %s 不读分词器"),
                                            std::filesystem::path(Health.ModelPath).filename().string())
      : TokenizerInstalled(Config) ? Translate("已就位")
                                   : Translate("缺 tokenizer.json —— 下载模型时会自动补"),
      !Health.ExePath.empty() ? Health.ExePath : Translate("缺 engine/s2 —— 见该目录里的说明"),
      ComputeDisplay(Compute) + (EngineBackendAvailable(Config, Compute)
                                     ? std::string()
                                     : Translate("  ← 这份引擎没带这个后端!")),
      Health.Detail,
  };
}

}  // namespace quavox
