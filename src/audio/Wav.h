// The WAV container: the one audio format the service hands out and stores. The writer
// turns mono float PCM into a 16-bit file with a 44-byte header; the reader accepts the
// layouts found in practice and folds them to mono float. Both are pure and thread-safe.
#pragma once

#include <span>
#include <string>

#include "core/Types.h"

namespace quavox {

TBytes PcmToWav(const TPcmBuffer& APcm, int AChannels = 1);
// True when the bytes were understood and APcm filled; never reads outside ABytes.
bool WavToPcm(std::span<const uint8_t> ABytes, TPcmBuffer& APcm);
inline bool WavToPcm(const TBytes& ABytes, TPcmBuffer& APcm) {
  return WavToPcm(std::span<const uint8_t>(ABytes), APcm);
}

// The whole file; empty when it does not exist. Raises std::system_error when unreadable.
TBytes ReadFileBytes(const std::string& AFileName);
// Creates the folders of the path, then creates or truncates the file. Raises on error.
void WriteFileBytes(const std::string& AFileName, std::span<const uint8_t> ABytes);

}  // namespace quavox
