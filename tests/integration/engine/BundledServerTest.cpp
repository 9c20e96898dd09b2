// The bundled inference server engine/s2 as the supervisor meets it: the real program from
// the build started as a child on a free loopback port with the real voice file, asked
// over HTTP with the multipart form of a generate request, its log read from the file its
// standard error goes to.
#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "audio/Wav.h"
#include "platform/Loopback.h"
#include "support/TempDir.h"

extern char** environ;

namespace quavox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string ServerPath = std::string(QUAVOX_BIN_DIR) + "/engine/s2";
const std::string ModelPath = std::string(QUAVOX_BIN_DIR) + "/models/quavox-espeak.gguf";
// espeak-ng's rate, and flite's own for English (its voices speak at 16 kHz).
const int EspeakRate = 22050;
const int EnglishRate = 16000;

std::string ReadText(const std::string& APath) {
  std::ifstream In(APath, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(In)), {});
}

// A child process with standard output and error in a log file; killed when dropped.
class TChild {
 public:
  TChild(const std::string& AProgram, const std::vector<std::string>& AArgs,
         const std::string& ALogPath, bool ASearchPath = false) {
    std::vector<char*> Argv;
    std::vector<std::string> All{AProgram};
    All.insert(All.end(), AArgs.begin(), AArgs.end());
    for (std::string& a : All)
      Argv.push_back(a.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, ALogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    const int r =
        ASearchPath ? posix_spawnp(&FPid, AProgram.c_str(), &Actions, nullptr, Argv.data(), environ)
                    : posix_spawn(&FPid, AProgram.c_str(), &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (r != 0) FPid = -1;
  }
  ~TChild() {
    if (FPid > 0 && !FDone) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  bool Started() const { return FPid > 0; }
  void Signal(int ASignal) const { ::kill(FPid, ASignal); }
  pid_t Pid() const { return FPid; }

  // The wait status once the child has ended within the time given, else nothing.
  std::optional<int> Wait(std::chrono::milliseconds ALimit = 20s) {
    const auto Until = std::chrono::steady_clock::now() + ALimit;
    while (!FDone) {
      int Status = 0;
      if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
        FDone = true;
        FStatus = Status;
        break;
      }
      if (std::chrono::steady_clock::now() > Until) return std::nullopt;
      std::this_thread::sleep_for(2ms);
    }
    return FStatus;
  }
  bool Running() {
    if (FDone) return false;
    int Status = 0;
    if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
      FDone = true;
      FStatus = Status;
    }
    return !FDone;
  }

 private:
  pid_t FPid = -1;
  bool FDone = false;
  int FStatus = 0;
};

// A running server; Port is where it listens.
class TServer {
 public:
  // Starts engine/s2 with the standard command line plus AExtra and waits until it accepts
  // connections on its port (or AListenPort, when the extra arguments move it there); a port
  // taken by somebody else between choosing and binding it is simply chosen again.
  explicit TServer(const std::vector<std::string>& AExtra = {}, int AListenPort = 0) {
    for (int Attempt = 0; Attempt < 5 && !FChild; ++Attempt) {
      Port = UnusedLoopbackPort();
      std::vector<std::string> Args{"--model",   ModelPath, "--server",          "--host",
                                    "127.0.0.1", "--port",  std::to_string(Port)};
      Args.insert(Args.end(), AExtra.begin(), AExtra.end());
      FChild = std::make_unique<TChild>(ServerPath, Args, LogPath());
      const int Listen = AListenPort > 0 ? AListenPort : Port;
      const auto Until = std::chrono::steady_clock::now() + 30s;
      while (FChild->Running() && !PortAccepts(Listen, std::chrono::milliseconds(500)) &&
             std::chrono::steady_clock::now() < Until)
        std::this_thread::sleep_for(2ms);
      if (!FChild->Running() && Log().find("cannot listen") != std::string::npos) FChild.reset();
    }
  }
  bool Running() { return FChild && FChild->Running(); }
  pid_t Pid() const { return FChild ? FChild->Pid() : -1; }
  bool Ready() {
    return FChild && FChild->Running() && PortAccepts(Port, std::chrono::milliseconds(500));
  }
  std::string LogPath() const { return FDir.Path() + "s2-engine.log"; }
  std::string Log() const { return ReadText(LogPath()); }
  // The log line of the latest generate request.
  std::string LastRequestLine() const {
    const std::string Text = Log();
    const size_t At = Text.rfind("POST /generate");
    return At == std::string::npos ? "" : Text.substr(At, Text.find('\n', At) - At);
  }

  int Port = 0;

 private:
  const TTempDir FDir{"qx-s2srv"};
  std::unique_ptr<TChild> FChild;
};

struct TReply {
  int Status = 0;
  std::string Body;
};

struct TRequest {
  std::string Text;
  std::string Params =
      "{\"max_new_tokens\":1024,\"temperature\":0.58,\"top_p\":0.8,"
      "\"top_k\":40,\"repetition_penalty\":1.1}";
  std::optional<std::string> Voice;
  std::string Reference;  // sent as the file part "reference" unless Voice is set
  std::string ReferenceName = "reference.wav";
  std::string ReferenceText;

