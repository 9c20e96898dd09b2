// Page "模型": model files, their download and the engine choice.
#pragma once

#include <QWidget>

namespace quavox {

class TMainForm;
struct TDownloadProgress;

class TModelsPage final : public QWidget {
  Q_OBJECT

 public:
  explicit TModelsPage(TMainForm& AForm);

  // Refills the model state from the models folder and the service.
  void RefreshModelPage() {}
  // A report of the running download, on the main thread.
  void OnDownloadProgress(const TDownloadProgress&) {}
};

}  // namespace quavox
