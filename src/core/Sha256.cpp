// SHA-256 lives in its own unit so programs that never hash do not load libcrypto.
#include <openssl/evp.h>

#include "core/Types.h"

namespace quavox {

namespace {

std::string Sha256HexOf(const void* AData, std::size_t ASize) {
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned int Len = 0;
  EVP_Digest(AData, ASize, Digest, &Len, EVP_sha256(), nullptr);
  static constexpr char Hex[] = "0123456789abcdef";
  std::string r(Len * 2, '0');
  for (unsigned int i = 0; i < Len; ++i) {
    r[2 * i] = Hex[Digest[i] >> 4];
    r[2 * i + 1] = Hex[Digest[i] & 15];
  }
  return r;
}

}  // namespace

std::string Sha256Hex(std::string_view AText) {
  return Sha256HexOf(AText.data(), AText.size());
}

std::string Sha256Hex(const TBytes& ABytes) {
  return Sha256HexOf(ABytes.data(), ABytes.size());
}

}  // namespace quavox