  TRequest& WithParams(std::string AParams) {
    Params = std::move(AParams);
    return *this;
  }
  TRequest& WithVoice(std::string AVoice) {
    Voice = std::move(AVoice);
    return *this;
  }
  TRequest& WithReference(std::string AAudio, std::string AText = "",
                          std::string AName = "reference.wav") {
    Reference = std::move(AAudio);
    ReferenceText = std::move(AText);
    ReferenceName = std::move(AName);
    return *this;
  }
};

TRequest Say(std::string AText) {
  TRequest r;
  r.Text = std::move(AText);
  return r;
}

// The parts in the order the supervisor sends them.
TReply Generate(int APort, const TRequest& AReq) {
  httplib::MultipartFormDataItems Items{
      {"text", AReq.Text, "", "text/plain; charset=utf-8"},
      {"params", AReq.Params, "", "application/json"},
  };
  if (AReq.Voice) {
    Items.push_back({"voice", *AReq.Voice, "", "text/plain"});
  } else {
    Items.push_back({"reference", AReq.Reference, AReq.ReferenceName, "application/octet-stream"});
    Items.push_back({"reference_text", AReq.ReferenceText, "", "text/plain; charset=utf-8"});
  }
  httplib::Client Client("127.0.0.1", APort);
  Client.set_read_timeout(60s);
  const auto r = Client.Post("/generate", Items);
  return r ? TReply{r->status, r->body} : TReply{};
}

TReply PostRaw(int APort, const std::string& APath, const std::string& ABody,
               const std::string& AType) {
  httplib::Client Client("127.0.0.1", APort);
  Client.set_read_timeout(60s);
  const auto r = Client.Post(APath.c_str(), ABody, AType.c_str());
  return r ? TReply{r->status, r->body} : TReply{};
}

TPcmBuffer Pcm(const std::string& AWav) {
  TPcmBuffer p;
  if (!WavToPcm(
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(AWav.data()), AWav.size()), p))
    p = TPcmBuffer();
  return p;
}

double Rms(const TPcmBuffer& APcm) {
  double Sum = 0;
  for (float s : APcm.Data)
    Sum += static_cast<double>(s) * s;
  return APcm.Data.empty() ? 0 : std::sqrt(Sum / static_cast<double>(APcm.Data.size()));
}

// Median pitch of the loud frames, by plain autocorrelation; independent of the
// server's own estimator on purpose.
double MedianPitch(const TPcmBuffer& APcm) {
  const int Rate = APcm.SampleRate, Window = Rate / 25, Hop = Rate / 50;
  const int MinLag = Rate / 400, MaxLag = Rate / 60;
  const std::vector<float>& x = APcm.Data;
  double Loudest = 0;
  for (size_t f = 0; f + Window <= x.size(); f += Hop) {
    double e = 0;
    for (int n = 0; n < Window; ++n)
      e += x[f + n] * x[f + n];
    Loudest = std::max(Loudest, e);
  }
  std::vector<double> Pitches;
  for (size_t f = 0; f + Window + MaxLag <= x.size(); f += Hop) {
    double e0 = 0;
    for (int n = 0; n < Window; ++n)
      e0 += x[f + n] * x[f + n];
    if (e0 < 0.05 * Loudest) continue;
    double Best = 0;
    int BestLag = 0;
    for (int Lag = MinLag; Lag <= MaxLag; ++Lag) {
      double c = 0, e1 = 0;
      for (int n = 0; n < Window; ++n) {
        c += x[f + n] * x[f + n + Lag];
        e1 += x[f + n + Lag] * x[f + n + Lag];
      }
      const double r = c / std::sqrt(e0 * e1 + 1e-12);
      // A period's multiples score nearly as well; keep the first clear peak.
      if (r > Best * 1.1) {
        Best = r;
        BestLag = Lag;
      }
    }
    if (Best > 0.5) Pitches.push_back(static_cast<double>(Rate) / BestLag);
  }
  if (Pitches.empty()) return 0;
  std::nth_element(Pitches.begin(), Pitches.begin() + Pitches.size() / 2, Pitches.end());
  return Pitches[Pitches.size() / 2];
}

// A voice-like test recording: a buzz rich in harmonics at AF0, four syllables a second.
std::string SyntheticVoiceWav(double AF0, double ASeconds = 2.5) {
  TPcmBuffer p;
  p.SampleRate = EspeakRate;
  const auto n = static_cast<size_t>(ASeconds * p.SampleRate);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / p.SampleRate;
    double s = 0;
    for (int k = 1; k <= 12; ++k)
      s += std::sin(2 * M_PI * AF0 * k * t) / k;
    const double Syllable = std::max(0.0, std::sin(2 * M_PI * 4 * t));
    p.Data.push_back(static_cast<float>(0.25 * s * Syllable));
  }
  const TBytes b = PcmToWav(p);
  return std::string(b.begin(), b.end());
}

void ExpectSpeech(const TReply& AReply, const std::string& AWhat, int ARate) {
  ASSERT_EQ(AReply.Status, 200) << AWhat << ": " << AReply.Body;
  const TPcmBuffer p = Pcm(AReply.Body);
  EXPECT_EQ(p.SampleRate, ARate) << AWhat;
  EXPECT_GT(p.DurationMs(), 400) << AWhat;
  EXPECT_GT(Rms(p), 0.02) << AWhat << ": no speech energy";
}

