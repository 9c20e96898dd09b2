// Players, downloaders and proxies that are not ours against the real quavoxd, each skipped
// when it is not installed: GStreamer plays Ogg Opus and Ogg Vorbis over HTTP to the end
// (it asks for byte ranges), mpv starts five seconds in, wget resumes a download, and a
// reverse proxy with Debian's default nginx buffers passes the longest texts and streams.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Daemon.h"
#include "core/Text.h"
#include "http/Http.h"
#include "platform/Loopback.h"
#include "support/TempDir.h"

namespace quavox::test {
namespace {

constexpr int MaxTextLength = 600;
constexpr const char* Line =
    "/v1/tts?language=en&text=Flight%20CA1234%20to%20Beijing%20is%20now%20boarding%20at%20gate"
    "%2023.%20Passengers%20please%20have%20your%20boarding%20pass%20and%20passport%20ready.";

// Standard output and error of a shell command, and whether it succeeded.
bool RunShell(const std::string& ACommand, std::string* AOutput = nullptr) {
  FILE* Pipe = ::popen((ACommand + " 2>&1").c_str(), "r");
  if (Pipe == nullptr) return false;
  std::string Out;
  char Buffer[4096];
  for (size_t n; (n = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0;)
    Out.append(Buffer, n);
  if (AOutput != nullptr) *AOutput = Out;
  return ::pclose(Pipe) == 0;
}

bool Have(const std::string& AProgram) {
  return RunShell("command -v " + AProgram + " >/dev/null");
}

std::string FileText(const std::string& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::ostringstream Out;
  Out << In.rdbuf();
  return Out.str();
}

class PlayersDaemon : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Daemon = new TDaemon(
        "players",
        TJson{{"synthesis", {{"autoDefaultVoice", true}, {"maxTextLength", MaxTextLength}}}});
    ShipTextTables(*Daemon);
    ASSERT_TRUE(Daemon->Start()) << Daemon->Stderr();
  }
  static void TearDownTestSuite() {
    delete Daemon;
    Daemon = nullptr;
  }
  std::string Url(const std::string& ATarget) const {
    return "http://127.0.0.1:" + std::to_string(Daemon->Port()) + ATarget;
  }
  // Seconds of the line's audio, from its WAV.
  double LineSeconds() const {
    httplib::Client Cli = Daemon->Client();
    const auto Wav = Cli.Get(Line);
    if (!Wav || Wav->status != 200 || Wav->body.size() < 44) return 0;
    const auto* h = reinterpret_cast<const uint8_t*>(Wav->body.data());
    const uint32_t Rate = h[24] | h[25] << 8 | h[26] << 16 | static_cast<uint32_t>(h[27]) << 24;
    return (Wav->body.size() - 44) / 2.0 / Rate;
  }
  static TDaemon* Daemon;
  TTempDir Dir{"quavox-players"};
};
TDaemon* PlayersDaemon::Daemon = nullptr;

TEST_F(PlayersDaemon, GStreamerPlaysOpusAndOggToTheEnd) {
  if (!Have("gst-launch-1.0") || !RunShell("gst-inspect-1.0 souphttpsrc >/dev/null"))
    GTEST_SKIP() << "GStreamer with its HTTP source is not installed";
  const double Seconds = LineSeconds();
  ASSERT_GT(Seconds, 1.0);
  for (const std::string Format : {"opus", "ogg"}) {
    const std::string Raw = Dir.Path() + "gst-" + Format + ".raw";
    std::string Output;
    EXPECT_TRUE(RunShell("timeout 60 gst-launch-1.0 -q uridecodebin uri='" +
                             Url(std::string(Line) + "&format=" + Format) +
                             "' ! audioconvert ! audioresample ! "
                             "audio/x-raw,format=S16LE,channels=1,rate=16000 ! filesink location=" +
                             Raw,
                         &Output))
        << Format << ": " << Output;
    EXPECT_NEAR(FileText(Raw).size() / 32000.0, Seconds, 0.1) << Format;
  }
}

TEST_F(PlayersDaemon, MpvStartsFiveSecondsIn) {
  if (!Have("mpv") || !Have("ffprobe")) GTEST_SKIP() << "mpv or ffprobe is not installed";
  const double Seconds = LineSeconds();
  ASSERT_GT(Seconds, 6.0);
  for (const std::string Format : {"wav", "opus", "mp3"}) {
    const std::string Played = Dir.Path() + "mpv-" + Format + ".wav";
    std::string Output;
    EXPECT_TRUE(RunShell(
        "timeout 60 mpv --no-config --really-quiet --vo=null --ao=pcm --ao-pcm-file=" + Played +
            " --start=5 '" + Url(std::string(Line) + "&format=" + Format) + "'",
        &Output))
        << Format << ": " << Output;
    std::string Duration;
    ASSERT_TRUE(
        RunShell("ffprobe -v error -show_entries format=duration -of csv=p=0 " + Played, &Duration))
        << Duration;
    EXPECT_NEAR(std::atof(Duration.c_str()), Seconds - 5, 0.1) << Format;
  }
}

TEST_F(PlayersDaemon, WgetResumesADownload) {
  if (!Have("wget")) GTEST_SKIP() << "wget is not installed";
  httplib::Client Cli = Daemon->Client();
  const std::string Target = std::string(Line) + "&format=mp3";
  const auto Whole = Cli.Get(Target.c_str());
  ASSERT_TRUE(Whole && Whole->status == 200);
  const std::string File = Dir.Path() + "resumed.mp3";
  std::ofstream(File, std::ios::binary) << Whole->body.substr(0, 1000);
  std::string Output;
  EXPECT_TRUE(RunShell("timeout 60 wget -S -c -O " + File + " '" + Url(Target) + "'", &Output))
      << Output;
  EXPECT_NE(Output.find("206 Partial Content"), std::string::npos) << Output;
  EXPECT_EQ(FileText(File), Whole->body);
}

// nginx with its built-in buffer sizes (one memory page for the reply's header block),
// started from a configuration of its own and stopped again.
class TNginx {
 public:
  TNginx(const std::string& APrefix, int AUpstream) : FPrefix(APrefix) {
    FPort = UnusedLoopbackPort();
    // The workers run as another user when nginx starts as root; they keep the bodies they
    // buffer in the prefix.
    std::filesystem::permissions(
        FPrefix, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                     std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                     std::filesystem::perms::others_exec);
    std::ofstream(FPrefix + "nginx.conf")
        << "worker_processes 1;\npid " << FPrefix << "nginx.pid;\n"
        << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
        << "  client_body_temp_path " << FPrefix << "body;\n  proxy_temp_path " << FPrefix
        << "proxy;\n  fastcgi_temp_path " << FPrefix << "fastcgi;\n  uwsgi_temp_path " << FPrefix
        << "uwsgi;\n  scgi_temp_path " << FPrefix << "scgi;\n"
        << "  server {\n    listen 127.0.0.1:" << FPort
        << ";\n    location / { proxy_pass http://127.0.0.1:" << AUpstream << "; }\n  }\n}\n";
    FStarted = RunShell(Command(""), &FOutput);
  }
  ~TNginx() {
    if (FStarted) RunShell(Command("-s stop"));
  }
  bool Started() const { return FStarted; }
  const std::string& Output() const { return FOutput; }
  httplib::Client Client() const {
    httplib::Client Cli("127.0.0.1", FPort);
    Cli.set_read_timeout(120, 0);
    return Cli;
  }

