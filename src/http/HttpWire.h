// Parsers of the request header fields and body framing the HTTP library leaves to us:
// byte ranges, If-None-Match lists and chunked bodies with trailers. Each survives any
// bytes and keeps no state between calls.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace quavox {

// The bytes First to Last, both included, of a reply.
struct TByteRange {
  std::size_t First = 0;
  std::size_t Last = 0;
};

enum TRangeVerdict {
  rvWhole,          // no usable single range: the whole reply (malformed, another unit, several)
  rvPart,           // the range in ARange
  rvUnsatisfiable,  // a well-formed range that starts beyond the reply
};

// A Range header ("bytes=a-b", "bytes=a-", "bytes=-n") against a reply of ALength bytes.
TRangeVerdict ParseByteRange(std::string_view AHeader, std::size_t ALength, TByteRange& ARange);

// True when an If-None-Match header names AETag (unquoted): "*", the header as one tag
// (UnquoteEntityTag), or one strong tag of a list of quoted tags. Weak tags never match.
bool NoneMatchNames(std::string_view AHeader, std::string_view AETag);

// Reads the rest of a chunked body through ARead (which returns the bytes read, 0 or less
// at the end of the stream), at most AMaxBytes of data; chunk extensions and trailer fields
// are read and dropped.
enum TChunkedResult {
  crDone,
  crTooLarge,
  crMalformed,  // also a stream that ended early
};
using TStreamRead = std::function<long(char* APtr, std::size_t ASize)>;
TChunkedResult ReadChunkedBody(const TStreamRead& ARead, std::size_t AMaxBytes, std::string& ABody);

}  // namespace quavox