// One line of text: the supervisor shows the body to its user as it is.
void ExpectOneLine(const TReply& AReply) {
  EXPECT_FALSE(AReply.Body.empty());
  EXPECT_EQ(AReply.Body.find_first_of("\r\n"), std::string::npos) << AReply.Body;
}

class BundledServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(fs::exists(ServerPath)) << ServerPath << " is missing: build the s2 target";
    ASSERT_TRUE(fs::exists(ModelPath)) << ModelPath << " is missing: build the s2 target";
    Shared = new TServer();
  }
  static void TearDownTestSuite() {
    delete Shared;
    Shared = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(Shared->Ready()) << Shared->Log(); }

  static TServer* Shared;
};

TServer* BundledServer::Shared = nullptr;

TEST_F(BundledServer, SpeaksChineseJapaneseAndEnglish) {
  const std::pair<const char*, int> Cases[] = {
      {"各位旅客请注意,本次航班即将起飞,请系好安全带。", EspeakRate},
      {"ご搭乗のみなさま、まもなく出発いたします。", EspeakRate},
      {"Ladies and gentlemen, we are now ready for departure.", EnglishRate},
  };
  for (const auto& [Text, Rate] : Cases)
    ExpectSpeech(Generate(Shared->Port, Say(Text)), Text, Rate);
}

TEST_F(BundledServer, TellsTheLanguageFromTheText) {
  const std::pair<const char*, const char*> Cases[] = {
      {"zh", "各位旅客请注意,本次航班即将起飞。"},
      {"ja", "ご搭乗のみなさま、まもなく出発いたします。"},
      {"en", "Ladies and gentlemen, we are now ready for departure."},
      {"ko", "승객 여러분, 잠시 후 출발하겠습니다."},
      {"es", "Señoras y señores, el vuelo está listo para la salida."},
      {"pt", "Senhoras e senhores, o voo está pronto para a partida."},
      {"fr", "Mesdames et messieurs, le vol est prêt au départ."},
      {"de", "Meine Damen und Herren, der Flug ist bereit zum Abflug."},
      {"ru", "Уважаемые пассажиры, наш самолёт готов к вылету."},
      {"ar", "السيدات والسادة، الرحلة جاهزة للإقلاع."},
      {"it", "Signore e signori, il volo è pronto per la partenza."},
      {"nl", "Dames en heren, de vlucht is klaar voor vertrek."},
      {"pl", "Szanowni państwo, samolot jest gotowy do startu."},
      {"tr", "Sayın yolcular, uçağımız kalkışa hazırdır."},
      {"vi", "Kính thưa quý khách, chuyến bay đã sẵn sàng cất cánh."},
      {"th", "ท่านผู้โดยสารโปรดทราบ เครื่องบินพร้อมออกเดินทางแล้ว"},
      {"id", "Para penumpang yang terhormat, pesawat siap berangkat."},
      {"hi", "देवियो और सज्जनो, विमान उड़ान के लिए तैयार है।"},
      {"sv", "Mina damer och herrar, flyget är redo för avgång."},
      {"da", "Mine damer og herrer, flyet er klar til afgang, tak."},
      {"no", "Mine damer og herrer, flyet er klart for avgang, takk."},
      {"fi", "Hyvät naiset ja herrat, lentomme on valmis lähtöön."},
      {"cs", "Vážení cestující, letadlo je připraveno k odletu."},
      {"el", "Κυρίες και κύριοι, η πτήση είναι έτοιμη για αναχώρηση."},
      {"he", "גבירותיי ורבותיי, הטיסה מוכנה להמראה."},
      {"uk", "Шановні пасажири, наш літак готовий до вильоту."},
      {"ro", "Doamnelor și domnilor, zborul este gata de plecare."},
      {"hu", "Hölgyeim és uraim, a járat indulásra kész."},
  };
  for (const auto& [Code, Text] : Cases) {
    ExpectSpeech(Generate(Shared->Port, Say(Text)), Text,
                 Code == std::string("en") ? EnglishRate : EspeakRate);
    EXPECT_NE(Shared->LastRequestLine().find(std::string("lang=") + Code + " "), std::string::npos)
        << Code << ": " << Shared->LastRequestLine();
  }
}

TEST_F(BundledServer, StyleHintIsNotSpokenAndChoosesTheGender) {
  struct TCase {
    const char* Text;
    const char* Voice;
    int Rate;
  };
  const TCase Cases[] = {
      {"[a calm adult female voice, clear professional broadcast tone] Welcome on board.",
       "voice=slt ", EnglishRate},
      {"[a calm adult male voice, clear professional broadcast tone] Welcome on board.",
       "voice=rms ", EnglishRate},
      {"[a calm neutral adult voice] Welcome on board.", "voice=slt ", EnglishRate},
      {"[女声] 欢迎登机。", "voice=cmn+f3 ", EspeakRate},
      {"[男声] 欢迎登机。", "voice=cmn+m3 ", EspeakRate},
  };
  for (const auto& [Text, Voice, Rate] : Cases) {
    ExpectSpeech(Generate(Shared->Port, Say(Text)), Text, Rate);
    EXPECT_NE(Shared->LastRequestLine().find(Voice), std::string::npos)
        << Text << ": " << Shared->LastRequestLine();
  }
  // The hint is not read out: the same words without it take as long.
  const TReply Hinted = Generate(Shared->Port, Say("[a calm neutral adult voice] Welcome."));
  const TReply Plain = Generate(Shared->Port, Say("Welcome."));
  EXPECT_TRUE(Hinted.Body == Plain.Body);
}

