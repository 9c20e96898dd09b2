// Page "云分享": voice packs shared on the cloud hub. Nothing is fetched until the user asks.
#pragma once

#include <QWidget>

namespace quavox {

class TMainForm;

class TSharePage final : public QWidget {
  Q_OBJECT

 public:
  explicit TSharePage(TMainForm& AForm);
};

}  // namespace quavox
