#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "core/I18n.h"
#include "service/Queue.h"

namespace quavox {
namespace {

// An engine the test steers: each Synthesize records its text, then waits until the test
// opens the gate, then answers (or fails the way the text asks).
class TGatedEngine final : public TCustomTtsEngine {
 public:
  TGatedEngine() : TCustomTtsEngine(TEngineOptions{}) {}
  std::string Name() const override { return "gated"; }
  bool Ready() const override { return true; }
  TPcmBuffer Synthesize(const TS2Params& AParams, const TVoiceHint&) override {
    {
      std::unique_lock Lock(FLock);
      FStarted.push_back(AParams.Text);
      FChanged.notify_all();
      FChanged.wait(Lock, [this] { return FOpen > 0; });
      --FOpen;
    }
    if (AParams.Text == "tts-error") throw ETtsError(ecBadAudio, "bad reference");
    if (AParams.Text == "plain-error") throw std::runtime_error("boom");
    return TPcmBuffer{{0.5f}, 24000};
  }
  void Open(int ACount = 1) {
    std::lock_guard Lock(FLock);
    FOpen += ACount;
    FChanged.notify_all();
  }
  void WaitStarted(std::size_t ACount) {
    std::unique_lock Lock(FLock);
    FChanged.wait(Lock, [&] { return FStarted.size() >= ACount; });
  }
  std::vector<std::string> Started() {
    std::lock_guard Lock(FLock);
    return FStarted;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  int FOpen = 0;
  std::vector<std::string> FStarted;
};

TS2Params Text(const std::string& AText) {
  TS2Params p;
  p.Text = AText;
  return p;
}

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUiLang(ulZh); }
  void TearDown() override { SetUiLang(ulAuto); }

  std::future<TPcmBuffer> SubmitAsync(TSynthQueue& AQueue, const std::string& AText,
                                      TTtsPriority APriority = tpNormal, int32_t ATimeout = 60000,
                                      const std::string& AClient = {}) {
    return std::async(std::launch::async, [&AQueue, AText, APriority, ATimeout, AClient] {
      int32_t Elapsed = 0;
      return AQueue.Submit(Text(AText), TVoiceHint{}, APriority, ATimeout, Elapsed, AClient);
    });
  }
  // Submits and waits until the job is in line, so the order of arrival is the test's.
  std::future<TPcmBuffer> Enter(TSynthQueue& AQueue, const std::string& AText,
                                const std::string& AClient, TTtsPriority APriority = tpNormal) {
    const int32_t Before = AQueue.Depth();
    auto Job = SubmitAsync(AQueue, AText, APriority, 60000, AClient);
    while (AQueue.Depth() == Before)
      std::this_thread::yield();
    return Job;
  }
  static std::string Refusal(TSynthQueue& AQueue, const std::string& AClient,
                             TTtsPriority APriority) {
    int32_t Elapsed = 0;
    try {
      AQueue.Submit(Text("refused"), {}, APriority, 1000, Elapsed, AClient);
    } catch (const ETtsError& E) {
      return ErrorCodeName(E.Code()) + std::string(": ") + E.what();
    }
    return "accepted";
  }
  static TTtsErrorCode CodeOf(std::future<TPcmBuffer>& AFuture) {
    try {
      AFuture.get();
    } catch (const ETtsError& E) {
      return E.Code();
    }
    return ecNone;
  }

  std::shared_ptr<TGatedEngine> Engine = std::make_shared<TGatedEngine>();
};

TEST_F(QueueTest, LimitCountsWaitingJobsNotTheRunningOne) {
  TSynthQueue Queue([this] { return Engine; }, 2);
  auto Running = SubmitAsync(Queue, "running");
  Engine->WaitStarted(1);
  EXPECT_TRUE(Queue.Busy());
  EXPECT_EQ(Queue.Depth(), 0);
  auto Second = SubmitAsync(Queue, "second");
  auto Third = SubmitAsync(Queue, "third");
  while (Queue.Depth() < 2)
    std::this_thread::yield();
  int32_t Elapsed = 5;
  try {
    Queue.Submit(Text("fourth"), {}, tpNormal, 1000, Elapsed);
    FAIL() << "a full queue must refuse";
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecQueueFull);
    EXPECT_STREQ(E.what(), "合成队列已满(2 条在排),稍后再试");
  }
  EXPECT_EQ(Elapsed, 0);
  Engine->Open(3);
  EXPECT_EQ(CodeOf(Running), ecNone);
  EXPECT_EQ(CodeOf(Second), ecNone);
  EXPECT_EQ(CodeOf(Third), ecNone);
}

TEST_F(QueueTest, NonPositiveLimitRefusesEverything) {
  TSynthQueue Queue([this] { return Engine; }, 0);
  int32_t Elapsed = 0;
  EXPECT_THROW(Queue.Submit(Text("x"), {}, tpHigh, 1000, Elapsed), ETtsError);
  Queue.SetLimit(1);
  auto Job = SubmitAsync(Queue, "x");
  Engine->Open();
  EXPECT_EQ(CodeOf(Job), ecNone);
}

