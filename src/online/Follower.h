// A node that follows a primary: every interval it asks the primary for its voices (the
// library pack of GET /v1/pack), airline bindings, default voices and lexicon, each with
// the entity tag it last took, so a primary that changed nothing answers four 304s. When
// anything changed it fetches the rest, checks all of it, and only then applies it: clips and
// voices.json, the voice maps in config.json and lexicon.json, each replaced atomically
// under the library's and the lexicon's own locks. A primary that cannot be reached or sends
// something unusable changes nothing here; the node serves what it has and /health says so.
#pragma once

#include <chrono>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

#include "core/ThreadAnnotations.h"
#include "service/Service.h"
#include "state/Config.h"

namespace quavox {

// Whom a follower follows and how often, as the configuration says.
struct TFollowTarget {
  // The primary's base URL; empty: this node follows nobody.
  std::string Primary;
  std::chrono::milliseconds Interval{0};
  // Sent as "Authorization: Bearer", as clients send theirs; empty: none.
  std::string Key;

  static TFollowTarget Of(const TConfigSettings& ASettings);
  bool operator==(const TFollowTarget&) const = default;
};

class TFollower {
 public:
  // The service must outlive the follower.
  TFollower(TTtsService& AService, TFollowTarget ATarget);
  // Stops the thread, giving up a round that waits for the primary within about a second;
  // the node then follows nobody.
  ~TFollower();
  TFollower(const TFollower&) = delete;
  TFollower& operator=(const TFollower&) = delete;

  // Starts following on a thread of its own, a round at once and one every interval.
  void Start();
  // One round on the calling thread: true when this node now holds what the primary holds.
  // A stop requested through AStop gives the round up and changes nothing.
  bool SyncOnce(std::stop_token AStop = {}) QX_EXCLUDES(FRoundLock);
  const TFollowTarget& Target() const { return FTarget; }

 private:
  struct TResource {
    const char* Path;
    // The tag of what this node holds, empty before the first round that applied it.
    std::string Tag;
  };
  struct TFetched;

  // Asks for the resource with the tag held; false when the primary did not answer it
  // usably (AInto.Problem says why). A changed pack is written to AFile and read from there.
  bool Fetch(TResource& AResource, TFetched& AInto, const std::string& AFile, std::stop_token AStop)
      QX_REQUIRES(FRoundLock);
  void Apply(const TFetched& AFetched);
  // Why the primary's reply of AStatus is not one to take, for the log.
  std::string RefusalReason(int AStatus) const;

  TTtsService& FService;
  const TFollowTarget FTarget;
  // One round at a time, whoever calls.
  TMutex FRoundLock;
  TResource FPack QX_GUARDED_BY(FRoundLock){"/v1/pack", {}};
  TResource FAirlines QX_GUARDED_BY(FRoundLock){"/v1/airlines", {}};
  TResource FDefaults QX_GUARDED_BY(FRoundLock){"/v1/defaults", {}};
  TResource FLexicon QX_GUARDED_BY(FRoundLock){"/v1/lexicon", {}};
  std::string FLastSync QX_GUARDED_BY(FRoundLock);
  std::string FLastProblem QX_GUARDED_BY(FRoundLock);
  std::jthread FThread;
};

// Follows the primary the configuration names, as often as it says; a configuration that names
// none leaves this node on its own, with the voices it holds. A follower whose settings did not
// change goes on with the entity tags it holds.
void FollowAsConfigured(std::unique_ptr<TFollower>& AFollower, TTtsService& AService);

}  // namespace quavox
