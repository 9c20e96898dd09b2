// The transport against abusive and careless clients, with the server in process, its
// deadlines and rates shortened through THttpLimits and few threads: slow request heads
// and bodies, clients that hold many connections or read their reply too slowly, bodies
// too large or too deep for their path, and replies of one clip shared between clients.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/I18n.h"
#include "http/Http.h"
#include "http/HttpConnections.h"
#include "platform/Loopback.h"
#include "service/Service.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

using namespace std::chrono_literals;

// Loopback answers on every 127.x.y.z address, so a second client address needs no setup.
constexpr const char* Abuser = "127.0.0.2";
// The longest any single exchange of these tests may take before it counts as hanging.
constexpr int HangMs = 5000;

class TSocket {
 public:
  TSocket(int APort, const char* ASource, int AReceiveBuffer = 0) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (AReceiveBuffer > 0)
      setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &AReceiveBuffer, sizeof AReceiveBuffer);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    inet_pton(AF_INET, ASource, &Addr.sin_addr);
    ::bind(FFd, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr);
    Addr.sin_port = htons(static_cast<uint16_t>(APort));
    inet_pton(AF_INET, "127.0.0.1", &Addr.sin_addr);
    FConnected = ::connect(FFd, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) == 0;
  }
  ~TSocket() { ::close(FFd); }
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  bool Connected() const { return FConnected; }
  bool Closed() const { return FClosed; }
  bool Send(const std::string& ABytes) {
    return ::send(FFd, ABytes.data(), ABytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(ABytes.size());
  }
  // Up to AMax bytes, waiting at most AWaitMs; empty on time-out or end of stream.
  std::string Receive(std::size_t AMax, int AWaitMs) {
    pollfd Item{FFd, POLLIN, 0};
    if (::poll(&Item, 1, AWaitMs) <= 0) return {};
    std::string Bytes(AMax, '\0');
    const ssize_t n = ::recv(FFd, Bytes.data(), AMax, 0);
    Bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    FClosed = n == 0;
    return Bytes;
  }
  // One whole reply: its head and as many body bytes as its Content-Length says.
  std::string ReceiveReply(int AWaitMs) {
    std::string All;
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(AWaitMs);
    while (std::chrono::steady_clock::now() < End) {
      All += Receive(65536, 50);
      const std::size_t Head = All.find("\r\n\r\n");
      const std::size_t Length = All.find("Content-Length: ");
      if (Head != std::string::npos && Length != std::string::npos &&
          All.size() >= Head + 4 + std::stoul(All.substr(Length + 16)))
        break;
    }
    return All;
  }
  // Everything until the server closes the connection; false when it stays open longer
  // than AWaitMs.
  bool ReadUntilClosed(std::string& AAll, int AWaitMs) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(AWaitMs);
    while (std::chrono::steady_clock::now() < End) {
      AAll += Receive(65536, 50);
      if (FClosed) return true;
    }
    return false;
  }

 private:
  int FFd = -1;
  bool FConnected = false;
  bool FClosed = false;
};

std::string StatusLine(const std::string& AAnswer) {
  return AAnswer.substr(0, AAnswer.find("\r\n"));
}

class HttpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLang(ulEn);
    Config = std::make_unique<TAppConfig>(TAppFolders{Root, Root + "appdata/"});
  }
  void TearDown() override {
    Server.reset();
    Service.reset();
    Config.reset();
    SetUiLang(ulAuto);
  }
  void Start(const THttpLimits& ALimits, int32_t APerClient = 0) {
    TConfigSettings s = Config->Settings();
    s.BindAddress = "127.0.0.1";
    s.Port = Port;
    s.MaxConnectionsPerClient = APerClient;
    Config->SetSettings(s);
    Service = std::make_unique<TTtsService>(*Config);
    Server = std::make_unique<TTtsHttpServer>(*Service, TTtsHttpServer::TClock{}, ALimits);
    Server->Start();
  }
  httplib::Client Client() const {
    httplib::Client Cli("127.0.0.1", Port);
    Cli.set_read_timeout(std::chrono::milliseconds(HangMs));
    Cli.set_connection_timeout(std::chrono::milliseconds(HangMs));
    return Cli;
  }
  static THttpLimits FewThreads() {
    THttpLimits Limits;
    Limits.MaxThreads = 4;
    Limits.ReserveThreads = 1;
    Limits.HealthThreads = 1;
    return Limits;
  }

  const TTempDir RootDir{"quavox-transport"};
  const std::string Root = RootDir.Path();
  const int Port = UnusedLoopbackPort();
  std::unique_ptr<TAppConfig> Config;
  std::unique_ptr<TTtsService> Service;
  std::unique_ptr<TTtsHttpServer> Server;
};

