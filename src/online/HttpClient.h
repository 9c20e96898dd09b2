// One HTTP request to an outside service over libcurl, for the share hub and the release
// check: a fresh handle per request, redirects followed, the program's user agent, and a
// response time-out that ends a transfer once no byte has arrived for that long. Never
// raises; any thread may call it.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

namespace quavox {

struct THttpFormPart {
  std::string Name;
  std::string Value;
  // When set, the part is this file, sent under its own name; Value is ignored.
  std::string FilePath;
};

struct TClientRequest {
  std::string Url;
  // "Name: value" lines.
  std::vector<std::string> Headers;
  // A POST with this body when PostBody is set, a multipart POST when Form is not empty,
  // a GET otherwise.
  bool PostBody = false;
  std::string Body;
  std::vector<THttpFormPart> Form;
  long ConnectTimeoutMs = 10000;
  long ResponseTimeoutMs = 20000;
  // When set, the body of a 200 answer is written straight into this file.
  std::string OutFile;
  // Answers kept in memory are cut off (and the request fails) beyond this size.
  int64_t MaxBodyBytes = int64_t{16} << 20;
  // A stop requested here gives the exchange up within about a second, whatever it waits for.
  std::stop_token Stop;
};

struct TClientResponse {
  // The exchange completed; Status and Body are the server's answer.
  bool Ok = false;
  int Status = 0;
  std::string Body;
  int64_t BytesWritten = 0;
  // The answer's ETag header as sent, quotes included; empty without one.
  std::string ETag;
  // Transport failure text when Ok is false.
  std::string Error;
};

TClientResponse HttpRequest(const TClientRequest& ARequest);

// ABase without trailing "/" characters, followed by APath.
std::string JoinUrl(std::string_view ABase, std::string_view APath);

// The first ACount UTF-16 code units of a UTF-8 text, never splitting a character.
std::string LeftUtf16(std::string_view AText, std::size_t ACount);

}  // namespace quavox
