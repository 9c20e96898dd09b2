// Page "广播": airline bindings and clone packs. The window refreshes it after every change
// of voices or bindings.
#pragma once

#include <QWidget>

namespace quavox {

class TMainForm;

class TBroadcastPage final : public QWidget {
  Q_OBJECT

 public:
  explicit TBroadcastPage(TMainForm& AForm);

  // Refills the binding list from the configuration.
  void RefreshAirlinesPage() {}
};

}  // namespace quavox