// Many more slow heads than threads: other clients are still served, and every slow
// connection is closed once its head deadline has passed.
TEST_F(HttpTransportTest, SlowHeadsHoldNoThreadAndEndAtTheirDeadline) {
  THttpLimits Limits = FewThreads();
  Limits.HeaderDeadline = 300ms;
  Limits.KeepAlive = 60s;
  Start(Limits);
  std::vector<std::unique_ptr<TSocket>> Slow;
  for (int i = 0; i < 8; ++i) {
    Slow.push_back(std::make_unique<TSocket>(Port, Abuser));
    ASSERT_TRUE(Slow.back()->Connected());
    ASSERT_TRUE(Slow.back()->Send("GET /v1/stats HTTP/1.1\r\nHost: x\r\nX-Slow: a"));
  }
  httplib::Client Cli = Client();
  const auto Health = Cli.Get("/health");
  ASSERT_TRUE(Health) << "the health check waited behind slow heads";
  EXPECT_EQ(Health->status, 200);
  const auto Stats = Cli.Get("/v1/stats");
  ASSERT_TRUE(Stats) << "a second client waited behind slow heads";
  EXPECT_EQ(Stats->status, 200);

  for (auto& Socket : Slow) {
    std::string Answer;
    EXPECT_TRUE(Socket->ReadUntilClosed(Answer, HangMs)) << "a slow head outlived its deadline";
    EXPECT_TRUE(Answer.empty()) << Answer;
  }
}