// Without reference, profile or seed the server speaks exactly like espeak-ng's command line
// in every language but English: Chinese and Japanese stay as they always were.
TEST_F(BundledServer, DefaultVoiceEqualsTheEspeakCommandLine) {
  const std::pair<const char*, const char*> Cases[] = {
      {"cmn", "各位旅客请注意,本次航班即将起飞,请系好安全带,收起小桌板。"},
      {"ja", "ご搭乗のみなさま、まもなく出発いたします。"},
      {"de", "Meine Damen und Herren, der Flug ist bereit zum Abflug."},
  };
  const TTempDir Dir("qx-s2srv");
  for (const auto& [Voice, Text] : Cases) {
    const std::string Wav = Dir.Path() + Voice + ".wav";
    TChild Espeak("espeak-ng", {"-v", Voice, "-w", Wav, Text}, Dir.Path() + "espeak.log", true);
    ASSERT_TRUE(Espeak.Started());
    const std::optional<int> Status = Espeak.Wait();
    ASSERT_TRUE(Status && WIFEXITED(*Status) && WEXITSTATUS(*Status) == 0) << Voice;
    const TPcmBuffer Want = Pcm(ReadText(Wav));
    ASSERT_FALSE(Want.IsEmpty()) << Voice;
    // Twice: the second request must not inherit anything from the first.
    for (int Round = 0; Round < 2; ++Round) {
      const TReply r = Generate(Shared->Port, Say(Text));
      ASSERT_EQ(r.Status, 200) << r.Body;
      const TPcmBuffer Got = Pcm(r.Body);
      EXPECT_EQ(Got.SampleRate, Want.SampleRate) << Voice;
      EXPECT_TRUE(Got.Data == Want.Data)
          << Voice << " round " << Round << ": " << Got.Data.size() << " vs " << Want.Data.size();
    }
  }
}

// What flite's command line says in AVoice, as WAV bytes; empty when it is not installed.
std::string FliteCommandLine(const std::string& AVoice, const std::string& AText,
                             const TTempDir& ADir) {
  const std::string Wav = ADir.Path() + AVoice + ".wav";
  TChild Flite("flite", {"-voice", AVoice, "-t", AText, "-o", Wav}, ADir.Path() + "flite.log",
               true);
  const std::optional<int> Status = Flite.Started() ? Flite.Wait() : std::nullopt;
  if (!Status || !WIFEXITED(*Status) || WEXITSTATUS(*Status) != 0) return {};
  return ReadText(Wav);
}

// English is flite's: the default female and male voices are flite's slt and rms as its
// command line speaks them, sample for sample at flite's own rate. So is a voice cloned from a line
// such a voice spoke (as the service's default voices are): the analysis of the reference
// cannot tell it from the flite voice, which is understood best at its own settings. Each
// case follows a line of the same voice at other settings, which must not carry over.
TEST_F(BundledServer, DefaultEnglishVoicesAreFlitesCommandLine) {
  const std::string Text = "Ladies and gentlemen, flight QV 123 is now boarding at gate 5.";
  const std::string Line =
      "Ladies and gentlemen, we are now ready for departure. Please fasten your seat belt and "
      "stow your tray table.";
  const TTempDir Dir("qx-s2srv");
  for (const char* Voice : {"slt", "rms"}) {
    const std::string Own = FliteCommandLine(Voice, Line, Dir);
    const std::string Want = FliteCommandLine(Voice, Text, Dir);
    if (Want.empty()) GTEST_SKIP() << "the flite command line is not installed here";
    const std::string Hint = Voice == std::string("slt") ? "[female] " : "[male] ";
    const std::pair<std::string, TRequest> Cases[] = {
        {"style hint", Say(Hint + Text)},
        {"cloned from its own line", Say(Text).WithReference(Own, Line)},
    };
    TRequest Other = Say(Hint + "Final call for flight QV 9.");
    Other.Params = "{\"seed\":7}";
    for (const auto& [What, Request] : Cases) {
      const TReply Before = Generate(Shared->Port, Other);
      ASSERT_EQ(Before.Status, 200) << Before.Body;
      ASSERT_EQ(Shared->LastRequestLine().find(" f0x=1.00 rangex=1.00 stretch=1.00 "),
                std::string::npos)
          << Shared->LastRequestLine();
      const TReply r = Generate(Shared->Port, Request);
      ASSERT_EQ(r.Status, 200) << What << ": " << r.Body;
      EXPECT_NE(Shared->LastRequestLine().find(std::string("voice=") + Voice +
                                               " f0x=1.00 rangex=1.00 stretch=1.00 "),
                std::string::npos)
          << What << ": " << Shared->LastRequestLine();
      const TPcmBuffer Got = Pcm(r.Body), Flite = Pcm(Want);
      EXPECT_EQ(Got.SampleRate, Flite.SampleRate) << Voice << ", " << What;
      EXPECT_TRUE(Got.Data == Flite.Data)
          << Voice << ", " << What << ": " << Got.Data.size() << " vs " << Flite.Data.size();
    }
  }
}

