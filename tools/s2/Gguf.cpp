#include "Gguf.h"

#include <bit>
#include <cstring>

namespace quavox::s2 {

namespace {

const uint8_t Magic[4] = {'G', 'G', 'U', 'F'};
// Arrays of arrays are legal in the format; nobody needs them deeper than this.
const int MaxNesting = 4;

// Size in the file of one scalar of a type; 0 for strings and arrays.
size_t ScalarSize(TGgufType AType) {
  switch (AType) {
    case TGgufType::gtUint8:
    case TGgufType::gtInt8:
    case TGgufType::gtBool:
      return 1;
    case TGgufType::gtUint16:
    case TGgufType::gtInt16:
      return 2;
    case TGgufType::gtUint32:
    case TGgufType::gtInt32:
    case TGgufType::gtFloat32:
      return 4;
    case TGgufType::gtUint64:
    case TGgufType::gtInt64:
    case TGgufType::gtFloat64:
      return 8;
    default:
      return 0;
  }
}

bool KnownType(uint32_t AType) {
  return AType <= static_cast<uint32_t>(TGgufType::gtFloat64);
}

// Smallest number of bytes one item of the type takes, so that an item count can be
// checked against the bytes left before anything is allocated.
size_t MinItemSize(TGgufType AType) {
  if (AType == TGgufType::gtString) return 8;
  if (AType == TGgufType::gtArray) return 12;
  return ScalarSize(AType);
}

class TReader {
 public:
  explicit TReader(std::span<const uint8_t> ABytes) : FBytes(ABytes) {}

  size_t Left() const { return FBytes.size() - FPos; }

  bool Raw(void* ADest, size_t ASize) {
    if (Left() < ASize) return Fail(grTruncated);
    std::memcpy(ADest, FBytes.data() + FPos, ASize);
    FPos += ASize;
    return true;
  }

