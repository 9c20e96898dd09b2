#include "app/LogPage.h"
#include "app/Controls.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/MainForm.h"
#include "app/UiFonts.h"
#include "app/UiText.h"
#include "core/Format.h"
#include "core/Log.h"

namespace quavox {

namespace {

struct TColumn {
  const char* Caption;
  int Width;
};

constexpr TColumn RequestColumns[] = {{"时间", 90},  {"来源", 110}, {"语言", 60},
                                      {"音色", 150}, {"状态", 60},  {"耗时", 70},
                                      {"音频", 70},  {"缓存", 60},  {"备注", 200}};
// The "缓存" column, whose cells say whether the cache answered.
constexpr int HitColumn = 7;
constexpr int VoiceColumn = 3;

}  // namespace

TLogPage::TLogPage(TMainForm& AForm) : QWidget(&AForm) {
  setObjectName(QStringLiteral("FTabLog"));
  FLvRequests = new QTreeWidget(this);
  FLvRequests->setObjectName(QStringLiteral("FLvRequests"));
  FLvRequests->setRootIsDecorated(false);
  FLvRequests->setUniformRowHeights(true);
  FLvRequests->setSelectionBehavior(QAbstractItemView::SelectRows);
  FLvRequests->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QStringList Captions;
  for (const TColumn& Column : RequestColumns)
    Captions << QString::fromUtf8(Column.Caption);
  FLvRequests->setHeaderLabels(Captions);
  for (int i = 0; i < static_cast<int>(std::size(RequestColumns)); ++i)
    FLvRequests->setColumnWidth(i, RequestColumns[i].Width);
  NoScrollBarWhileEmpty(FLvRequests);

  FMemoLog = new QPlainTextEdit(this);
  FMemoLog->setObjectName(QStringLiteral("FMemoLog"));
  FMemoLog->setReadOnly(true);
  FMemoLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  FMemoLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemoLog->setFont(FixedUiFont());

  FBtnClearLog = new QPushButton(QStringLiteral("清空"), this);
  FBtnClearLog->setObjectName(QStringLiteral("FBtnClearLog"));
  connect(FBtnClearLog, &QPushButton::clicked, this, &TLogPage::OnClearLogClick);

  auto* Split = new QSplitter(Qt::Vertical, this);
  Split->addWidget(FLvRequests);
  Split->addWidget(FMemoLog);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(FBtnClearLog);
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(Split, 1);
  Layout->addLayout(Buttons);
}

void TLogPage::AppendLogEntry(const TLogEntry& AEntry) {
  if (FLogLines > MaxLogLines) {
    FMemoLog->clear();
    FLogLines = 0;
  }
  FMemoLog->appendPlainText(QStr(AEntry.Format()));
  // Appending scrolls to the end of the new line; every line starts with its time, so the
  // view stays at the left edge.
  FMemoLog->horizontalScrollBar()->setValue(0);
  ++FLogLines;
}

void TLogPage::AppendRequest(const TRequestLog& ARecord, const std::string& AVoiceName) {
  if (FLvRequests->topLevelItemCount() > MaxRequestRows) FLvRequests->clear();
  auto* Row = new QTreeWidgetItem(QStringList{
      QStr(FormatLogTime(ARecord.Time).substr(0, 8)), QStr(ARecord.Peer), QStr(ARecord.Language),
      QStr(AVoiceName), QString::number(ARecord.Status), QStr(Format("%d ms", ARecord.ElapsedMs)),
      QStr(Format("%.1f s", ARecord.AudioMs / 1000.0)),
      ARecord.CacheHit ? Tr("命中") : QStringLiteral("—"), QStr(ARecord.Note)});
  Row->setData(HitColumn, Qt::UserRole, ARecord.CacheHit);
  Row->setToolTip(VoiceColumn, QStr(ARecord.Voice));
  FLvRequests->addTopLevelItem(Row);
  FLvRequests->scrollToItem(Row);
}

void TLogPage::RetranslateRequests() {
  for (int i = 0; i < FLvRequests->topLevelItemCount(); ++i) {
    QTreeWidgetItem* Row = FLvRequests->topLevelItem(i);
    if (Row->data(HitColumn, Qt::UserRole).toBool()) Row->setText(HitColumn, Tr("命中"));
  }
}

void TLogPage::OnClearLogClick() {
  TAppLog::Clear();
  FMemoLog->clear();
  FLogLines = 0;
  FLvRequests->clear();
}

}  // namespace quavox
