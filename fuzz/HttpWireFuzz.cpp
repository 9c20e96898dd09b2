// The header fields and body framing the HTTP layer parses itself: a Range header against
// a reply length, an If-None-Match header against a tag, and a chunked body. Whatever
// the bytes, a served range lies within the reply, and the chunked reader neither reads
// past its input nor returns more than its limit.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "http/HttpWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  using namespace quavox;
  const std::string_view Input(reinterpret_cast<const char*>(AData), ASize);
  const std::size_t Length = ASize == 0 ? 0 : AData[0] * 97u;

  TByteRange Range;
  if (ParseByteRange(Input, Length, Range) == rvPart &&
      (Range.First > Range.Last || Range.Last >= Length))
    __builtin_trap();
  NoneMatchNames(Input, "abc");
  NoneMatchNames(Input, "");

  constexpr std::size_t Limit = 1000;
  std::size_t Offset = 0;
  const TStreamRead Read = [&](char* APtr, std::size_t AWanted) -> long {
    const std::size_t n = std::min(AWanted, Input.size() - Offset);
    std::memcpy(APtr, Input.data() + Offset, n);
    Offset += n;
    return static_cast<long>(n);
  };
  std::string Body;
  if (ReadChunkedBody(Read, Limit, Body) == crDone && Body.size() > Limit) __builtin_trap();
  if (Offset > Input.size()) __builtin_trap();
  return 0;
}
