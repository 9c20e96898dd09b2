// The access log's lines, its rotation by size and its reopening, and the Prometheus
// exposition of the counters.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "http/AccessLog.h"
#include "http/HttpMetrics.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& AFileName) {
  std::ifstream In(AFileName, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

TAccessRecord Record(std::string APath) {
  TAccessRecord R;
  R.Time = std::chrono::system_clock::now();
  R.Peer = "127.0.0.1";
  R.Method = "GET";
  R.Path = std::move(APath);
  R.Status = 200;
  return R;
}

TEST(AccessLogLine, IsOneLineOfJsonWhateverThePath) {
  TAccessRecord R = Record(std::string("/v1/\n\x01\xff\"x", 9));
  R.Cache = "hit";
  R.EngineMs = 0;
  R.DurationUs = 1234;
  const std::string Line = AccessLogLine(R);
  EXPECT_EQ(Line.find('\n'), std::string::npos);
  const auto Json = ParseJsonObject(Line);
  ASSERT_TRUE(Json.has_value()) << Line;
  EXPECT_EQ(JsonString(&*Json, "cache", ""), "hit");
  EXPECT_EQ(JsonInteger(&*Json, "engine_ms", -1), 0);
  EXPECT_DOUBLE_EQ(JsonFloat(&*Json, "ms", 0), 1.23);
  EXPECT_FALSE(Json->contains("voice"));
}

TEST(AccessLogFile, RotatesBySizeAndReopensAfterAMove) {
  TTempDir Dir("quavox-access");
  const std::string File = Dir.Path() + "logs/access.log";
  const std::size_t LineBytes = AccessLogLine(Record("/v1/stats")).size() + 1;
  TAccessLog& Log = TAccessLog::Instance();
  Log.Configure(TAccessLog::atFile, File, LineBytes * 3);
  for (int i = 0; i < 3 * (TAccessLog::KeptFiles + 2); ++i)
    Log.Write(Record("/v1/stats"));
  EXPECT_LE(fs::file_size(File), LineBytes * 3);
  for (int i = 1; i <= TAccessLog::KeptFiles; ++i)
    EXPECT_TRUE(fs::exists(File + "." + std::to_string(i))) << i;
  EXPECT_FALSE(fs::exists(File + "." + std::to_string(TAccessLog::KeptFiles + 1)));

  fs::rename(File, File + ".moved");
  Log.Reopen();
  Log.Write(Record("/after"));
  EXPECT_NE(ReadText(File).find("/after"), std::string::npos);
  EXPECT_EQ(ReadText(File + ".moved").find("/after"), std::string::npos);

  // Truncated by a tool: the next line starts at the new end, not at the old offset.
  fs::resize_file(File, 0);
  Log.Write(Record("/truncated"));
  EXPECT_EQ(ReadText(File).rfind("{", 0), 0u);
  Log.Configure(TAccessLog::atOff, {}, 0);
}

// Lines are written outside the log's lock: threads writing at once while the file is
// moved away and reopened still leave every line whole, in the old file or the new one.
TEST(AccessLogFile, KeepsEveryLineWholeWhileThreadsWriteAcrossAReopen) {
  TTempDir Dir("quavox-access");
  const std::string File = Dir.Path() + "logs/access.log";
  TAccessLog& Log = TAccessLog::Instance();
  Log.Configure(TAccessLog::atFile, File, 0);
  constexpr int Writers = 4;
  constexpr int LinesEach = 200;
  std::vector<std::thread> Threads;
  for (int w = 0; w < Writers; ++w)
    Threads.emplace_back([&Log, w] {
      for (int i = 0; i < LinesEach; ++i)
        Log.Write(Record("/writer/" + std::to_string(w) + std::string(i % 7 * 300, 'x')));
    });
  fs::rename(File, File + ".moved");
  Log.Reopen();
  for (std::thread& Thread : Threads)
    Thread.join();
  Log.Configure(TAccessLog::atOff, {}, 0);

  std::istringstream Lines(ReadText(File + ".moved") + ReadText(File));
  int Count = 0;
  for (std::string Line; std::getline(Lines, Line); ++Count)
    EXPECT_TRUE(ParseJsonObject(Line).has_value()) << Line.substr(0, 80);
  EXPECT_EQ(Count, Writers * LinesEach);
}

TEST(AccessLogTarget, AutoFollowsTheJournal) {
  struct TCase {
    const char* Setting;
    bool Journal;
    TAccessLog::TTarget Target;
  };
  const TCase Cases[] = {
      {"auto", false, TAccessLog::atFile}, {"auto", true, TAccessLog::atStderr},
      {"file", true, TAccessLog::atFile},  {"stderr", false, TAccessLog::atStderr},
      {"off", true, TAccessLog::atOff},    {"nonsense", false, TAccessLog::atFile}};
  for (const TCase& Case : Cases)
    EXPECT_EQ(TAccessLog::TargetOf(Case.Setting, Case.Journal), Case.Target) << Case.Setting;
}

TEST(Metrics, HistogramBucketsAreCumulativeAndAgreeWithTheCount) {
  TLatencyHistogram Histogram;
  const std::vector<int64_t> Microseconds = {1000, 5000, 5001, 2'000'000, 3'600'000'000};
  for (const int64_t Us : Microseconds)
    Histogram.Observe(Us);
  std::string Text;
  Histogram.Render(Text, "x_seconds", "help");
  EXPECT_NE(Text.find("x_seconds_bucket{le=\"0.005\"} 2\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("x_seconds_bucket{le=\"0.01\"} 3\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("x_seconds_bucket{le=\"2.5\"} 4\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("x_seconds_bucket{le=\"+Inf\"} 5\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("x_seconds_count 5\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("x_seconds_sum 3602.011001\n"), std::string::npos) << Text;
}

TEST(Metrics, LabelValuesAreEscaped) {
  EXPECT_EQ(EscapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  THttpMetrics::CountRefusal("odd \"reason\"");
  const std::string Text = THttpMetrics::Render({}, {});
  EXPECT_NE(Text.find("quavox_http_refusals_total{reason=\"odd \\\"reason\\\"\"} 1\n"),
            std::string::npos);
}

}  // namespace
}  // namespace quavox
