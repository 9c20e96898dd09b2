// The decoder library's C interface: MP3 and Ogg Vorbis in, mono 32-bit float out. The
// service loads it at run time as libquavox_audio.so; the fuzzers link its code directly.
// Every export is safe for concurrent calls on different inputs and survives any bytes.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define QUAVOX_AUDIO_API __attribute__((visibility("default")))
#else
#define QUAVOX_AUDIO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Results of the decode calls. Only qaOk hands out samples, which the caller returns with
// quavox_audio_free; on every other result the outputs are null and zero.
enum {
  qaOk = 1,
  qaNothingDecoded = 0,  // not this format, or too damaged to give a single sample
  qaFailed = -1,         // invalid arguments or out of memory
  qaOpus = -2,           // an Ogg stream holding Opus, not Vorbis
  qaTooLong = -3         // longer than the decoder's length limit
};

// Decodes the bytes (only read, never kept) to mono samples, the channels averaged, each in
// -1 ... +1. On qaOk *ASamples holds *ACount > 0 samples at *ARate > 0 Hz.
QUAVOX_AUDIO_API int32_t quavox_mp3_decode(const uint8_t* AData, int64_t ASize, float** ASamples,
                                           int64_t* ACount, int32_t* ARate);
QUAVOX_AUDIO_API int32_t quavox_ogg_decode(const uint8_t* AData, int64_t ASize, float** ASamples,
                                           int64_t* ACount, int32_t* ARate);
// Releases samples handed out by a decode call; null is allowed.
QUAVOX_AUDIO_API void quavox_audio_free(float* ASamples);

#ifdef __cplusplus
}
#endif
