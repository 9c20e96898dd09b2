#include "app/ServicePage.h"
#include "app/Controls.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/MainForm.h"
#include "app/UiFonts.h"
#include "app/UiText.h"
#include "core/Format.h"
#include "core/I18n.h"

namespace quavox {

namespace {

// Lines of the usage text after the address lines; T marks the translated ones, and "%s"
// in the others is the endpoint.
struct TUsageLine {
  const char* Text;
  bool Translated;
};

constexpr TUsageLine UsageBody[] = {
    {"", false},
    {"# 合成一句话,直接拿到 WAV 内存流", true},
    {R"(curl -X POST %s/v1/tts \)", false},
    {R"(  -H "Content-Type: application/json" \)", false},
    {R"(  -d "{\"text\":\"Cleared for takeoff\",\"language\":\"en\",\"gender\":\"male\",\"speed\":1.0}" \)",
     false},
    {"  --output out.wav", false},
    {"", false},
    {"# 快速验证(GET,参数走 query)", true},
    {R"(curl "%s/v1/tts?text=hello&language=en&gender=female&speed=1.1" -o out.wav)", false},
    {"", false},
    {"# 给 Tallyhorn-Server 的 BASS:响应体就是完整 WAV,不用落盘", true},
    {"#   BASS_StreamCreateFile(TRUE, wav.data(), 0, wav.size(), flags);", false},
    {"# 每个路径的请求和回答写在 README 的「HTTP API」一节", true},
    {"", false},
    {"# 不校验任何身份:请求到了就有服务", true},
    {"", false},
    {"# 其它路径", true},
    {"  GET    /v1/health      健康检查", true},
    {"  GET    /v1/selftest    连通自检 —— 在客户端那台机器上开这个地址就知道通没通", true},
    {"  GET    /v1/voices      音色列表", true},
    {"  POST   /v1/voices/clone  上传参考音频克隆", true},
    {"  GET    /v1/defaults    语言×性别 → 音色", true},
    {"  GET    /v1/stats       统计", true},
    {"  DELETE /v1/cache       清缓存", true},
    {"", false},
    {"# 提前把整套广播词条烤进缓存(只烤不回音频,立刻返回)", true},
    {R"(curl -X POST %s/v1/prewarm \)", false},
    {R"(  -H "Content-Type: application/json" \)", false},
    {R"(  -d "{\"airline\":\"ANA\",\"language\":\"ja\",\"gender\":\"female\",\"items\":[{\"text\":\"...\"},{\"text\":\"...\"}]}")",
     false},
    {"#   烤完没有?看 /v1/stats 里的 prewarm_pending,到 0 就是全好了", true},
};

}  // namespace

std::vector<std::string> UsageLines(const std::string& ABindAddress,
                                    const std::vector<std::string>& AReachable,
                                    const std::string& AEndpoint) {
  std::vector<std::string> Lines;
  if (!ABindAddress.empty() && ABindAddress != "0.0.0.0") {
    Lines.push_back(Format(Translate("# 只听 %s"), ABindAddress));
  } else {
    Lines.push_back(Translate("# 这台机器听所有网卡。别的电脑可以用下面任意一个地址连:"));
    for (const std::string& Url : AReachable)
      Lines.push_back("#   " + Url);
  }
  for (const TUsageLine& Line : UsageBody) {
    const std::string_view Text = Line.Text;
    if (Line.Translated) {
      Lines.push_back(Translate(Text));
    } else if (Text.find("%s") != std::string_view::npos) {
      Lines.push_back(Format(Text, AEndpoint));
    } else {
      Lines.emplace_back(Text);
    }
  }
  return Lines;
}

TServicePage::TServicePage(TMainForm& AForm) : QWidget(&AForm) {
  setObjectName(QStringLiteral("FTabService"));
  FLblState = new QLabel(QStringLiteral("状态:—"), this);
  FLblState->setObjectName(QStringLiteral("FLblState"));
  QFont Bold = FLblState->font();
  Bold.setBold(true);
  Bold.setPointSize(Bold.pointSize() + 2);
  FLblState->setFont(Bold);
  FLblEngine = new QLabel(QStringLiteral("引擎:—"), this);
  FLblEngine->setObjectName(QStringLiteral("FLblEngine"));
  FLblEngine->setWordWrap(true);
  auto* LblEndpoint = new QLabel(QStringLiteral("监听地址"), this);
  LblEndpoint->setObjectName(QStringLiteral("FLblEndpoint"));
  FEdtEndpoint = new QLineEdit(this);
  FEdtEndpoint->setObjectName(QStringLiteral("FEdtEndpoint"));
  FEdtEndpoint->setReadOnly(true);

  FBtnStart = NewButton(this, "FBtnStart", "启动服务");
  FBtnStop = NewButton(this, "FBtnStop", "停止服务");
  FBtnUnloadModel = NewButton(this, "FBtnUnloadModel", "卸载模型");
  FBtnExit = NewButton(this, "FBtnExit", "退出程序");
  FBtnQuickModel = NewButton(this, "FBtnQuickModel", "一键下载推荐模型");
  connect(FBtnStart, &QPushButton::clicked, &AForm, &TMainForm::OnStartClick);
  connect(FBtnStop, &QPushButton::clicked, &AForm, &TMainForm::OnStopClick);
  connect(FBtnExit, &QPushButton::clicked, &AForm, &TMainForm::OnExitClick);

  auto* LblUsage = new QLabel(QStringLiteral("给客户端的接入信息"), this);
  LblUsage->setObjectName(QStringLiteral("FLblUsage"));
  FMemoUsage = new QPlainTextEdit(this);
  FMemoUsage->setObjectName(QStringLiteral("FMemoUsage"));
  FMemoUsage->setReadOnly(true);
  FMemoUsage->setLineWrapMode(QPlainTextEdit::NoWrap);
  FMemoUsage->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemoUsage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemoUsage->setFont(FixedUiFont());

  auto* Endpoint = new QHBoxLayout;
  Endpoint->addWidget(LblEndpoint);
  Endpoint->addWidget(FEdtEndpoint, 1);
  auto* Buttons = new QHBoxLayout;
  for (QPushButton* Button : {FBtnStart, FBtnStop, FBtnUnloadModel, FBtnExit})
    Buttons->addWidget(Button);
  Buttons->addStretch(1);
  Buttons->addWidget(FBtnQuickModel);
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(FLblState);
  Layout->addWidget(FLblEngine);
  Layout->addLayout(Endpoint);
  Layout->addLayout(Buttons);
  Layout->addSpacing(6);
  Layout->addWidget(LblUsage);
  Layout->addWidget(FMemoUsage, 1);
}

void TServicePage::SetUsage(const std::vector<std::string>& ALines) {
  QStringList Lines;
  for (const std::string& Line : ALines)
    Lines << QStr(Line);
  FMemoUsage->setPlainText(Lines.join('\n'));
}

}  // namespace quavox
