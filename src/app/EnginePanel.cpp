#include "app/EnginePanel.h"
#include "app/Controls.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <filesystem>

#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "app/ModelsPage.h"
#include "app/UiText.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Text.h"
#include "engine/EngineS2Local.h"
#include "engine/Gpu.h"
#include "engine/Models.h"
#include "service/Service.h"

namespace quavox {

namespace {

constexpr TComputeBackend ComputeOrder[] = {cbAuto, cbCpu, cbCuda, cbVulkan};
constexpr int MaxGpuDevice = 15;
// Offered while the probe has not answered (or for backends without a GPU).
constexpr int FallbackGpuCount = 4;

}  // namespace

void TDropDownCombo::showPopup() {
  emit DropDown();
  QComboBox::showPopup();
}

TEngineSettingsPanel::TEngineSettingsPanel(TMainForm& AForm, QWidget* AParent)
    : QWidget(AParent), FForm(AForm) {
  setObjectName(QStringLiteral("FPnlEngine"));
  FCbCompute = new QComboBox(this);
  FCbCompute->setObjectName(QStringLiteral("FCbCompute"));
  FBtnDownloadEngine = NewButton(this, "FBtnDownloadEngine", "");
  FCbGpuDevice = new TDropDownCombo(this);
  FCbGpuDevice->setObjectName(QStringLiteral("FCbGpuDevice"));
  FCbGpuDevice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  FCbGpuDevice->setMinimumContentsLength(24);
  FPnlEngineButtons = CreateEngineButtons();
  connect(FCbCompute, &QComboBox::activated, this, &TEngineSettingsPanel::OnComputeChange);
  connect(FBtnDownloadEngine, &QPushButton::clicked, this,
          &TEngineSettingsPanel::OnDownloadEngineClick);
  connect(FCbGpuDevice, &TDropDownCombo::DropDown, this,
          &TEngineSettingsPanel::OnGpuDeviceDropDown);

  auto* Layout = new QGridLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(NewLabel(this, "FLblCompute", "计算后端"), 0, 0);
  Layout->addWidget(FCbCompute, 0, 1);
  Layout->addWidget(FBtnDownloadEngine, 0, 2);
  Layout->addWidget(NewLabel(this, "FLblGpuDevice", "显卡"), 1, 0);
  Layout->addWidget(FCbGpuDevice, 1, 1);
  Layout->addWidget(FPnlEngineButtons, 2, 0, 1, 4);
  Layout->setColumnStretch(3, 1);
  SettingsToControls(AForm.Config().Settings());
}

QWidget* TEngineSettingsPanel::CreateEngineButtons() {
  auto* Row = new QWidget(this);
  Row->setObjectName(QStringLiteral("FPnlEngineButtons"));
  FBtnRestartEngine = NewButton(Row, "FBtnRestartEngine", "重启引擎");
  FBtnEngineLog = NewButton(Row, "FBtnEngineLog", "引擎日志");
  FBtnModelsDir = NewButton(Row, "FBtnModelsDir", "模型目录");
  connect(FBtnRestartEngine, &QPushButton::clicked, this,
          &TEngineSettingsPanel::OnRestartEngineClick);
  connect(FBtnEngineLog, &QPushButton::clicked, this, &TEngineSettingsPanel::OnOpenEngineLogClick);
  connect(FBtnModelsDir, &QPushButton::clicked, this, &TEngineSettingsPanel::OnOpenModelsDirClick);
  auto* Layout = new QHBoxLayout(Row);
  Layout->setContentsMargins(0, 0, 0, 0);
  for (QPushButton* Button : {FBtnRestartEngine, FBtnEngineLog, FBtnModelsDir})
    Layout->addWidget(Button);
  Layout->addStretch(1);
  return Row;
}

void TEngineSettingsPanel::SettingsToControls(const TConfigSettings& ASettings) {
  FillComputeCombo();
  FCbCompute->setCurrentIndex(static_cast<int>(ASettings.Engine.Compute));
  FillGpuCombo();
}

void TEngineSettingsPanel::ControlsToSettings(TEngineOptions& AEngine) const {
  AEngine.Compute = ChosenBackend();
  if (FCbGpuDevice->currentIndex() >= 0)
    AEngine.GpuDevice = std::clamp(FCbGpuDevice->currentData().toInt(), 0, MaxGpuDevice);
}

TComputeBackend TEngineSettingsPanel::ChosenBackend() const {
  const int Index = std::clamp(FCbCompute->currentIndex(), 0, static_cast<int>(cbVulkan));
  return static_cast<TComputeBackend>(Index);
}

void TEngineSettingsPanel::FillComputeCombo() {
  RefreshEngineButton();
  const int Index = FCbCompute->currentIndex();
  FCbCompute->clear();
  for (const TComputeBackend Backend : ComputeOrder) {
    std::string Text = ComputeDisplay(Backend);
    if (Backend != cbAuto && !EngineBackendAvailable(FForm.Config(), Backend))
      Text += Translate(" —— 这份引擎没带");
    FCbCompute->addItem(QStr(Text));
  }
  FCbCompute->setCurrentIndex(std::max(Index, 0));
}

void TEngineSettingsPanel::RefreshEngineButton() {
  const std::optional<TModelVariant> Package = FirstEnginePackage(FForm.Config());
  const bool Installed = Package && EngineBackendInstalled(FForm.Config(), Package->Backend);
  // The CUDA engine is of use only where the NVIDIA driver is (or was, when it got installed).
  FBtnDownloadEngine->setVisible(Package && (Installed || FForm.HasCudaDriver()));
  if (!Package) return;
  FBtnDownloadEngine->setText(
      QStr(Format(Installed ? Translate("重新下载 %s 引擎(%s)") : Translate("下载 %s 引擎(%s)"),
                  UpperAscii(Package->Backend), FormatSize(Package->SizeBytes))));
  // Disabled while its own download runs; every download's end refreshes it.
  FBtnDownloadEngine->setEnabled(!FForm.Downloader().Busy());
}

void TEngineSettingsPanel::FillGpuCombo() {
  const TComputeBackend Backend = ChosenBackend();
  const bool HasGpu = Backend == cbCuda || Backend == cbVulkan;
  FCbGpuDevice->setEnabled(HasGpu);
  TGpuProbe& Probe = FForm.GpuProbe();
  const bool Probed = Probe.ProbeDone(Backend);
  const std::vector<TGpuDevice> Devices = Probe.ProbedDevices(Backend);
  if (!Probed) {
    Probe.RequestProbe(Backend, [this] {
      if (MainFormAlive()) FillGpuCombo();
    });
  }
  FCbGpuDevice->clear();
  if (!Devices.empty()) {
    for (const TGpuDevice& Device : Devices)
      FCbGpuDevice->addItem(QStr(Device.Display()), Device.Index);
  } else if (Probed && HasGpu) {
    FCbGpuDevice->addItem(Tr("没有找到可用的显卡"), 0);
  } else {
    for (int i = 0; i < FallbackGpuCount; ++i)
      FCbGpuDevice->addItem(QStr(Format(Translate("%d 号显卡"), i)), i);
  }
  const int Wanted = FForm.Config().Settings().Engine.GpuDevice;
  FCbGpuDevice->setCurrentIndex(std::max(FCbGpuDevice->findData(Wanted), 0));
}

void TEngineSettingsPanel::OnComputeChange() {
  FillGpuCombo();
  RefreshEngineButton();
}

void TEngineSettingsPanel::OnGpuDeviceDropDown() {
  FillGpuCombo();
}

void TEngineSettingsPanel::OnDownloadEngineClick() {
  const std::optional<TModelVariant> Package = FirstEnginePackage(FForm.Config());
  if (!Package) return;
  const std::string Backend = UpperAscii(Package->Backend);
  if (EngineBackendInstalled(FForm.Config(), Package->Backend)) {
    FForm.Dialogs().Plain(
        &FForm, Format(Translate("%s 引擎已经装好了。在上面的「计算后端」里选它即可。"), Backend));
    return;
  }
  if (FForm.Downloader().Busy()) {
    FForm.ShowPage(TMainForm::piModels);
    return;
  }
  const std::string Question =
      Format(Translate("要下载 %s 吗?约 %s。") + "\n\n" +
                 Translate("下完会自动解压到 engine/%s/,然后在「计算后端」里就能选它了。"),
             Package->Display, FormatSize(Package->SizeBytes), Package->Backend);
  if (!FForm.Dialogs().Confirm(&FForm, Question)) return;
  FBtnDownloadEngine->setEnabled(false);
  FForm.ModelsPage().ShowDownloadStarting();
  FForm.Downloader().Start(*Package, std::string(), false);
  FForm.ShowPage(TMainForm::piModels);
}

void TEngineSettingsPanel::OnRestartEngineClick() {
  FForm.Service().RestartEngine();
  FForm.RefreshServicePage();
  FForm.ShowStatus(Translate("引擎正在重启…"));
}

void TEngineSettingsPanel::OnOpenEngineLogClick() {
  const std::string Log = FForm.Config().LogsDir() + "s2-engine.log";
  std::error_code Ec;
  if (!std::filesystem::exists(Log, Ec)) {
    FForm.Warn(Translate("还没有引擎日志 —— 说明推理进程一次都没起来过。") + "\n" +
               Translate("先确认 engine/s2 和 models/*.gguf 都在。"));
    return;
  }
  FForm.Dialogs().OpenLocation(Log);
}

void TEngineSettingsPanel::OnOpenModelsDirClick() {
  FForm.ModelsPage().OnOpenModelsDirClick();
}

}  // namespace quavox
