// Page "缓存": the synthesized-audio cache. The window refreshes it after every synthesis.
#pragma once

#include <QWidget>

namespace quavox {

class TMainForm;

class TCachePage final : public QWidget {
  Q_OBJECT

 public:
  explicit TCachePage(TMainForm& AForm);

  // Refills the cache list from the cache.
  void RefreshCachePage() {}
};

}  // namespace quavox