TEST_F(BundledServer, SeedGivesTheSameVoiceEveryTime) {
  auto WithSeed = [](int ASeed) {
    TRequest r = Say("[female] Flight QV 123 to Tokyo is now boarding at gate 5.");
    if (ASeed != 0) r.Params = "{\"temperature\":0.58,\"seed\":" + std::to_string(ASeed) + "}";
    return Generate(Shared->Port, r);
  };
  const TReply a = WithSeed(7), b = WithSeed(7), c = WithSeed(8), d = WithSeed(0);
  ExpectSpeech(a, "seed 7", EnglishRate);
  EXPECT_TRUE(a.Body == b.Body);
  EXPECT_TRUE(a.Body != c.Body);
  EXPECT_TRUE(a.Body != d.Body);
}

TEST_F(BundledServer, ReferencePitchCarriesOverToTheVoice) {
  const std::string Text = "Ladies and gentlemen, we are now ready for departure.";
  auto Cloned = [&](double AF0) {
    const TReply r =
        Generate(Shared->Port,
                 Say(Text).WithReference(SyntheticVoiceWav(AF0), "ba ba ba ba ba ba ba ba ba ba"));
    EXPECT_EQ(r.Status, 200) << r.Body;
    return std::make_pair(MedianPitch(Pcm(r.Body)), Shared->LastRequestLine());
  };
  struct TCase {
    double F0;
    const char* Voice;
  };
  // Each voice speaks near the reference's own pitch, not at its flite voice's.
  for (const TCase& c :
       {TCase{95, "voice=rms"}, TCase{150, "voice=slt"}, TCase{240, "voice=slt"}}) {
    const auto [Pitch, Line] = Cloned(c.F0);
    EXPECT_NEAR(Pitch, c.F0, c.F0 * 0.2) << Line;
    EXPECT_NE(Line.find(c.Voice), std::string::npos) << Line;
  }
}

// A reference travels with every request, but its speaker is measured once per distinct
// content: the recording, its file name and its transcript. The same content again is
// remembered and speaks exactly as before; a change in any of the three is measured anew.
TEST_F(BundledServer, ReferencesAreMeasuredOncePerContent) {
  TServer Fresh;  // nothing remembered yet
  ASSERT_TRUE(Fresh.Ready()) << Fresh.Log();
  const std::string Low = SyntheticVoiceWav(95), High = SyntheticVoiceWav(240);
  const std::string Transcript = "ba ba ba ba ba ba ba ba ba ba";
  struct TCase {
    const char* Title;
    const std::string& Audio;
    std::string Transcript;
    std::string Name;
    bool Remembered;
    const char* Voice;
  };
  const TCase Cases[] = {
      {"first low voice", Low, Transcript, "reference.wav", false, "voice=rms"},
      {"the same again", Low, Transcript, "reference.wav", true, "voice=rms"},
      {"another speaker, same name and transcript", High, Transcript, "reference.wav", false,
       "voice=slt"},
      {"the low voice with a shorter transcript", Low, "ba ba ba", "reference.wav", false,
       "voice=rms"},
      {"the low voice under another file name", Low, Transcript, "voice.wav", false, "voice=rms"},
      {"the first content once more", Low, Transcript, "reference.wav", true, "voice=rms"},
  };
  std::string First;
  for (const TCase& c : Cases) {
    const TReply r = Generate(Fresh.Port, Say("Flight QV 123 to Tokyo is now boarding.")
                                              .WithReference(c.Audio, c.Transcript, c.Name));
    ExpectSpeech(r, c.Title, EnglishRate);
    const std::string Line = Fresh.LastRequestLine();
    EXPECT_EQ(Line.find(" remembered ") != std::string::npos, c.Remembered)
        << c.Title << ": " << Line;
    EXPECT_NE(Line.find(c.Voice), std::string::npos) << c.Title << ": " << Line;
    if (First.empty()) First = r.Body;
    if (c.Remembered) {
      EXPECT_TRUE(r.Body == First) << c.Title;
    }
  }
}

TEST_F(BundledServer, Mp3ReferenceIsDecoded) {
  const TTempDir Dir("qx-s2srv");
  std::ofstream(Dir.Path() + "ref.wav", std::ios::binary) << SyntheticVoiceWav(240, 3);
  TChild Lame("lame", {"--quiet", Dir.Path() + "ref.wav", Dir.Path() + "ref.mp3"},
              Dir.Path() + "lame.log", true);
  const std::optional<int> Status = Lame.Started() ? Lame.Wait() : std::nullopt;
  if (!Status || !WIFEXITED(*Status) || WEXITSTATUS(*Status) != 0)
    GTEST_SKIP() << "lame cannot make the MP3 fixture here";
  const TReply r = Generate(
      Shared->Port, Say("Welcome on board.")
                        .WithReference(ReadText(Dir.Path() + "ref.mp3"), "", "reference.mp3"));
  ExpectSpeech(r, "mp3 reference", EnglishRate);
  EXPECT_NE(Shared->LastRequestLine().find("from=reference mp3"), std::string::npos)
      << Shared->LastRequestLine();
  EXPECT_NE(Shared->LastRequestLine().find("voice=slt"), std::string::npos)
      << Shared->LastRequestLine();
}

