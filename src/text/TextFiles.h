// Whole-file reading for the text layer's data files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quavox {

// The file's bytes, or nothing when it does not exist or cannot be read.
std::optional<std::string> ReadTextFile(const std::string& AFileName);
// The text itself when it is valid UTF-8; otherwise every invalid byte becomes U+FFFD.
std::string ValidUtf8(std::string_view AText);

}  // namespace quavox
