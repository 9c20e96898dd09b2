// Whole announcements: every segment goes through the ordinary pipeline (so each is routed
// to its language's voice and cached on its own), then the segments are assembled into one
// clip with a chime, pauses and one loudness. Borrows the service, which must outlive it.
// Every operation may run on any number of threads at once: the only state is a memo of
// prepared segments, chimes and delivered replies under FLock, held just for lookups and
// inserts, never while audio is measured or assembled.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "audio/Announce.h"
#include "audio/Encode.h"
#include "core/ThreadAnnotations.h"
#include "core/Types.h"

namespace quavox {

class TTtsService;

constexpr std::size_t MaxAnnounceSegments = 8;
constexpr int32_t MaxAnnounceGapMs = 5000;

struct TAnnounceRequest {
  std::vector<TTtsRequest> Segments;
  TAnnounceLayout Layout;
  TAudioFormat Format = afWav;
};

struct TAnnounceResult {
  std::vector<TTtsResult> Segments;  // in order, as the pipeline gave them
  std::string ETag;
};

// The assembled announcement as it is sent.
struct TAnnounceReply {
  std::shared_ptr<const TBytes> Audio;
  std::string ContentType;
  int32_t SampleRate = 0;  // of the bytes sent
  // Samples and part positions count at the rate the announcement was assembled at.
  int32_t TimelineRate = 0;
  int64_t Samples = 0;
  std::vector<TAnnouncePart> Parts;
};

// The one step from finished PCM to the bytes sent and their content type: the WAV as
// assembled, or the shared delivery step for every other format (ARequestedRate 0: the
// format's own rate). The segments are levelled already, so no loudness target applies.
TAnnounceReply DeliverAnnouncement(const TAnnouncement& AWhole, TAudioFormat AFormat,
                                   int32_t ARequestedRate);

class TAnnouncer {
 public:
  // Prepared segments beyond this many bytes of samples are forgotten, least recently used
  // first; one bigger than the whole budget is not kept at all.
  static constexpr std::size_t DefaultMemoBudgetBytes = 32u << 20;

  explicit TAnnouncer(TTtsService& AService, std::size_t AMemoBudgetBytes = DefaultMemoBudgetBytes);
  TAnnouncer(const TAnnouncer&) = delete;
  TAnnouncer& operator=(const TAnnouncer&) = delete;

  // Checks every segment (text, length, explicit voice) before the first is synthesized,
  // then synthesizes them in order. Raises the ETtsError of the first failing segment with
  // its index in front of the message; segments made before it stay cached.
  TAnnounceResult Synthesize(const TAnnounceRequest& AReq);
  // The clip of the whole announcement, with the position of every part.
  TAnnouncement Assemble(const TAnnounceRequest& AReq, const TAnnounceResult& AResult);
  // The announcement assembled and delivered; an announcement already delivered from the very
  // same clips is shared, like the cache shares the clips of single lines.
  std::shared_ptr<const TAnnounceReply> Deliver(const TAnnounceRequest& AReq,
                                                const TAnnounceResult& AResult);
  // Names exactly the assembled audio: the parts' tags and every assembly option.
  static std::string EntityTag(const TAnnounceRequest& AReq,
                               const std::vector<TTtsResult>& ASegments);

 private:
  // One remembered result and the clips it was made from.
  struct TPrepared {
    std::vector<std::shared_ptr<const TBytes>> Sources;  // none for chimes
    std::shared_ptr<const TPcmBuffer> Pcm;
    TLoudness Loudness;
    std::shared_ptr<const TAnnounceReply> Reply;
    std::size_t Bytes() const;
  };
  struct TMemoEntry {
    TPrepared Value;
    std::list<std::string>::iterator Pos;
  };

  void CheckSegments(const TAnnounceRequest& AReq);
  TPrepared Prepared(const TTtsResult& ASegment, int32_t ARate);
  std::shared_ptr<const TPcmBuffer> Levelled(const TTtsResult& ASegment, const TPrepared& AReady,
                                             int32_t ARate, double ALevel);
  std::shared_ptr<const TPcmBuffer> Chime(int32_t ARate, bool AClosing, double ALevel);
  // True and AValue filled when AKey was remembered from the same clips as AValue.Sources.
  bool Recall(const std::string& AKey, TPrepared& AValue) QX_EXCLUDES(FLock);
  void Remember(const std::string& AKey, const TPrepared& AValue) QX_EXCLUDES(FLock);

  TTtsService& FService;
  const std::size_t FMemoBudgetBytes;
  TMutex FLock;
  std::map<std::string, TMemoEntry, std::less<>> FMemo QX_GUARDED_BY(FLock);
  std::list<std::string> FMemoOrder QX_GUARDED_BY(FLock);  // least recently used first
  std::size_t FMemoBytes QX_GUARDED_BY(FLock) = 0;
};

}  // namespace quavox
