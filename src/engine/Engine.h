// What turns text into sound: one reference-counted interface with two implementations,
// the placeholder below and the supervisor of the local inference process. Synthesize is
// called by the queue's single worker; Name, Ready, CheckHealth and SupportsNativeSpeed
// may be called from any thread at the same time.
#pragma once

#include <memory>
#include <string>

#include "core/ThreadAnnotations.h"
#include "core/Types.h"

namespace quavox {

struct TEngineHealth {
  bool Ready = false;
  std::string Backend;
  std::string Detail;
  std::string ExePath;
  TDateTime ProbedAt{};
  // The model file the engine runs (or loads, or has unloaded); empty when it found none.
  std::string ModelPath;
};

class IQuavoxEngine {
 public:
  virtual ~IQuavoxEngine() = default;
  virtual std::string Name() const = 0;
  // What else decides the audio beyond the name (the voice table the engine reads), so that
  // clips made with another one are never served as this one's; empty when the name does.
  virtual std::string ModelIdentity() const { return {}; }
  virtual bool Ready() const = 0;
  virtual bool SupportsNativeSpeed() const = 0;
  virtual bool SupportsInstantClone() const = 0;
  virtual void Configure(const TEngineOptions& AOptions) = 0;
  virtual TEngineOptions Options() const = 0;
  virtual TEngineHealth CheckHealth() = 0;
  // Float PCM at the engine's own rate; raises ETtsError or any other exception on failure.
  virtual TPcmBuffer Synthesize(const TS2Params& AParams, const TVoiceHint& AHint) = 0;
  // A voice profile prepared by the engine for a freshly cloned voice, or empty.
  virtual std::string RegisterReference(const TVoiceCloneSpec& ASpec) = 0;
};

using IQuavoxEnginePtr = std::shared_ptr<IQuavoxEngine>;

// The defaults every engine starts from; holds a private copy of the engine options.
class TCustomTtsEngine : public IQuavoxEngine {
 public:
  explicit TCustomTtsEngine(const TEngineOptions& AOptions) : FOptions(AOptions) {}

  bool Ready() const override { return false; }
  bool SupportsNativeSpeed() const override { return true; }
  bool SupportsInstantClone() const override { return true; }
  void Configure(const TEngineOptions& AOptions) override;
  TEngineOptions Options() const override;
  TEngineHealth CheckHealth() override;
  std::string RegisterReference(const TVoiceCloneSpec& ASpec) override;

 private:
  mutable TMutex FOptionsLock;
  TEngineOptions FOptions QX_GUARDED_BY(FOptionsLock);
};

}  // namespace quavox