// An idle kept-alive connection also holds no thread, and is served again when its next
// request comes.
TEST_F(HttpTransportTest, IdleKeptAliveConnectionsHoldNoThread) {
  THttpLimits Limits = FewThreads();
  Limits.KeepAlive = 60s;
  Start(Limits);
  std::vector<std::unique_ptr<TSocket>> Idle;
  for (int i = 0; i < 10; ++i) {
    Idle.push_back(std::make_unique<TSocket>(Port, Abuser));
    ASSERT_TRUE(Idle.back()->Send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(StatusLine(Idle.back()->ReceiveReply(HangMs)), "HTTP/1.1 200 OK");
  }
  const auto Stats = Client().Get("/v1/stats");
  ASSERT_TRUE(Stats);
  EXPECT_EQ(Stats->status, 200);
  ASSERT_TRUE(Idle.front()->Send("GET /v1/stats HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(StatusLine(Idle.front()->Receive(65536, HangMs)), "HTTP/1.1 200 OK");
}

// A worker waits longer for a kept-alive client's next request only while the pool has
// threads to spare: fewer than half the threads open to every client busy.
TEST(WorkerPoolTest, SparesThreadsOnlyWhileFewAreBusy) {
  THttpLimits Limits;
  Limits.MaxThreads = 5;
  Limits.ReserveThreads = 1;
  std::mutex Lock;
  std::condition_variable Changed;
  std::size_t Serving = 0;
  bool Released = false;
  TWorkerPool Pool(
      Limits,
      [&](TReadyConnection&&) {
        std::unique_lock Guard(Lock);
        ++Serving;
        Changed.notify_all();
        Changed.wait(Guard, [&] { return Released; });
      },
      [](TReadyConnection&&) {});
  const auto Serve = [&](std::size_t AServing) {
    TReadyConnection Conn;
    Conn.Peer = Abuser;
    Pool.Submit(std::move(Conn));
    std::unique_lock Guard(Lock);
    Changed.wait(Guard, [&] { return Serving == AServing; });
  };
  EXPECT_TRUE(Pool.HasSpareThreads());
  Serve(1);
  EXPECT_TRUE(Pool.HasSpareThreads()) << "one of four open threads busy";
  Serve(2);
  EXPECT_FALSE(Pool.HasSpareThreads()) << "two of four open threads busy";
  {
    std::lock_guard Guard(Lock);
    Released = true;
  }
  Changed.notify_all();
  while (Pool.Busy() > 0)
    std::this_thread::yield();
  EXPECT_TRUE(Pool.HasSpareThreads());
}

TEST_F(HttpTransportTest, ConnectionsBeyondTheClientLimitAreRefused) {
  Start(THttpLimits{}, 3);
  std::vector<std::unique_ptr<TSocket>> Held;
  for (int i = 0; i < 3; ++i) {
    Held.push_back(std::make_unique<TSocket>(Port, Abuser));
    ASSERT_TRUE(Held.back()->Send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(StatusLine(Held.back()->Receive(65536, HangMs)), "HTTP/1.1 200 OK");
  }
  TSocket Fourth(Port, Abuser);
  Fourth.Send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string Answer;
  EXPECT_TRUE(Fourth.ReadUntilClosed(Answer, HangMs));
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 503 Service Unavailable");
  EXPECT_NE(Answer.find("Retry-After: 10\r\n"), std::string::npos) << Answer;
  EXPECT_NE(Answer.find("{\"error\":\"too_many_connections\",\"message\":\"more than 3 "
                        "connections at once from one address\"}"),
            std::string::npos)
      << Answer;

  const auto Other = Client().Get("/health");
  ASSERT_TRUE(Other) << "another address is not limited";
  EXPECT_EQ(Other->status, 200);

  Held.pop_back();
  bool Admitted = false;
  for (int Try = 0; Try < 100 && !Admitted; ++Try) {
    TSocket Again(Port, Abuser);
    Again.Send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    Admitted = StatusLine(Again.Receive(65536, HangMs)) == "HTTP/1.1 200 OK";
    if (!Admitted) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(Admitted) << "a closed connection gives its place back";
}

// Bodies trickling in below the minimum rate are answered 408 and the connection closed.
TEST_F(HttpTransportTest, BodiesBelowTheMinimumRateAreRefused) {
  THttpLimits Limits;
  Limits.ReadTimeout = 200ms;
  Limits.MinBodyBytesPerSecond = 1000;
  Start(Limits);
  TSocket Slow(Port, Abuser);
  ASSERT_TRUE(Slow.Send("POST /v1/tts HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n{"));
  std::string Answer;
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(HangMs);
  while (Answer.empty() && std::chrono::steady_clock::now() < End) {
    Slow.Send(" ");
    Answer = Slow.Receive(65536, 100);
  }
  // The reply may arrive in more than one piece; the connection ends after it.
  Slow.ReadUntilClosed(Answer, HangMs);
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 408 Request Timeout");
  EXPECT_NE(Answer.find("{\"error\":\"request_timeout\""), std::string::npos) << Answer;
}

// A client that reads a long reply far below the minimum rate is cut off; one that reads
// it at once gets all of it.
TEST_F(HttpTransportTest, RepliesReadTooSlowlyEndTheConnection) {
  THttpLimits Limits;
  Limits.WriteTimeout = 200ms;
  Limits.MinReplyBytesPerSecond = 8u << 20;
  Start(Limits);
  std::string Text;
  for (int i = 0; i < 8; ++i)
    Text += "Passengers+of+flight+CA" + std::to_string(1000 + i) + "+please+go+to+gate+12.+";
  const std::string Target = "/v1/tts?sample_rate=192000&language=en&text=" + Text;
  httplib::Client Patient = Client();
  Patient.set_read_timeout(std::chrono::seconds(120));  // sanitizer builds synthesise slowly
  const auto Whole = Patient.Get(Target.c_str());
  ASSERT_TRUE(Whole);
  ASSERT_EQ(Whole->status, 200) << Whole->body;
  const std::size_t Size = Whole->body.size();
  ASSERT_GT(Size, 8u << 20) << "the clip must outgrow the socket buffers";

  TSocket Slow(Port, Abuser, 4096);
  ASSERT_TRUE(Slow.Send("GET " + Target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::size_t Read = 0;
  bool Closed = false;
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * HangMs);
  while (!Closed && std::chrono::steady_clock::now() < End) {
    const std::string Chunk = Slow.Receive(1024, 20);
    Closed = Chunk.empty() && Slow.Closed();
    Read += Chunk.size();
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(Closed) << "a reader of 50 kB/s kept the connection";
  EXPECT_LT(Read, Size);
}

TEST_F(HttpTransportTest, BodyLimitsDependOnThePath) {
  THttpLimits Limits;
  Limits.MaxJsonBodyBytes = 1000;
  Limits.MaxBodyBytes = 100000;
  Start(Limits);
  EXPECT_EQ(Server->BodyLimit("/v1/tts"), 1000u);
  EXPECT_EQ(Server->BodyLimit("/V1/Voices/Clone"), 100000u);
  EXPECT_EQ(Server->BodyLimit("/v1/voices"), 1000u);

  httplib::Client Cli = Client();
  const std::string Large = "{\"text\":\"" + std::string(5000, 'a') + "\"}";
  const auto Tts = Cli.Post("/v1/tts", Large, "application/json");
  ASSERT_TRUE(Tts);
  EXPECT_EQ(Tts->status, 413);
  EXPECT_EQ(Tts->body,
            "{\"error\":\"payload_too_large\",\"message\":\"request body is larger than 1000 "
            "bytes\"}");
  const auto Clone = Cli.Post("/v1/voices/clone", Large, "application/json");
  ASSERT_TRUE(Clone);
  EXPECT_EQ(Clone->status, 400) << "read and judged, not refused for its size";
  EXPECT_NE(Clone->body.find("\"bad_audio\""), std::string::npos) << Clone->body;
}

// Form uploads are no part of this API and are read and dropped, but a form of countless
// tiny parts is cut short like a body too large.
TEST_F(HttpTransportTest, FormsOfTooManyPartsAreRefused) {
  Start(THttpLimits{});
  const auto Form = [](int AParts) {
    std::string Body;
    for (int i = 0; i < AParts; ++i)
      Body +=
          "--b\r\nContent-Disposition: form-data; name=\"p" + std::to_string(i) + "\"\r\n\r\nx\r\n";
    return Body + "--b--\r\n";
  };
  httplib::Client Cli = Client();
  for (const auto& [Parts, Status] : {std::pair(64, 400), std::pair(65, 413)}) {
    const auto Res = Cli.Post("/v1/tts", Form(Parts), "multipart/form-data; boundary=b");
    ASSERT_TRUE(Res) << Parts;
    EXPECT_EQ(Res->status, Status) << Parts << " " << Res->body;
  }
}

TEST_F(HttpTransportTest, JsonNestedTooDeepIsRefusedBeforeParsing) {
  Start(THttpLimits{});
  const auto Nested = [](std::size_t ALevels) {
    return "{\"text\":\"Gate\",\"x\":" + std::string(ALevels - 1, '[') +
           std::string(ALevels - 1, ']') + "}";
  };
  THttpRequest Req;
  Req.Method = "POST";
  Req.Path = "/v1/prewarm";
  Req.Peer = "10.0.0.1";
  Req.Body = Nested(MaxJsonDepth);
  THttpResponse Res;
  Server->HandleRequest(Req, Res);
  EXPECT_EQ(Res.Status, 202) << Res.Body;

  Req.Body = Nested(MaxJsonDepth + 1);
  Res = THttpResponse{};
  Server->HandleRequest(Req, Res);
  EXPECT_EQ(Res.Status, 400);
  EXPECT_EQ(Res.Body,
            "{\"error\":\"bad_json\",\"message\":\"request body nests deeper than 64 levels\"}");
}

TEST_F(HttpTransportTest, OneClipIsOneBufferForEveryClientThatHoldsIt) {
  Start(THttpLimits{});
  const auto Fetch = [this] {
    THttpRequest Req;
    Req.Method = "GET";
    Req.Path = "/v1/tts";
    Req.Query = "text=Gate+change&language=en&speed=1.3";
    Req.Peer = "10.0.0.1";
    THttpResponse Res;
    Server->HandleRequest(Req, Res);
    return Res;
  };
  const THttpResponse Miss = Fetch();
  const THttpResponse Hit = Fetch();
  const THttpResponse Again = Fetch();
  ASSERT_TRUE(Miss.Binary && Hit.Binary && Again.Binary);
  EXPECT_EQ(Hit.Header("X-Quavox-Cache"), "hit");
  EXPECT_EQ(Miss.Binary.get(), Hit.Binary.get());
  EXPECT_EQ(Hit.Binary.get(), Again.Binary.get());
}

}  // namespace
}  // namespace quavox
