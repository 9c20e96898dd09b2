// The GGUF container, as far as a voice file needs it: the header and the metadata
// key/values of version 3, no tensors. The reader takes any bytes (a foreign model, a
// truncated download, noise) and answers with a result instead of failing; the writer
// produces the files the build installs beside the bundled server.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quavox::s2 {

// Value types in the order of their numbers in the file.
enum class TGgufType : uint32_t {
  gtUint8 = 0,
  gtInt8 = 1,
  gtUint16 = 2,
  gtInt16 = 3,
  gtUint32 = 4,
  gtInt32 = 5,
  gtFloat32 = 6,
  gtBool = 7,
  gtString = 8,
  gtArray = 9,
  gtUint64 = 10,
  gtInt64 = 11,
  gtFloat64 = 12,
};

// One metadata value. Integers and booleans live in Int, floats in Float, strings in Str;
// an array keeps the type of its items in ItemType and the items in Items.
struct TGgufValue {
  TGgufType Type = TGgufType::gtUint32;
  int64_t Int = 0;
  double Float = 0;
  std::string Str;
  TGgufType ItemType = TGgufType::gtUint32;
  std::vector<TGgufValue> Items;

  static TGgufValue String(std::string AText);
  static TGgufValue Uint32(uint32_t AValue);
  static TGgufValue Int32(int32_t AValue);
  static TGgufValue Float32(float AValue);
  static TGgufValue StringArray(const std::vector<std::string>& AItems);
  static TGgufValue Int32Array(const std::vector<int32_t>& AItems);
  static TGgufValue Float32Array(const std::vector<float>& AItems);

  bool IsInteger() const;
  bool IsNumber() const;
};

enum TGgufReadResult : uint8_t {
  grOk,
  grNotGguf,     // no "GGUF" magic
  grBadVersion,  // a version this reader does not know
  grTruncated,   // the bytes end inside the header or the metadata
  grMalformed,   // impossible counts, lengths or types
};

const char* GgufReadResultText(TGgufReadResult AResult);

// The metadata of one file, keys in file order.
class TGgufFile {
 public:
  uint32_t Version = 3;
  uint64_t TensorCount = 0;

  void Set(const std::string& AKey, TGgufValue AValue);
  const TGgufValue* Find(const std::string& AKey) const;
  std::optional<std::string> FindString(const std::string& AKey) const;
  const std::vector<std::pair<std::string, TGgufValue>>& Entries() const { return FEntries; }

  // Version 3, no tensors, the metadata in insertion order.
  std::vector<uint8_t> Serialize() const;

  // Reads the header and every metadata entry it can. On grTruncated the entries read so
  // far stay available, so a caller can still tell whose model a cut-off file is.
  static TGgufReadResult Parse(std::span<const uint8_t> ABytes, TGgufFile& AFile);

 private:
  std::vector<std::pair<std::string, TGgufValue>> FEntries;
  std::map<std::string, size_t> FIndex;
};

}  // namespace quavox::s2