  bool U32(uint32_t& AValue) {
    uint8_t b[4];
    if (!Raw(b, 4)) return false;
    AValue = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
             (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
  }

  bool U64(uint64_t& AValue) {
    uint32_t Lo = 0, Hi = 0;
    if (!U32(Lo) || !U32(Hi)) return false;
    AValue = (static_cast<uint64_t>(Hi) << 32) | Lo;
    return true;
  }

  bool String(std::string& AText) {
    uint64_t Length = 0;
    if (!U64(Length)) return false;
    if (Length > Left()) return Fail(grTruncated);
    AText.assign(reinterpret_cast<const char*>(FBytes.data() + FPos), Length);
    FPos += Length;
    return true;
  }

  bool Value(TGgufType AType, TGgufValue& AValue, int ADepth) {
    AValue.Type = AType;
    switch (AType) {
      case TGgufType::gtString:
        return String(AValue.Str);
      case TGgufType::gtArray: {
        uint32_t ItemType = 0;
        uint64_t Count = 0;
        if (ADepth >= MaxNesting) return Fail(grMalformed);
        if (!U32(ItemType) || !U64(Count)) return false;
        if (!KnownType(ItemType)) return Fail(grMalformed);
        AValue.ItemType = static_cast<TGgufType>(ItemType);
        const size_t MinSize = MinItemSize(AValue.ItemType);
        if (Count > Left() / MinSize) return Fail(grTruncated);
        AValue.Items.resize(Count);
        for (TGgufValue& Item : AValue.Items) {
          if (!Value(AValue.ItemType, Item, ADepth + 1)) return false;
        }
        return true;
      }
      case TGgufType::gtFloat32: {
        uint32_t Bits = 0;
        if (!U32(Bits)) return false;
        AValue.Float = std::bit_cast<float>(Bits);
        return true;
      }
      case TGgufType::gtFloat64: {
        uint64_t Bits = 0;
        if (!U64(Bits)) return false;
        AValue.Float = std::bit_cast<double>(Bits);
        return true;
      }
      default: {
        const size_t Size = ScalarSize(AType);
        uint8_t b[8] = {};
        if (!Raw(b, Size)) return false;
        uint64_t Bits = 0;
        for (size_t i = 0; i < Size; ++i)
          Bits |= static_cast<uint64_t>(b[i]) << (8 * i);
        switch (AType) {
          case TGgufType::gtInt8:
            AValue.Int = static_cast<int8_t>(Bits);
            break;
          case TGgufType::gtInt16:
            AValue.Int = static_cast<int16_t>(Bits);
            break;
          case TGgufType::gtInt32:
            AValue.Int = static_cast<int32_t>(Bits);
            break;
          case TGgufType::gtInt64:
          case TGgufType::gtUint64:  // kept as the same bits; voice files never need 2^63
            AValue.Int = static_cast<int64_t>(Bits);
            break;
          case TGgufType::gtBool:
            AValue.Int = Bits != 0;
            break;
          default:
            AValue.Int = static_cast<int64_t>(Bits);
            break;
        }
        return true;
      }
    }
  }

  bool Fail(TGgufReadResult AResult) {
    if (FResult == grOk) FResult = AResult;
    return false;
  }
  TGgufReadResult Result() const { return FResult; }

 private:
  std::span<const uint8_t> FBytes;
  size_t FPos = 0;
  TGgufReadResult FResult = grOk;
};

class TWriter {
 public:
  void U32(uint32_t AValue) {
    for (int i = 0; i < 4; ++i)
      FBytes.push_back(static_cast<uint8_t>(AValue >> (8 * i)));
  }
  void U64(uint64_t AValue) {
    U32(static_cast<uint32_t>(AValue));
    U32(static_cast<uint32_t>(AValue >> 32));
  }
  void String(const std::string& AText) {
    U64(AText.size());
    FBytes.insert(FBytes.end(), AText.begin(), AText.end());
  }
  void Value(const TGgufValue& AValue) {
    switch (AValue.Type) {
      case TGgufType::gtString:
        String(AValue.Str);
        return;
      case TGgufType::gtArray:
        U32(static_cast<uint32_t>(AValue.ItemType));
        U64(AValue.Items.size());
        for (const TGgufValue& Item : AValue.Items)
          Value(Item);
        return;
      case TGgufType::gtFloat32:
        U32(std::bit_cast<uint32_t>(static_cast<float>(AValue.Float)));
        return;
      case TGgufType::gtFloat64:
        U64(std::bit_cast<uint64_t>(AValue.Float));
        return;
      default: {
        const uint64_t Bits = static_cast<uint64_t>(AValue.Int);
        for (size_t i = 0; i < ScalarSize(AValue.Type); ++i)
          FBytes.push_back(static_cast<uint8_t>(Bits >> (8 * i)));
        return;
      }
    }
  }
  std::vector<uint8_t>& Bytes() { return FBytes; }