TEST_F(BundledServer, VoiceProfilesFromTheVoiceFile) {
  const TReply Calm = Generate(Shared->Port, Say("Welcome on board.").WithVoice("female-calm"));
  const TReply Deep = Generate(Shared->Port, Say("Welcome on board.").WithVoice("male-deep"));
  ExpectSpeech(Calm, "female-calm", EnglishRate);
  ExpectSpeech(Deep, "male-deep", EnglishRate);
  EXPECT_GT(MedianPitch(Pcm(Calm.Body)), MedianPitch(Pcm(Deep.Body)) * 1.5);
  const TReply Unknown = Generate(Shared->Port, Say("Welcome.").WithVoice("nobody"));
  EXPECT_EQ(Unknown.Status, 400);
  EXPECT_NE(Unknown.Body.find("unknown voice profile"), std::string::npos) << Unknown.Body;
}

TEST_F(BundledServer, BadRequestsGetAFourHundredAndALine) {
  const std::string Boundary = "qxBoundary";
  const std::string Multipart = "multipart/form-data; boundary=" + Boundary;
  auto Part = [&](const std::string& AName, const std::string& ABody) {
    return "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"" + AName + "\"\r\n\r\n" +
           ABody + "\r\n";
  };
  struct TCase {
    const char* What;
    TReply Reply;
    int Status;
    const char* Says;
  };
  const int P = Shared->Port;
  const TCase Cases[] = {
      {"no text part",
       PostRaw(P, "/generate", Part("params", "{}") + "--" + Boundary + "--\r\n", Multipart), 400,
       "no \"text\" part"},
      {"empty text", Generate(P, Say("")), 400, "nothing to speak"},
      {"only a style hint", Generate(P, Say("[female] ")), 400, "nothing to speak"},
      {"text not UTF-8", Generate(P, Say("caf\xE9 \xFF")), 400, "UTF-8"},
      {"text too long", Generate(P, Say(std::string(20001, 'a'))), 413, "longer"},
      {"cut-off multipart", PostRaw(P, "/generate", Part("text", "hello").substr(0, 30), Multipart),
       400, "multipart"},
      {"multipart without boundary", PostRaw(P, "/generate", "text=hello", "multipart/form-data"),
       400, ""},
      {"not multipart", PostRaw(P, "/generate", "text=hello", "application/x-www-form-urlencoded"),
       400, "not multipart"},
      {"params not JSON", Generate(P, Say("hello").WithParams("{\"seed\": 1")), 400, "params"},
      {"params an array", Generate(P, Say("hello").WithParams("[1]")), 400, "params"},
      {"seed not an integer", Generate(P, Say("hello").WithParams("{\"seed\": 1.5}")), 400, "seed"},
      {"temperature a string", Generate(P, Say("hello").WithParams("{\"temperature\":\"hot\"}")),
       400, "temperature"},
      {"reference is noise", Generate(P, Say("hello").WithReference(std::string(3000, '\x5A'))),
       400, "neither WAV nor MP3"},
      {"reference is a broken WAV",
       Generate(P, Say("hello").WithReference(std::string("RIFF\x10\0\0\0WAVEjunkjunk", 20))), 400,
       "cannot be read"},
      {"reference is Ogg", Generate(P, Say("hello").WithReference("OggS" + std::string(200, 0))),
       400, "neither WAV nor MP3"},
  };
  for (const TCase& c : Cases) {
    EXPECT_EQ(c.Reply.Status, c.Status) << c.What << ": " << c.Reply.Body;
    ExpectOneLine(c.Reply);
    EXPECT_NE(c.Reply.Body.find(c.Says), std::string::npos) << c.What << ": " << c.Reply.Body;
  }
  EXPECT_EQ(PostRaw(P, "/other", "x", "text/plain").Status, 404);
  httplib::Client Client("127.0.0.1", P);
  const auto Get = Client.Get("/generate");
  ASSERT_TRUE(Get);
  EXPECT_EQ(Get->status, 404);
  // Nothing of it hurt the server.
  ExpectSpeech(Generate(P, Say("Still here.")), "after bad requests", EnglishRate);
}

// Empty reference and no voice: the server chooses, and the reference text is ignored.
TEST_F(BundledServer, EmptyReferenceLetsTheServerChoose) {
  const TReply a = Generate(Shared->Port, Say("Welcome.").WithReference("", "anything"));
  const TReply b = Generate(Shared->Port, Say("Welcome."));
  ExpectSpeech(a, "empty reference", EnglishRate);
  EXPECT_TRUE(a.Body == b.Body);
  EXPECT_NE(Shared->LastRequestLine().find("from=default"), std::string::npos);
}

