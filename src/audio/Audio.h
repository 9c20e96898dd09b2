// Reference recordings arrive as WAV, MP3 or Ogg. WAV is read in-process; MP3 and Ogg
// Vorbis go through the decoder library libquavox_audio.so beside the executable, loaded
// once on first need. Without the library the service still works, with less: single MP3
// clips pass through to the engine unchanged, Ogg cannot be used. Safe on any thread.
#pragma once

#include <string>

#include "core/Types.h"

namespace quavox {

enum TOggDecodeResult : uint8_t { odOk, odNoDecoder, odNotOgg, odOpus, odBroken };

// Folder of the running executable + "libquavox_audio.so".
std::string DecoderPath();
// Points the one-time load at another file; only before the first DecoderAvailable call
// (tests use it to run with and without the library).
void SetDecoderPathForTesting(const std::string& APath);
// True when all three entry points are present; the first call loads the library.
bool DecoderAvailable();
// The file the library is (or would be) loaded from: DecoderPath, or the test's file.
std::string EffectiveDecoderPath();

bool LooksLikeMp3(const TBytes& ABytes);
// Stricter than LooksLikeMp3, for judging MP3 bytes without the decoder library: after an
// optional ID3v2 tag, an MPEG audio frame header with valid fields followed by a second one
// exactly where the first frame ends (or by the end of the bytes).
bool HasMp3Frames(const TBytes& ABytes);
bool IsOggData(const TBytes& ABytes);
// Bytes the engine takes unchanged.
bool IsWavOrMp3(const TBytes& ABytes);
// ".wav", ".ogg", ".mp3" or empty.
std::string AudioExtension(const TBytes& ABytes);
bool DecodeMp3(const TBytes& ABytes, TPcmBuffer& APcm);
TOggDecodeResult DecodeOgg(const TBytes& ABytes, TPcmBuffer& APcm);
// The user message for an Ogg result, translated; empty for odOk.
std::string OggErrorText(TOggDecodeResult AResult);
// WAV, Ogg Vorbis or MP3 decoded to mono float.
bool DecodeAudio(const TBytes& ABytes, TPcmBuffer& APcm);

}  // namespace quavox