TEST_F(QueueTest, HighPriorityRunsNextThenFirstComeFirstServed) {
  TSynthQueue Queue([this] { return Engine; }, 10);
  auto First = SubmitAsync(Queue, "first");
  Engine->WaitStarted(1);
  auto N1 = SubmitAsync(Queue, "n1");
  while (Queue.Depth() < 1)
    std::this_thread::yield();
  auto N2 = SubmitAsync(Queue, "n2");
  while (Queue.Depth() < 2)
    std::this_thread::yield();
  auto H = SubmitAsync(Queue, "high", tpHigh);
  while (Queue.Depth() < 3)
    std::this_thread::yield();
  Engine->Open(4);
  for (auto* f : {&First, &N1, &N2, &H})
    EXPECT_EQ(CodeOf(*f), ecNone);
  EXPECT_EQ(Engine->Started(), (std::vector<std::string>{"first", "high", "n1", "n2"}));
}

// One client sending many lines at once holds only its share of the places; the others
// still get in, take turns with it, and the last place is kept for a high-priority line.
TEST_F(QueueTest, ClientsShareThePlacesAndTakeTurns) {
  TSynthQueue Queue([this] { return Engine; }, 6, TQueueShares{3, 1});
  std::vector<std::future<TPcmBuffer>> Jobs;
  Jobs.push_back(SubmitAsync(Queue, "first", tpNormal, 60000, "A"));
  Engine->WaitStarted(1);
  for (const char* Text : {"a1", "a2", "a3"})
    Jobs.push_back(Enter(Queue, Text, "A"));
  EXPECT_EQ(Refusal(Queue, "A", tpNormal), "queue_full: 这个地址已有 3 条合成在排,稍后再试");
  EXPECT_EQ(Refusal(Queue, "A", tpHigh), "queue_full: 这个地址已有 3 条合成在排,稍后再试");
  for (const char* Text : {"b1", "b2"})
    Jobs.push_back(Enter(Queue, Text, "B"));
  EXPECT_EQ(Refusal(Queue, "C", tpNormal), "queue_full: 合成队列已满(6 条在排),稍后再试")
      << "the last place is kept for high priority";
  Jobs.push_back(Enter(Queue, "c-high", "C", tpHigh));
  EXPECT_EQ(Refusal(Queue, "D", tpHigh), "queue_full: 合成队列已满(6 条在排),稍后再试");
  Engine->Open(static_cast<int>(Jobs.size()));
  for (auto& Job : Jobs)
    EXPECT_EQ(CodeOf(Job), ecNone);
  EXPECT_EQ(Engine->Started(),
            (std::vector<std::string>{"first", "c-high", "a1", "b1", "a2", "b2", "a3"}));
}

TEST_F(QueueTest, TimedOutJobStillRunsAndIsFreed) {
  TSynthQueue Queue([this] { return Engine; }, 10);
  int32_t Elapsed = 0;
  try {
    Queue.Submit(Text("slow"), {}, tpNormal, 20, Elapsed);
    FAIL();
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecTimeout);
    EXPECT_STREQ(E.what(), "等了 20 毫秒后端还没出声音");
  }
  Engine->Open(2);
  auto Next = SubmitAsync(Queue, "next");
  EXPECT_EQ(CodeOf(Next), ecNone);
  EXPECT_EQ(Engine->Started(), (std::vector<std::string>{"slow", "next"}));
}

TEST_F(QueueTest, EngineFailuresKeepTheirCodeAndNeverEndTheWorker) {
  TSynthQueue Queue([this] { return Engine; }, 10);
  Engine->Open(3);
  int32_t Elapsed = 0;
  try {
    Queue.Submit(Text("tts-error"), {}, tpNormal, 60000, Elapsed);
    FAIL();
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecBadAudio);
    EXPECT_STREQ(E.what(), "bad reference");
  }
  try {
    Queue.Submit(Text("plain-error"), {}, tpNormal, 60000, Elapsed);
    FAIL();
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecEngineFailed);
    EXPECT_EQ(std::string(E.what()), "std::runtime_error: boom");
  }
  const TPcmBuffer Pcm = Queue.Submit(Text("fine"), {}, tpNormal, 60000, Elapsed);
  EXPECT_EQ(Pcm.Data.size(), 1u);
}

TEST_F(QueueTest, NoEngineFailsTheJob) {
  TSynthQueue Queue([] { return IQuavoxEnginePtr(); }, 10);
  int32_t Elapsed = 0;
  try {
    Queue.Submit(Text("x"), {}, tpNormal, 60000, Elapsed);
    FAIL();
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecEngineNotConnected);
    EXPECT_STREQ(E.what(), "没有可用的引擎");
  }
}

TEST_F(QueueTest, TeardownWakesEveryWaiter) {
  auto Queue = std::make_unique<TSynthQueue>([this] { return Engine; }, 10);
  auto Running = SubmitAsync(*Queue, "running");
  Engine->WaitStarted(1);
  std::vector<std::future<TPcmBuffer>> Waiting;
  for (int i = 0; i < 3; ++i)
    Waiting.push_back(SubmitAsync(*Queue, "w" + std::to_string(i)));
  while (Queue->Depth() < 3)
    std::this_thread::yield();
  // The running job may end only once teardown has begun, or the worker would take the
  // next one.
  TSynthQueue* Raw = Queue.get();
  std::thread Opener([this, Raw] {
    while (!Raw->Stopping())
      std::this_thread::yield();
    Engine->Open();
  });
  Queue.reset();
  Opener.join();
  EXPECT_EQ(CodeOf(Running), ecNone);
  for (auto& w : Waiting) {
    try {
      w.get();
      ADD_FAILURE() << "a drained job must fail";
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecEngineNotConnected);
      EXPECT_STREQ(E.what(), "服务正在停止,这条请求被丢弃");
    }
  }
}

}  // namespace
}  // namespace quavox