// The processes the server started itself.
std::vector<pid_t> ChildrenOf(pid_t APid) {
  std::vector<pid_t> Out;
  std::error_code Ignored;
  for (const auto& Task :
       fs::directory_iterator("/proc/" + std::to_string(APid) + "/task", Ignored)) {
    std::ifstream Children(Task.path() / "children");
    pid_t Child = 0;
    while (Children >> Child)
      Out.push_back(Child);
  }
  return Out;
}

// The process that holds espeak-ng may die (the out-of-memory killer, a stray kill); the
// server starts another one and keeps answering.
TEST(BundledServerStart, ReplacesItsSpeakerProcess) {
  TServer s;
  ASSERT_TRUE(s.Ready()) << s.Log();
  const TReply Before = Generate(s.Port, Say("Welcome on board."));
  ExpectSpeech(Before, "before", EnglishRate);
  const std::vector<pid_t> Speakers = ChildrenOf(s.Pid());
  ASSERT_EQ(Speakers.size(), 1u);
  ::kill(Speakers[0], SIGKILL);
  // Gone means a zombie until the server notices.
  auto State = [&] {
    const std::string Stat = ReadText("/proc/" + std::to_string(Speakers[0]) + "/stat");
    const size_t Close = Stat.rfind(')');
    return Close == std::string::npos || Close + 2 >= Stat.size() ? 'X' : Stat[Close + 2];
  };
  while (State() != 'Z' && State() != 'X')
    std::this_thread::sleep_for(2ms);
  const TReply After = Generate(s.Port, Say("Welcome on board."));
  ExpectSpeech(After, "after", EnglishRate);
  EXPECT_TRUE(After.Body == Before.Body);
}

struct TRun {
  std::optional<int> Status;
  std::string Log;
};

TRun RunServer(const std::vector<std::string>& AArgs) {
  const TTempDir Dir("qx-s2srv");
  TChild c(ServerPath, AArgs, Dir.Path() + "log");
  TRun r{c.Wait(), ""};
  r.Log = ReadText(Dir.Path() + "log");
  return r;
}

TEST(BundledServerStart, RefusesBadCommandLinesAndForeignModels) {
  const TTempDir Dir("qx-s2srv");
  auto Write = [&](const std::string& AName, const std::string& ABytes) {
    std::ofstream(Dir.Path() + AName, std::ios::binary) << ABytes;
    return Dir.Path() + AName;
  };
  // A GGUF header as every other model has it: version 3, no tensors, one key.
  auto ForeignGguf = [](const std::string& AArchitecture) {
    std::string b = "GGUF";
    auto U32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<char>(v >> (8 * i)));
    };
    auto U64 = [&](uint64_t v) {
      U32(static_cast<uint32_t>(v));
      U32(static_cast<uint32_t>(v >> 32));
    };
    U32(3), U64(0), U64(1);
    U64(20), b += "general.architecture";
    U32(8), U64(AArchitecture.size()), b += AArchitecture;
    return b;
  };
  const std::string Ours = ReadText(ModelPath);
  const std::string Foreign = Write("llama.gguf", ForeignGguf("llama"));
  const std::string Text = Write("notes.gguf", "this is not a model\n");
  const std::string Cut = Write("cut.gguf", Ours.substr(0, Ours.size() / 2));
  const std::string Port = std::to_string(UnusedLoopbackPort());
  struct TCase {
    std::vector<std::string> Args;
    const char* Says;
  };
  const TCase Cases[] = {
      {{"--model", ModelPath, "--server", "--port", Port, "--frobnicate"}, "unknown option"},
      {{"--model", ModelPath, "--server", "--port", Port, "stray"}, "unexpected argument"},
      {{"--server", "--port", Port}, "--model FILE is required"},
      {{"--model", ModelPath, "--port", Port}, "--server is required"},
      {{"--model", ModelPath, "--server"}, "--port N is required"},
      {{"--model", ModelPath, "--server", "--port", "http"}, "--port needs"},
      {{"--model", ModelPath, "--server", "--port", Port, "-ngl"}, "-ngl needs"},
      {{"--model", ModelPath, "--server", "--port", Port, "--test-signal", "NOPE"}, "signal"},
      {{"--model", Dir.Path() + "none.gguf", "--server", "--port", Port}, "cannot open"},
      {{"--model", Foreign, "--server", "--port", Port}, "\"llama\""},
      {{"--model", Text, "--server", "--port", Port}, "not a GGUF file"},
      {{"--model", Cut, "--server", "--port", Port}, "ends too early"},
  };
  for (const TCase& c : Cases) {
    const TRun r = RunServer(c.Args);
    ASSERT_TRUE(r.Status) << c.Says << ": still running";
    EXPECT_TRUE(WIFEXITED(*r.Status) && WEXITSTATUS(*r.Status) != 0) << c.Says;
    EXPECT_NE(r.Log.find(c.Says), std::string::npos) << r.Log;
  }
}

TEST(BundledServerStart, AcceptsTheFullSupervisorCommandLine) {
  const TTempDir Dir("qx-s2srv");
  const std::string Tokenizer = Dir.Path() + "tokenizer.json";
  std::ofstream(Tokenizer) << "{}";
  TServer s({"--tokenizer", Tokenizer, "-c", "0", "-ngl", "-1", "-threads", "4"});
  ASSERT_TRUE(s.Ready()) << s.Log();
  ExpectSpeech(Generate(s.Port, Say("Welcome.")), "full command line", EnglishRate);
}

