#include "online/HttpClient.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "core/Format.h"
#include "core/I18n.h"
#include "core/Text.h"
#include "core/Types.h"
#include "platform/Curl.h"

namespace quavox {

namespace {

// Receives the body of the final answer: a 200 into the output file when one is named,
// everything else into memory up to the limit.
struct TSink {
  CURL* Curl = nullptr;
  const TClientRequest* Request = nullptr;
  TClientResponse* Response = nullptr;
  bool Decided = false;
  int Fd = -1;
  int WriteErrno = 0;
  bool TooLarge = false;

  ~TSink() {
    if (Fd >= 0) ::close(Fd);
  }

  bool Decide() {
    Decided = true;
    long Code = 0;
    curl_easy_getinfo(Curl, CURLINFO_RESPONSE_CODE, &Code);
    if (Code != 200 || Request->OutFile.empty()) return true;
    Fd = ::open(Request->OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (Fd < 0) WriteErrno = errno;
    return Fd >= 0;
  }

  static size_t OnBody(char* AData, size_t ASize, size_t ACount, void* AUser) {
    auto& Sink = *static_cast<TSink*>(AUser);
    const size_t Size = ASize * ACount;
    if (!Sink.Decided && !Sink.Decide()) return 0;
    if (Sink.Fd >= 0) {
      for (const char* p = AData; p < AData + Size;) {
        const ssize_t n = ::write(Sink.Fd, p, static_cast<size_t>(AData + Size - p));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          Sink.WriteErrno = n < 0 ? errno : EIO;
          return 0;
        }
        p += n;
      }
      Sink.Response->BytesWritten += static_cast<int64_t>(Size);
      return Size;
    }
    if (static_cast<int64_t>(Sink.Response->Body.size() + Size) > Sink.Request->MaxBodyBytes) {
      Sink.TooLarge = true;
      return 0;
    }
    Sink.Response->Body.append(AData, Size);
    return Size;
  }
};

// libcurl asks at least once a second, also while the peer sends nothing.
int GiveUpWhenStopped(void* AStop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::stop_token*>(AStop)->stop_requested() ? 1 : 0;
}

}  // namespace

std::string JoinUrl(std::string_view ABase, std::string_view APath) {
  std::string Url(ABase);
  while (!Url.empty() && Url.back() == '/')
    Url.pop_back();
  return Url + std::string(APath);
}

std::string LeftUtf16(std::string_view AText, std::size_t ACount) {
  std::u16string Units = Utf8ToUtf16(AText);
  if (Units.size() <= ACount) return Utf16ToUtf8(Units);
  std::size_t Cut = ACount;
  if (Cut > 0 && Units[Cut - 1] >= 0xD800 && Units[Cut - 1] <= 0xDBFF) --Cut;
  Units.resize(Cut);
  return Utf16ToUtf8(Units);
}

TClientResponse HttpRequest(const TClientRequest& ARequest) {
  TClientResponse Response;
  try {
    EnsureCurlGlobal();
    TCurlHandle Curl(curl_easy_init());
    if (!Curl) {
      Response.Error = "curl_easy_init failed";
      return Response;
    }
    CURL* h = Curl.get();
    TCurlHeaders Headers;
    auto AddHeader = [&Headers](const std::string& ALine) {
      curl_slist* Next = curl_slist_append(Headers.get(), ALine.c_str());
      if (Next != nullptr) {
        (void)Headers.release();
        Headers.reset(Next);
      }
    };
    for (const std::string& Line : ARequest.Headers)
      AddHeader(Line);
    // Bodies go at once: waiting for "100 Continue" only delays servers that never send it.
    AddHeader("Expect:");

    TSink Sink;
    Sink.Curl = h;
    Sink.Request = &ARequest;
    Sink.Response = &Response;
    char ErrorBuffer[CURL_ERROR_SIZE] = {};
    const long StallSeconds = std::max(1L, (ARequest.ResponseTimeoutMs + 999) / 1000);

    curl_easy_setopt(h, CURLOPT_URL, ARequest.Url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, ARequest.ConnectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, StallSeconds);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_USERAGENT, QuavoxUserAgent);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, ErrorBuffer);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, Headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TSink::OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &Sink);
    if (ARequest.Stop.stop_possible()) {
      curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &GiveUpWhenStopped);
      curl_easy_setopt(h, CURLOPT_XFERINFODATA, &ARequest.Stop);
    }

    TCurlMime Mime;
    if (!ARequest.Form.empty()) {
      Mime.reset(curl_mime_init(h));
      for (const THttpFormPart& Part : ARequest.Form) {
        curl_mimepart* p = curl_mime_addpart(Mime.get());
        curl_mime_name(p, Part.Name.c_str());
        if (!Part.FilePath.empty()) {
          if (curl_mime_filedata(p, Part.FilePath.c_str()) != CURLE_OK) {
            Response.Error = Part.FilePath + ": " + std::strerror(ENOENT);
            return Response;
          }
          curl_mime_type(p, "application/octet-stream");
        } else {
          curl_mime_data(p, Part.Value.data(), Part.Value.size());
        }
      }
      curl_easy_setopt(h, CURLOPT_MIMEPOST, Mime.get());
    } else if (ARequest.PostBody) {
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(ARequest.Body.size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, ARequest.Body.data());
    }

    CURLcode Rc = curl_easy_perform(h);
    if (Rc == CURLE_OK && !Sink.Decided && !Sink.Decide()) Rc = CURLE_WRITE_ERROR;
    long Code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &Code);
    Response.Status = static_cast<int>(Code);
    curl_header* Tag = nullptr;
    if (curl_easy_header(h, "ETag", 0, CURLH_HEADER, -1, &Tag) == CURLHE_OK && Tag != nullptr)
      Response.ETag = Tag->value;
    if (Rc == CURLE_OK) {
      Response.Ok = true;
    } else if (Sink.TooLarge) {
      Response.Error =
          Format(Translate("服务器的回应太大(超过 %d MB),已放弃"), ARequest.MaxBodyBytes >> 20);
    } else if (Sink.WriteErrno != 0) {
      Response.Error = ARequest.OutFile + ": " + std::strerror(Sink.WriteErrno);
    } else {
      Response.Error = ErrorBuffer[0] != '\0' ? ErrorBuffer : curl_easy_strerror(Rc);
    }
    if (Sink.Fd >= 0 && ::close(Sink.Fd) != 0 && Response.Ok) {
      Response.Ok = false;
      Response.Error = ARequest.OutFile + ": " + std::strerror(errno);
    }
    Sink.Fd = -1;
  } catch (const std::exception& E) {
    Response.Ok = false;
    Response.Error = E.what();
  }
  return Response;
}

}  // namespace quavox