 private:
  std::vector<uint8_t> FBytes;
};

}  // namespace

TGgufValue TGgufValue::String(std::string AText) {
  TGgufValue v;
  v.Type = TGgufType::gtString;
  v.Str = std::move(AText);
  return v;
}

TGgufValue TGgufValue::Uint32(uint32_t AValue) {
  TGgufValue v;
  v.Type = TGgufType::gtUint32;
  v.Int = AValue;
  return v;
}

TGgufValue TGgufValue::Int32(int32_t AValue) {
  TGgufValue v;
  v.Type = TGgufType::gtInt32;
  v.Int = AValue;
  return v;
}

TGgufValue TGgufValue::Float32(float AValue) {
  TGgufValue v;
  v.Type = TGgufType::gtFloat32;
  v.Float = AValue;
  return v;
}

TGgufValue TGgufValue::StringArray(const std::vector<std::string>& AItems) {
  TGgufValue v;
  v.Type = TGgufType::gtArray;
  v.ItemType = TGgufType::gtString;
  for (const std::string& s : AItems)
    v.Items.push_back(String(s));
  return v;
}

TGgufValue TGgufValue::Int32Array(const std::vector<int32_t>& AItems) {
  TGgufValue v;
  v.Type = TGgufType::gtArray;
  v.ItemType = TGgufType::gtInt32;
  for (int32_t i : AItems)
    v.Items.push_back(Int32(i));
  return v;
}

TGgufValue TGgufValue::Float32Array(const std::vector<float>& AItems) {
  TGgufValue v;
  v.Type = TGgufType::gtArray;
  v.ItemType = TGgufType::gtFloat32;
  for (float f : AItems)
    v.Items.push_back(Float32(f));
  return v;
}

bool TGgufValue::IsInteger() const {
  return Type != TGgufType::gtString && Type != TGgufType::gtArray &&
         Type != TGgufType::gtFloat32 && Type != TGgufType::gtFloat64 && Type != TGgufType::gtBool;
}

bool TGgufValue::IsNumber() const {
  return IsInteger() || Type == TGgufType::gtFloat32 || Type == TGgufType::gtFloat64;
}

const char* GgufReadResultText(TGgufReadResult AResult) {
  switch (AResult) {
    case grOk:
      return "ok";
    case grNotGguf:
      return "not a GGUF file";
    case grBadVersion:
      return "unsupported GGUF version";
    case grTruncated:
      return "the file ends too early";
    case grMalformed:
      return "the file is damaged";
  }
  return "unknown";
}

void TGgufFile::Set(const std::string& AKey, TGgufValue AValue) {
  auto It = FIndex.find(AKey);
  if (It != FIndex.end()) {
    FEntries[It->second].second = std::move(AValue);
    return;
  }
  FIndex.emplace(AKey, FEntries.size());
  FEntries.emplace_back(AKey, std::move(AValue));
}

const TGgufValue* TGgufFile::Find(const std::string& AKey) const {
  auto It = FIndex.find(AKey);
  return It == FIndex.end() ? nullptr : &FEntries[It->second].second;
}

std::optional<std::string> TGgufFile::FindString(const std::string& AKey) const {
  const TGgufValue* v = Find(AKey);
  if (v == nullptr || v->Type != TGgufType::gtString) return std::nullopt;
  return v->Str;
}

std::vector<uint8_t> TGgufFile::Serialize() const {
  TWriter w;
  for (uint8_t b : Magic)
    w.Bytes().push_back(b);
  w.U32(3);
  w.U64(0);
  w.U64(FEntries.size());
  for (const auto& [Key, Value] : FEntries) {
    w.String(Key);
    w.U32(static_cast<uint32_t>(Value.Type));
    w.Value(Value);
  }
  // The tensor data section begins at the next multiple of the default alignment (32);
  // with no tensors it is empty, but the padding keeps other readers content.
  while (w.Bytes().size() % 32 != 0)
    w.Bytes().push_back(0);
  return std::move(w.Bytes());
}

TGgufReadResult TGgufFile::Parse(std::span<const uint8_t> ABytes, TGgufFile& AFile) {
  AFile = TGgufFile();
  if (ABytes.size() < 4 || std::memcmp(ABytes.data(), Magic, 4) != 0) return grNotGguf;
  TReader r(ABytes.subspan(4));
  uint32_t Version = 0;
  if (!r.U32(Version)) return r.Result();
  AFile.Version = Version;
  // Version 1 counted with 32 bits and is long gone; 2 and 3 share the layout read here.
  if (Version != 2 && Version != 3) return grBadVersion;
  uint64_t KeyCount = 0;
  if (!r.U64(AFile.TensorCount) || !r.U64(KeyCount)) return r.Result();
  // Each entry needs a key length, a type and at least one byte of value.
  if (KeyCount > r.Left() / 13) return grTruncated;
  for (uint64_t k = 0; k < KeyCount; ++k) {
    std::string Key;
    uint32_t Type = 0;
    if (!r.String(Key) || !r.U32(Type)) return r.Result();
    if (!KnownType(Type)) return grMalformed;
    TGgufValue Value;
    if (!r.Value(static_cast<TGgufType>(Type), Value, 0)) return r.Result();
    AFile.Set(Key, std::move(Value));
  }
  return grOk;
}

}  // namespace quavox::s2