TEST(BundledServerSwitches, ListenPortAndReadyDelay) {
  const int Other = UnusedLoopbackPort();
  TServer Moved({"--test-listen-port", std::to_string(Other)}, Other);
  ASSERT_TRUE(Moved.Running()) << Moved.Log();
  EXPECT_TRUE(PortAccepts(Other, std::chrono::milliseconds(500))) << Moved.Log();
  EXPECT_FALSE(PortAccepts(Moved.Port, std::chrono::milliseconds(500)));

  const auto Start = std::chrono::steady_clock::now();
  TServer Late({"--test-ready-delay-ms", "400"});
  ASSERT_TRUE(Late.Ready()) << Late.Log();
  EXPECT_GE(std::chrono::steady_clock::now() - Start, 400ms);
  EXPECT_NE(Late.Log().find("waiting 400 ms"), std::string::npos) << Late.Log();
}

TEST(BundledServerSwitches, ExitCodesAndSignals) {
  const std::string Port = std::to_string(UnusedLoopbackPort());
  const std::vector<std::string> Base{"--model", ModelPath, "--server", "--port", Port};
  auto With = [&](std::vector<std::string> AExtra) {
    std::vector<std::string> a = Base;
    a.insert(a.end(), AExtra.begin(), AExtra.end());
    return a;
  };
  struct TExit {
    std::vector<std::string> Extra;
    int Code;
  };
  const TExit Exits[] = {
      {{"--test-exit-after-ms", "50", "--test-exit-code", "7"}, 7},
      {{"--test-exit-after-ms", "50"}, 1},
      {{"--test-exit-code", "3"}, 3},
  };
  for (const TExit& e : Exits) {
    const TRun r = RunServer(With(e.Extra));
    ASSERT_TRUE(r.Status) << e.Code;
    EXPECT_TRUE(WIFEXITED(*r.Status)) << r.Log;
    EXPECT_EQ(WEXITSTATUS(*r.Status), e.Code) << r.Log;
  }
  struct TSignal {
    const char* Name;
    int Signal;
  };
  const TSignal Signals[] = {{"SEGV", SIGSEGV}, {"BUS", SIGBUS},   {"ILL", SIGILL},
                             {"ABRT", SIGABRT}, {"KILL", SIGKILL}, {"SIGSEGV", SIGSEGV},
                             {"4", SIGILL}};
  for (const TSignal& s : Signals) {
    const TRun r = RunServer(With({"--test-signal-after-ms", "50", "--test-signal", s.Name}));
    ASSERT_TRUE(r.Status) << s.Name;
    EXPECT_TRUE(WIFSIGNALED(*r.Status)) << s.Name << ": " << r.Log;
    EXPECT_EQ(WTERMSIG(*r.Status), s.Signal) << s.Name << ": " << r.Log;
  }
}

TEST(BundledServerSwitches, AnswersOnCommand) {
  TServer Slow({"--test-answer-delay-ms", "300"});
  ASSERT_TRUE(Slow.Ready()) << Slow.Log();
  const auto Start = std::chrono::steady_clock::now();
  ExpectSpeech(Generate(Slow.Port, Say("Welcome.")), "delayed", EnglishRate);
  EXPECT_GE(std::chrono::steady_clock::now() - Start, 300ms);

  TServer Failing({"--test-status", "503"});
  ASSERT_TRUE(Failing.Ready()) << Failing.Log();
  const TReply f = Generate(Failing.Port, Say("Welcome."));
  EXPECT_EQ(f.Status, 503);
  EXPECT_EQ(f.Body, "test status 503");

  TServer NotWav({"--test-not-wav"});
  ASSERT_TRUE(NotWav.Ready()) << NotWav.Log();
  const TReply n = Generate(NotWav.Port, Say("Welcome."));
  EXPECT_EQ(n.Status, 200);
  EXPECT_EQ(n.Body, "not a wav");
  EXPECT_TRUE(Pcm(n.Body).IsEmpty());
}

TEST(BundledServerSwitches, StopsCleanlyOnTerm) {
  const TTempDir Dir("qx-s2srv");
  const int Port = UnusedLoopbackPort();
  TChild c(
      ServerPath,
      {"--model", ModelPath, "--server", "--host", "127.0.0.1", "--port", std::to_string(Port)},
      Dir.Path() + "log");
  while (c.Running() && !PortAccepts(Port, std::chrono::milliseconds(500)))
    std::this_thread::sleep_for(2ms);
  ASSERT_TRUE(c.Running()) << ReadText(Dir.Path() + "log");
  ExpectSpeech(Generate(Port, Say("Welcome.")), "before stopping", EnglishRate);
  c.Signal(SIGTERM);
  const std::optional<int> Status = c.Wait();
  ASSERT_TRUE(Status);
  EXPECT_TRUE(WIFEXITED(*Status) && WEXITSTATUS(*Status) == 0) << ReadText(Dir.Path() + "log");
  EXPECT_NE(ReadText(Dir.Path() + "log").find("stopped"), std::string::npos);
}

}  // namespace
}  // namespace quavox
