#include <gtest/gtest.h>

#include <ctime>
#include <future>
#include <thread>

#include "core/Log.h"

namespace quavox {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { TAppLog::Clear(); }
  void TearDown() override {
    TAppLog::SetOnEntry(nullptr);
    TAppLog::SetOnRequest(nullptr);
    TAppLog::SetDispatcher(nullptr);
    TAppLog::Clear();
  }
};

TEST_F(LogTest, KeepsTheNewestCapacityEntries) {
  for (int i = 0; i <= static_cast<int>(TAppLog::Capacity); ++i)
    TAppLog::Info("cache", "n=%d", i);
  const auto Entries = TAppLog::Entries();
  ASSERT_EQ(Entries.size(), TAppLog::Capacity);
  EXPECT_EQ(Entries.front().Text, "n=1");
  EXPECT_EQ(Entries.back().Text, "n=2000");
}

TEST_F(LogTest, TextWithoutArgumentsIsTakenLiterally) {
  TAppLog::Warn("http", "100% busy");
  EXPECT_EQ(TAppLog::Entries().back().Text, "100% busy");
  EXPECT_EQ(TAppLog::Entries().back().Level, llWarn);
}

TEST_F(LogTest, EveryEntryStaysOneLineWhateverTheValuesHold) {
  struct TCase {
    std::string Value;
    std::string Logged;
  };
  const TCase Cases[] = {
      {"x\n12:00:00.000 [ERROR] http: forged", "x\\n12:00:00.000 [ERROR] http: forged"},
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {std::string("nul\0bell\a", 9) + "\x1b[31m\x7f", "nul\\x00bell\\x07\\x1b[31m\\x7f"},
      {"nel\xC2\x85ls\xE2\x80\xA8ps\xE2\x80\xA9", "nel\\u0085ls\\u2028ps\\u2029"},
      {"航班 CA1234 \xC3\xA9", "航班 CA1234 \xC3\xA9"},
  };
  for (const TCase& c : Cases) {
    TAppLog::Warn("voices", "the voice a binding points at is gone: %s", c.Value);
    const TLogEntry Entry = TAppLog::Entries().back();
    EXPECT_EQ(Entry.Text, "the voice a binding points at is gone: " + c.Logged);
    EXPECT_EQ(Entry.Format().find_first_of("\r\n"), std::string::npos);
  }
}

TEST_F(LogTest, FormatShowsTimeLevelSourceAndText) {
  std::tm Local{};
  Local.tm_year = 126;
  Local.tm_mon = 0;
  Local.tm_mday = 2;
  Local.tm_hour = 9;
  Local.tm_min = 5;
  Local.tm_sec = 7;
  Local.tm_isdst = -1;
  const auto Time =
      std::chrono::system_clock::from_time_t(std::mktime(&Local)) + std::chrono::milliseconds(45);
  const TLogEntry Entry{Time, llError, "http", "port taken"};
  EXPECT_EQ(Entry.Format(), "09:05:07.045 [ERROR] http: port taken");
  EXPECT_EQ(LevelName(static_cast<TLogLevel>(7)), "ERROR");
  EXPECT_EQ(LevelName(llDebug), "DEBUG");
}

TEST_F(LogTest, HooksRunOnTheDispatcherInOrderAndSurviveClear) {
  auto Dispatcher = std::make_shared<TThreadDispatcher>();
  TAppLog::SetDispatcher(Dispatcher);
  std::vector<std::string> Seen;
  std::vector<std::thread::id> Threads;
  TAppLog::SetOnEntry([&](const TLogEntry& e) {
    Seen.push_back(e.Text);
    Threads.push_back(std::this_thread::get_id());
  });
  int Requests = 0;
  TAppLog::SetOnRequest([&](const TRequestLog& r) { Requests += r.Status; });
  TAppLog::Info("app", "one");
  TAppLog::Info("app", "two");
  TRequestLog Record;
  Record.Status = 200;
  TAppLog::Request(Record);
  TAppLog::Clear();
  Dispatcher->Flush();
  ASSERT_EQ(Seen, (std::vector<std::string>{"one", "two"}));
  EXPECT_NE(Threads.front(), std::this_thread::get_id());
  EXPECT_EQ(Requests, 200);
  EXPECT_TRUE(TAppLog::Entries().empty());
}

TEST_F(LogTest, HookClearedBeforeDeliveryIsNotCalled) {
  auto Dispatcher = std::make_shared<TThreadDispatcher>();
  TAppLog::SetDispatcher(Dispatcher);
  int Calls = 0;
  std::promise<void> Gate;
  std::shared_future<void> Open = Gate.get_future().share();
  Dispatcher->Post([Open] { Open.wait(); });
  TAppLog::SetOnEntry([&](const TLogEntry&) { ++Calls; });
  TAppLog::Info("app", "queued");
  TAppLog::SetOnEntry(nullptr);
  Gate.set_value();
  Dispatcher->Flush();
  EXPECT_EQ(Calls, 0);
}

TEST_F(LogTest, ManyThreadsLogAtOnce) {
  std::vector<std::thread> Workers;
  for (int t = 0; t < 8; ++t)
    Workers.emplace_back([t] {
      for (int i = 0; i < 500; ++i)
        TAppLog::Info("queue", "t%d i%d", t, i);
    });
  for (auto& w : Workers)
    w.join();
  EXPECT_EQ(TAppLog::Entries().size(), TAppLog::Capacity);
}

}  // namespace
}  // namespace quavox
