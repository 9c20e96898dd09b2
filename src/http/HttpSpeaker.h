// A reply spoken sentence by sentence: each sentence of the text is synthesized (and
// cached) on its own, brought to the delivery rate and loudness, and appended to one
// encoded file whose bytes go out as each sentence is ready. The first sentence is made
// before anything is sent, so its failures are ordinary error replies; a reply that is
// put together whole (not streamed) comes from the same steps and so holds the same bytes.
// One speaker serves one request on one thread; each of its synthesis jobs queues under
// the client's share like any other line.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/Encode.h"
#include "audio/StreamEncode.h"
#include "core/Types.h"

namespace quavox {

class TTtsService;

class TSentenceSpeaker {
 public:
  using TWrite = std::function<bool(const TBytes&)>;
  using TGone = std::function<bool()>;

  TSentenceSpeaker(TTtsService& AService, const TTtsRequest& AReq,
                   const TDeliveryOptions& AOptions);

  // The sentences the text is spoken as.
  const std::vector<std::string>& Sentences() const { return FSentences; }
  // Makes the first sentence; raises ETtsError as TTtsService::Synthesize does (and
  // std::runtime_error when the audio cannot be encoded).
  void Begin();
  const TTtsResult& First() const { return FFirst; }
  TAudioFormat Format() const { return FOptions.Format; }
  int32_t SampleRate() const { return FRate; }
  // Writes the bytes of every sentence as it is ready, the first one's first. False when
  // AWrite refused or AGone said the client left (nothing more is made), or a later
  // sentence failed (Failure says why).
  bool Speak(const TWrite& AWrite, const TGone& AGone);
  // Turns the bytes written, put together, into the file a whole reply carries.
  void Complete(TBytes& AWhole) const { FEncoder->Complete(AWhole); }

  const std::optional<ETtsError>& Failure() const { return FFailure; }
  int32_t DurationMs() const { return FDurationMs; }
  int32_t SynthMs() const { return FSynthMs; }
  bool AllCached() const { return FAllCached; }
  // The sentences as they were spoken, joined; and whether the rules rewrote any of them.
  const std::string& SpokenText() const { return FSpoken; }
  bool TextRewritten() const { return FRewritten; }
  // The entity tag of the whole reply: the sentences' tags and the delivery.
  std::string ETag() const;

 private:
  TPcmBuffer Prepared(const TTtsResult& AResult) const;
  TBytes Encoded(const TPcmBuffer& AAudio, bool ALast);
  void Account(const TTtsResult& AResult, const TPcmBuffer& AAudio);

  TTtsService& FService;
  TTtsRequest FReq;
  TDeliveryOptions FOptions;
  std::vector<std::string> FSentences;
  TTtsResult FFirst;
  TBytes FFirstBytes;
  int32_t FRate = 0;
  std::unique_ptr<TStreamEncoder> FEncoder;
  std::optional<ETtsError> FFailure;
  std::vector<std::string> FTags;
  int64_t FSamples = 0;
  int32_t FDurationMs = 0;
  int32_t FSynthMs = 0;
  bool FAllCached = true;
  std::string FSpoken;
  bool FRewritten = false;
};

}  // namespace quavox
