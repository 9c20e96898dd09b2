// Page "服务": whether the HTTP server runs and where, the engine in use, the buttons that
// start and stop the server and leave the program, and the usage text for client
// developers. The window's handlers act on it (TMainForm::RefreshServicePage, OnTimer).
#pragma once

#include <QWidget>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace quavox {

class TMainForm;

// The usage text, line by line: which addresses clients can use (every reachable one when
// the server listens on all interfaces), then ready-made calls against AEndpoint.
std::vector<std::string> UsageLines(const std::string& ABindAddress,
                                    const std::vector<std::string>& AReachable,
                                    const std::string& AEndpoint);

class TServicePage final : public QWidget {
  Q_OBJECT

 public:
  explicit TServicePage(TMainForm& AForm);

  void SetUsage(const std::vector<std::string>& ALines);

  QLabel* FLblState;
  QLabel* FLblEngine;
  QLineEdit* FEdtEndpoint;
  QPushButton* FBtnStart;
  QPushButton* FBtnStop;
  QPushButton* FBtnUnloadModel;
  QPushButton* FBtnExit;
  QPushButton* FBtnQuickModel;
  QPlainTextEdit* FMemoUsage;
};

}  // namespace quavox
