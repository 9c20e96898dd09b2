// JSON strings written by hand for files of many entries (the cache index, the lexicon),
// where a JSON value per string would dominate the cost.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quavox {

// Length of the well-formed UTF-8 sequence that starts at AText[APos]; 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view AText, std::size_t APos);
// AText as a quoted JSON string the way the JSON library writes it (UTF-8 kept, controls
// escaped); a byte that starts no well-formed sequence becomes U+FFFD, so one bad text never
// makes the whole file unreadable.
void AppendJsonString(std::string& AOut, std::string_view AText);

}  // namespace quavox
