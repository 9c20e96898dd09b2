#include "app/Dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>
#include <QUrl>

#include "app/ClipTextForm.h"
#include "app/ShareForm.h"
#include "app/UiText.h"

namespace quavox {

namespace {

const QString BoxTitle = QStringLiteral("Quavox");

void ShowBox(QWidget* AParent, QMessageBox::Icon AIcon, const std::string& AText) {
  QMessageBox Box(AIcon, BoxTitle, QStr(AText), QMessageBox::Ok, AParent);
  Box.exec();
}

bool AskYesNo(QWidget* AParent, QMessageBox::Icon AIcon, const std::string& AText) {
  QMessageBox Box(AIcon, BoxTitle, QStr(AText), QMessageBox::Yes | QMessageBox::No, AParent);
  Box.setDefaultButton(QMessageBox::No);
  return Box.exec() == QMessageBox::Yes;
}

// "音频文件 (*.wav;*.mp3)" loses its bracketed tail; Qt adds the patterns back itself.
QString WithoutPatternTail(QString AText) {
  AText = AText.trimmed();
  if (AText.endsWith(')')) {
    const qsizetype Open = AText.lastIndexOf('(');
    if (Open > 0 && AText.mid(Open).contains('*')) AText = AText.left(Open).trimmed();
  }
  return AText;
}

}  // namespace

QString QtFileFilter(const std::string& AFilter) {
  const QStringList Parts = QStr(AFilter).split('|');
  QStringList Entries;
  for (qsizetype i = 0; i + 1 < Parts.size(); i += 2) {
    const QString Patterns = Parts[i + 1].split(';', Qt::SkipEmptyParts).join(' ');
    Entries << WithoutPatternTail(Parts[i]) + " (" + Patterns + ")";
  }
  return Entries.join(";;");
}

void TQtDialogs::Warn(QWidget* AParent, const std::string& AText) {
  ShowBox(AParent, QMessageBox::Warning, AText);
}

bool TQtDialogs::Confirm(QWidget* AParent, const std::string& AText) {
  return AskYesNo(AParent, QMessageBox::Question, AText);
}

bool TQtDialogs::ConfirmWarning(QWidget* AParent, const std::string& AText) {
  return AskYesNo(AParent, QMessageBox::Warning, AText);
}

void TQtDialogs::Inform(QWidget* AParent, const std::string& AText) {
  ShowBox(AParent, QMessageBox::Information, AText);
}

void TQtDialogs::Plain(QWidget* AParent, const std::string& AText) {
  ShowBox(AParent, QMessageBox::NoIcon, AText);
}

std::vector<std::string> TQtDialogs::OpenFiles(QWidget* AParent, const std::string& AFilter,
                                               bool AMultiple) {
  QStringList Files;
  if (AMultiple) {
    Files = QFileDialog::getOpenFileNames(AParent, {}, {}, QtFileFilter(AFilter));
  } else if (const QString File =
                 QFileDialog::getOpenFileName(AParent, {}, {}, QtFileFilter(AFilter));
             !File.isEmpty()) {
    Files << File;
  }
  std::vector<std::string> Result;
  for (const QString& File : Files)
    Result.push_back(StdStr(File));
  return Result;
}

std::string TQtDialogs::SaveFile(QWidget* AParent, const std::string& AFilter,
                                 const std::string& ADefaultExt, const std::string& AProposedName) {
  QFileDialog Dialog(AParent, {}, {}, QtFileFilter(AFilter));
  Dialog.setAcceptMode(QFileDialog::AcceptSave);
  Dialog.setDefaultSuffix(QStr(ADefaultExt));
  Dialog.selectFile(QStr(AProposedName));
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) return {};
  return StdStr(Dialog.selectedFiles().first());
}

bool TQtDialogs::AskClipText(QWidget* AOwner, const TClipQuestion& AClip, std::string& AText) {
  TClipTextForm Form(AOwner);
  Form.SetClip(AClip, AText);
  if (Form.exec() != QDialog::Accepted) return false;
  AText = Form.Transcript();
  return true;
}

bool TQtDialogs::AskShareChoice(QWidget* AOwner, THubKind AKind, const TAppConfig& AConfig,
                                const TVoiceLibrary& AVoices, TShareChoice& AChoice) {
  TShareForm Form(AOwner, AKind, AConfig, AVoices, *this);
  return Form.exec() == QDialog::Accepted && Form.Choice(AChoice);
}

void TQtDialogs::OpenLocation(const std::string& APath) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QStr(APath)));
}

}  // namespace quavox