 private:
  std::string Command(const std::string& ASignal) const {
    return "nginx -p " + FPrefix + " -c " + FPrefix + "nginx.conf -e " + FPrefix + "error.log " +
           ASignal;
  }
  std::string FPrefix;
  int FPort = 0;
  bool FStarted = false;
  std::string FOutput;
};

TEST_F(PlayersDaemon, DefaultNginxProxyPassesTheLongestTextsAndStreams) {
  if (!Have("nginx")) GTEST_SKIP() << "nginx is not installed";
  TNginx Proxy(Dir.Path(), Daemon->Port());
  ASSERT_TRUE(Proxy.Started()) << Proxy.Output();
  httplib::Client Cli = Proxy.Client();
  // A flight number for the rules to rewrite, so the spoken text is sent back in a header,
  // then plain words up to the limit (with room for what the rewrite adds).
  const auto Longest = [](const std::string& AFlight, const std::string& APiece) {
    std::string Text = AFlight;
    while (Utf8ToUtf16(Text + APiece).size() <= MaxTextLength - 40)
      Text += APiece;
    return Text;
  };
  const std::vector<std::pair<std::string, const char*>> Texts = {
      {Longest("CA1234 ", "请旅客注意"), "zh"},
      {Longest("NH0961 ", "ご注意ください"), "ja"},
      {Longest("CA1234 ", "attention please "), "en"}};
  for (const auto& [Text, Language] : Texts) {
    const auto Res =
        Cli.Post("/v1/tts", JsonDumpAscii(TJson{{"text", Text}, {"language", Language}}),
                 "application/json");
    ASSERT_TRUE(Res) << Language;
    EXPECT_EQ(Res->status, 200) << Language << " " << Res->body.substr(0, 200);
    EXPECT_FALSE(Res->get_header_value("X-Quavox-Spoken").empty()) << Language;
    EXPECT_EQ(Res->get_header_value("Content-Length"), std::to_string(Res->body.size()));
  }
  const std::string Speech = TJson{
      {"input", "Boarding now. Gate B12. Thank you."},
      {"voice", "alloy"},
      {"response_format", "pcm"},
      {"stream_format", "audio"}}.dump();
  const auto Streamed = Cli.Post("/v1/audio/speech", Speech, "application/json");
  const auto Direct = Daemon->Client().Post("/v1/audio/speech", Speech, "application/json");
  ASSERT_TRUE(Streamed && Direct);
  EXPECT_EQ(Streamed->status, 200);
  EXPECT_GT(Streamed->body.size(), 0u);
  EXPECT_EQ(Streamed->body, Direct->body);
}

}  // namespace
}  // namespace quavox::test
