// The transcript dialog: asks what is said in one chosen reference recording. Its plain
// text is what the engine receives; formatting typed into the editor is only for the user.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QPushButton;
class QTextEdit;

namespace quavox {

class TClipTextForm final : public QDialog {
  Q_OBJECT

 public:
  explicit TClipTextForm(QWidget* AOwner);

  // Shows the clip's file name and puts ATranscript into the editor.
  void SetClip(const std::string& AFileName, const std::string& ATranscript);
  // The editor's plain text, trimmed; line breaks inside stay.
  std::string Transcript() const;

 protected:
  void accept() override;
  void resizeEvent(QResizeEvent* AEvent) override;
  void showEvent(QShowEvent* AEvent) override;

 private:
  void UpdateOk();
  void ElideFileName();

  QLabel* LblFile;
  QLabel* LblHint;
  QTextEdit* RichText;
  QPushButton* BtnOk;
  QPushButton* BtnCancel;
  QString FFileName;
};

}  // namespace quavox
