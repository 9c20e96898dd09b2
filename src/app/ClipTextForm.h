// The transcript dialog: asks what is said in one chosen reference recording. Its plain
// text is what the engine receives; formatting typed into the editor is only for the user.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLabel;
class QPushButton;
class QTextEdit;

namespace quavox {

struct TClipQuestion;
class TElidedLabel;

class TClipTextForm final : public QDialog {
  Q_OBJECT

 public:
  explicit TClipTextForm(QWidget* AOwner);

  // Shows the clip's file name and its place among the chosen clips, offers to play it, and
  // puts ATranscript into the editor.
  void SetClip(const TClipQuestion& AClip, const std::string& ATranscript);
  // The editor's plain text, trimmed; line breaks inside stay.
  std::string Transcript() const;

 protected:
  void accept() override;
  void showEvent(QShowEvent* AEvent) override;

 private:
  void UpdateOk();

  TElidedLabel* LblFile;
  QLabel* LblPlace;
  QPushButton* BtnPlay;
  QLabel* LblHint;
  QTextEdit* RichText;
  QPushButton* BtnOk;
  QPushButton* BtnCancel;
  std::function<void()> FPlay;
};

}  // namespace quavox
