#include "state/ClonePack.h"

#include <zip.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Files.h"
#include "state/Json.h"

namespace quavox {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view PackFormat = "quavox-clone-pack";
constexpr const char* ManifestName = "cln.json";
constexpr const char* LogSource = "clonepack";

std::string BoundVoice(const std::vector<std::string>& AParts, const TAppConfig& AConfig) {
  return AConfig.AirlineVoice(AParts[0], AParts[1], ParseGender(AParts[2]));
}

std::string LocalTimestamp() {
  const std::time_t Now = std::time(nullptr);
  std::tm Local{};
  localtime_r(&Now, &Local);
  std::array<char, 32> Text{};
  const std::size_t n = std::strftime(Text.data(), Text.size(), "%Y-%m-%dT%H:%M:%S", &Local);
  return std::string(Text.data(), n);
}

std::string ZipErrorText(int ACode) {
  zip_error_t Error;
  zip_error_init_with_code(&Error, ACode);
  std::string Text = zip_error_strerror(&Error);
  zip_error_fini(&Error);
  return Text;
}

TJson VoiceToJson(const TVoiceInfo& AVoice) {
  TJson Clips = TJson::array();
  for (const TVoiceClip& Clip : AVoice.Clips) {
    TJson Item = TJson::object();
    Item["file"] = Clip.FileName;
    Item["text"] = Clip.Text;
    Item["durationMs"] = Clip.DurationMs;
    Clips.push_back(std::move(Item));
  }
  TJson Voice = TJson::object();
  Voice["id"] = AVoice.Id;
  Voice["display"] = AVoice.Display;
  Voice["language"] = AVoice.Language;
  Voice["gender"] = GenderToStr(AVoice.Gender);
  Voice["style"] = AVoice.Style;
  Voice["note"] = AVoice.Note;
  Voice["clips"] = std::move(Clips);
  return Voice;
}

bool FindSameVoice(const TVoiceLibrary& ALibrary, std::string_view ADisplay,
                   std::string_view ALanguage, TTtsGender AGender, TVoiceInfo& AVoice) {
  for (TVoiceInfo& Voice : ALibrary.All()) {
    if (SameTextAscii(Voice.Display, ADisplay) && Voice.Language == ALanguage &&
        Voice.Gender == AGender) {
      AVoice = std::move(Voice);
      return true;
    }
  }
  return false;
}

// Builds the archive in memory so the file on disk is replaced in one atomic step.
class TPackWriter {
 public:
  TPackWriter() {
    zip_error_t Error;
    zip_error_init(&Error);
    FSource = zip_source_buffer_create(nullptr, 0, 0, &Error);
    if (FSource != nullptr) {
      zip_source_keep(FSource);
      FZip = zip_open_from_source(FSource, ZIP_TRUNCATE, &Error);
    }
    const std::string Text = zip_error_strerror(&Error);
    zip_error_fini(&Error);
    if (FZip == nullptr) {
      if (FSource != nullptr) zip_source_free(FSource);
      throw std::runtime_error("clone pack: " + Text);
    }
  }
  TPackWriter(const TPackWriter&) = delete;
  TPackWriter& operator=(const TPackWriter&) = delete;
  ~TPackWriter() {
    if (FZip != nullptr) zip_discard(FZip);
    zip_source_free(FSource);
  }

  // False when an entry of that name was added before.
  bool Add(const std::string& AName, TBytes ABytes) {
    if (!FNames.insert(AName).second) return false;
    const TBytes& Held = FHeld.emplace_back(std::move(ABytes));
    zip_source_t* Source = zip_source_buffer(FZip, Held.data(), Held.size(), 0);
    if (Source == nullptr) Fail();
    const zip_int64_t Index = zip_file_add(FZip, AName.c_str(), Source, 0);
    if (Index < 0) {
      zip_source_free(Source);
      Fail();
    }
    if (zip_set_file_compression(FZip, static_cast<zip_uint64_t>(Index), ZIP_CM_DEFLATE, 0) < 0)
      Fail();
    return true;
  }

  TBytes Finish() {
    if (zip_close(FZip) < 0) Fail();
    FZip = nullptr;
    FHeld.clear();
    zip_stat_t Stat;
    zip_stat_init(&Stat);
    if (zip_source_stat(FSource, &Stat) < 0 || zip_source_open(FSource) < 0)
      throw std::runtime_error("clone pack: cannot read the archive back");
    TBytes Bytes(static_cast<std::size_t>(Stat.size));
    const zip_int64_t Read = zip_source_read(FSource, Bytes.data(), Bytes.size());
    zip_source_close(FSource);
    if (Read < 0 || static_cast<zip_uint64_t>(Read) != Stat.size)
      throw std::runtime_error("clone pack: cannot read the archive back");
    return Bytes;
  }

 private:
  [[noreturn]] void Fail() {
    throw std::runtime_error(std::string("clone pack: ") + zip_strerror(FZip));
  }

  zip_source_t* FSource = nullptr;
  zip_t* FZip = nullptr;
  std::deque<TBytes> FHeld;
  std::set<std::string> FNames;
};

class TPackExport {
 public:
  explicit TPackExport(const TVoiceLibrary& ALibrary) : FLibrary(ALibrary) {}

  TPackSummary Summary;
  TJson Airlines = TJson::object();

  bool Written(const std::string& AId) { return !FWritten.insert(AId).second; }

  bool WriteVoice(const std::string& AId) {
    TVoiceInfo Voice;
    if (!FLibrary.Find(AId, Voice)) return false;
    FVoices.push_back(VoiceToJson(Voice));
    ++Summary.Voices;
    for (const TVoiceClip& Clip : Voice.Clips) {
      TBytes Bytes;
      if (ReadClip(Clip, Bytes)) {
        const auto Size = static_cast<int64_t>(Bytes.size());
        if (FWriter.Add("audio/" + Clip.FileName, std::move(Bytes))) {
          ++Summary.Clips;
          Summary.Bytes += Size;
        }
      } else {
        Summary.Notes.push_back(
            Format(Translate("%s 少了一段参考音频(%s),包里没有它"), Voice.Display, Clip.FileName));
      }
    }
    return true;
  }

  void Save(const std::string& AFileName) { WriteFileAtomic(AFileName, Finish()); }

  // The archive with its manifest; AExtra members follow the specified ones.
  TBytes Finish(TJson AExtra = TJson::object()) {
    TJson Root = TJson::object();
    Root["format"] = PackFormat;
    Root["version"] = 1;
    Root["exportedAt"] = LocalTimestamp();
    Root["voices"] = std::move(FVoices);
    Root["airlines"] = std::move(Airlines);
    for (auto& [Name, Value] : AExtra.items())
      Root[Name] = std::move(Value);
    const std::string Text = JsonDumpIndented(Root);
    FWriter.Add(ManifestName, TBytes(Text.begin(), Text.end()));
    return FWriter.Finish();
  }

 private:
  bool ReadClip(const TVoiceClip& AClip, TBytes& ABytes) const {
    const std::string Path = FLibrary.ClipPath(AClip);
    std::error_code Ec;
    if (Path.empty() || !fs::is_regular_file(Path, Ec)) return false;
    try {
      ABytes = ReadFileBytes(Path);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  const TVoiceLibrary& FLibrary;
  TPackWriter FWriter;
  TJson FVoices = TJson::array();
  std::set<std::string> FWritten;
};

std::string FileNameOnly(const std::string& AFileName) {
  return fs::path(AFileName).filename().string();
}

[[noreturn]] void RaiseUnreadable(const std::string& AReason) {
  throw ETtsError(ecBadAudio, Translate("这个文件打不开(") + AReason +
                                  Translate(")。.cln 是个压缩包,选错文件了?"));
}

[[noreturn]] void RaiseBomb(const char* ALimit) {
  RaiseUnreadable(Format(Translate("包里的内容解压后超过 %s,疑似压缩炸弹,已拒绝"), ALimit));
}

// Reads a pack from a stranger: every byte decompressed is counted against the bounds,
// whatever sizes the archive declares.
class TPackReader {
 public:
  explicit TPackReader(const std::string& AFileName) {
    std::error_code Ec;
    // An empty file would open as an empty archive; it is no pack at all.
    if (fs::is_regular_file(AFileName, Ec) && fs::file_size(AFileName, Ec) == 0 && !Ec)
      RaiseUnreadable(ZipErrorText(ZIP_ER_NOZIP));
    int Error = 0;
    FZip = zip_open(AFileName.c_str(), ZIP_RDONLY, &Error);
    if (FZip == nullptr) RaiseUnreadable(ZipErrorText(Error));
  }
  TPackReader(const TPackReader&) = delete;
  TPackReader& operator=(const TPackReader&) = delete;
  ~TPackReader() { zip_discard(FZip); }

  // Decompresses every entry once, so a damaged or oversized archive is refused before
  // anything changes.
  void CheckAll() {
    const zip_int64_t Count = zip_get_num_entries(FZip, 0);
    for (zip_int64_t i = 0; i < Count; ++i) {
      zip_stat_t Stat;
      zip_stat_init(&Stat);
      if (zip_stat_index(FZip, static_cast<zip_uint64_t>(i), 0, &Stat) == 0 &&
          (Stat.valid & ZIP_STAT_SIZE) != 0 &&
          Stat.size > static_cast<zip_uint64_t>(MaxPackEntryBytes))
        RaiseBomb("64 MB");
    }
    int64_t Total = 0;
    for (zip_int64_t i = 0; i < Count; ++i)
      Stream(static_cast<zip_uint64_t>(i), nullptr, Total);
    FTotal = 0;
  }

  zip_int64_t Locate(const std::string& AName) const {
    if (AName.find('\0') != std::string::npos) return -1;
    return zip_name_locate(FZip, AName.c_str(), 0);
  }

  TBytes Read(zip_int64_t AIndex) {
    TBytes Bytes;
    Stream(static_cast<zip_uint64_t>(AIndex), &Bytes, FTotal);
    return Bytes;
  }

 private:
  void Stream(zip_uint64_t AIndex, TBytes* ABytes, int64_t& ATotal) {
    zip_file_t* File = zip_fopen_index(FZip, AIndex, 0);
    if (File == nullptr) RaiseUnreadable(zip_strerror(FZip));
    std::array<uint8_t, 65536> Buffer;
    int64_t EntryBytes = 0;
    std::string Failure;
    const char* Limit = nullptr;
    for (;;) {
      const zip_int64_t n = zip_fread(File, Buffer.data(), Buffer.size());
      if (n < 0) {
        Failure = zip_file_strerror(File);
        break;
      }
      if (n == 0) break;
      EntryBytes += n;
      ATotal += n;
      if (EntryBytes > MaxPackEntryBytes)
        Limit = "64 MB";
      else if (ATotal > MaxPackTotalBytes)
        Limit = "512 MB";
      if (Limit != nullptr) break;
      if (ABytes != nullptr) ABytes->insert(ABytes->end(), Buffer.data(), Buffer.data() + n);
    }
    zip_fclose(File);
    if (Limit != nullptr) RaiseBomb(Limit);
    if (!Failure.empty()) RaiseUnreadable(Failure);
  }

  zip_t* FZip = nullptr;
  int64_t FTotal = 0;
};

// Checks every entry, then reads the manifest; raises ETtsError ecBadAudio when the archive
// is no clone pack.
TJson ReadManifest(TPackReader& AReader) {
  AReader.CheckAll();
  const zip_int64_t ManifestIndex = AReader.Locate(ManifestName);
  if (ManifestIndex < 0)
    throw ETtsError(ecBadAudio,
                    Translate("包里没有 ") + ManifestName + Translate(",这不是 Quavox 的克隆包。"));
  const TBytes ManifestBytes = AReader.Read(ManifestIndex);
  std::optional<TJson> Root = ParseJsonObject(StripUtf8Bom(
      std::string_view(reinterpret_cast<const char*>(ManifestBytes.data()), ManifestBytes.size())));
  if (!Root)
    throw ETtsError(ecBadAudio,
                    Translate("包里的 ") + ManifestName + Translate(" 坏了,读不出来。"));
  const auto FormatNode = Root->find("format");
  if (FormatNode == Root->end() || !FormatNode->is_string() ||
      FormatNode->get<std::string>() != PackFormat)
    throw ETtsError(ecBadAudio, Translate("这个包不是 Quavox 的克隆包(format 对不上)。"));
  return *std::move(Root);
}

TJson LibraryRecords(const std::vector<TVoiceInfo>& AVoices) {
  TJson Records = TJson::array();
  for (const TVoiceInfo& Voice : AVoices)
    Records.push_back(VoiceRecordJson(Voice));
  return Records;
}

}  // namespace

TBytes ExportLibraryPack(const TVoiceLibrary& ALibrary, const TAppConfig& AConfig) {
  const std::vector<TVoiceInfo> Voices = ALibrary.All();
  TPackExport Export(ALibrary);
  for (const TVoiceInfo& Voice : Voices)
    if (!Export.Written(Voice.Id)) Export.WriteVoice(Voice.Id);
  for (const auto& [Key, Id] : AConfig.AirlinesSnapshot())
    Export.Airlines[Key] = Id;
  TJson Extra = TJson::object();
  Extra["library"] = LibraryRecords(Voices);
  return Export.Finish(std::move(Extra));
}

std::string LibraryPackTag(const TVoiceLibrary& ALibrary) {
  return Sha256Hex(LibraryRecords(ALibrary.All()).dump()).substr(0, 32);
}

TLibraryPack ReadLibraryPack(const std::string& AFileName) {
  TPackReader Reader(AFileName);
  const TJson Manifest = ReadManifest(Reader);
  const TJson* Records = JsonChildArray(&Manifest, "library");
  if (Records == nullptr) throw ETtsError(ecBadAudio, Format("%s holds no library", ManifestName));
  TLibraryPack Pack;
  for (const TJson& Record : *Records) {
    if (!Record.is_object()) continue;
    TVoiceInfo Voice = VoiceFromRecord(Record);
    if (Voice.Id.empty()) continue;
    for (const TVoiceClip& Clip : Voice.Clips) {
      const zip_int64_t Index = Reader.Locate("audio/" + Clip.FileName);
      if (IsSafeClipFileName(Clip.FileName) && Index >= 0)
        Pack.Clips[Clip.FileName] = Reader.Read(Index);
    }
    Pack.Voices.push_back(std::move(Voice));
  }
  return Pack;
}

std::string TPackSummary::Describe() const {
  std::string Text = Format(
      Translate("音色 %d 个(新增 %d,复用 %d)· 参考音频 %d 段 · 绑定 %d 条 · %.1f MB"), Voices,
      VoicesAdded, VoicesReused, Clips, Bindings, static_cast<double>(Bytes) / 1048576.0);
  for (const std::string& Note : Notes)
    Text += "\r\n· " + Note;
  return Text;
}

TPackSummary ExportPack(const std::string& AFileName, const std::vector<std::string>& AKeys,
                        const TVoiceLibrary& ALibrary, const TAppConfig& AConfig) {
  TPackExport Export(ALibrary);
  TPackSummary& Summary = Export.Summary;
  for (const std::string& Key : AKeys) {
    const std::vector<std::string> Parts = SplitAirlineKey(Key);
    if (Parts.size() < 3) continue;
    const std::string VoiceId = BoundVoice(Parts, AConfig);
    if (VoiceId.empty()) continue;
    Export.Airlines[Key] = VoiceId;
    ++Summary.Bindings;
    if (Export.Written(VoiceId)) continue;
    if (!Export.WriteVoice(VoiceId))
      Summary.Notes.push_back(
          Format(Translate("绑定 %s 指向的音色 %s 已经不在了,没打进包里"), Key, VoiceId));
  }
  Export.Save(AFileName);
  TAppLog::Info(LogSource, "exported %s: %s", FileNameOnly(AFileName), Summary.Describe());
  return Summary;
}

TPackSummary ExportVoicesPack(const std::string& AFileName, const std::vector<std::string>& AIds,
                              const TVoiceLibrary& ALibrary) {
  TPackExport Export(ALibrary);
  TPackSummary& Summary = Export.Summary;
  for (const std::string& Id : AIds) {
    if (Id.empty() || Export.Written(Id)) continue;
    if (!Export.WriteVoice(Id))
      Summary.Notes.push_back(Format(Translate("音色 %s 已经不在了,没打进包里"), Id));
  }
  Export.Save(AFileName);
  TAppLog::Info(LogSource, "exported %s (voices only): %s", FileNameOnly(AFileName),
                Summary.Describe());
  return Summary;
}

TPackSummary ImportPack(const std::string& AFileName, TVoiceLibrary& ALibrary,
                        TAppConfig& AConfig) {
  ALibrary.RefuseWhileFollowing();
  TPackReader Reader(AFileName);
  const TJson Root = ReadManifest(Reader);
  const TJson* Manifest = &Root;

  TPackSummary Summary;
  std::map<std::string, std::string> LocalIds;
  if (const TJson* Voices = JsonChildArray(Manifest, "voices")) {
    for (const TJson& Item : *Voices) {
      if (!Item.is_object()) continue;
      const std::string PackId = JsonString(&Item, "id", "");
      const std::string Display = JsonString(&Item, "display", "");
      const std::string Language = NormalizeLanguage(JsonString(&Item, "language", ""));
      const TTtsGender Gender = ParseGender(JsonString(&Item, "gender", "default"));
      ++Summary.Voices;
      const std::string ReusedNote = Format(Translate("已经有「%s」了,这次没重复导入"), Display);
      TVoiceInfo Existing;
      if (FindSameVoice(ALibrary, Display, Language, Gender, Existing)) {
        LocalIds[PackId] = Existing.Id;
        ++Summary.VoicesReused;
        Summary.Notes.push_back(ReusedNote);
        continue;
      }
      TVoiceCloneSpec CloneOrder;
      CloneOrder.Display = Display;
      CloneOrder.Language = Language;
      CloneOrder.Gender = Gender;
      CloneOrder.Style = JsonString(&Item, "style", "");
      CloneOrder.Note = JsonString(&Item, "note", "");
      if (const TJson* Clips = JsonChildArray(&Item, "clips")) {
        for (const TJson& Clip : *Clips) {
          if (!Clip.is_object()) continue;
          const std::string Entry = "audio/" + JsonString(&Clip, "file", "");
          const zip_int64_t Index = Reader.Locate(Entry);
          if (Index < 0) {
            Summary.Notes.push_back(
                Format(Translate("「%s」少了一段音频(%s),这一段跳过"), Display, Entry));
            continue;
          }
          TVoiceClipInput Input;
          Input.Audio = Reader.Read(Index);
          Input.Text = JsonString(&Clip, "text", "");
          ++Summary.Clips;
          Summary.Bytes += static_cast<int64_t>(Input.Audio.size());
          CloneOrder.Clips.push_back(std::move(Input));
        }
      }
      if (CloneOrder.Clips.empty()) {
        Summary.Notes.push_back(Format(Translate("「%s」一段音频都没有,没法导入"), Display));
        continue;
      }
      // The id the recordings would get before any "-n" suffix: "v-" and 12 hex characters.
      const std::string BaseId = ALibrary.PredictId(CloneOrder).substr(0, 14);
      if (ALibrary.Find(BaseId, Existing)) {
        LocalIds[PackId] = Existing.Id;
        ++Summary.VoicesReused;
        Summary.Notes.push_back(ReusedNote);
        continue;
      }
      try {
        const TVoiceInfo Added = ALibrary.AddClone(CloneOrder);
        LocalIds[PackId] = Added.Id;
        ++Summary.VoicesAdded;
      } catch (const ETtsError& E) {
        Summary.Notes.push_back(Format(Translate("「%s」导入失败:%s"), Display, E.what()));
      }
    }
  }
  if (const TJson* Airlines = JsonChildObject(Manifest, "airlines")) {
    for (const auto& [Key, Value] : Airlines->items()) {
      const std::vector<std::string> Parts = SplitAirlineKey(Key);
      if (Parts.size() < 3 || !Value.is_string()) continue;
      const auto Found = LocalIds.find(Value.get<std::string>());
      if (Found == LocalIds.end()) continue;
      AConfig.SetAirlineVoice(Parts[0], Parts[1], ParseGender(Parts[2]), Found->second);
      ++Summary.Bindings;
    }
  }
  AConfig.Save();
  ALibrary.Save();
  TAppLog::Info(LogSource, "imported %s: %s", FileNameOnly(AFileName), Summary.Describe());
  return Summary;
}

std::string PackFingerprint(const std::vector<std::string>& AIds,
                            const std::vector<std::string>& AKeys, const TVoiceLibrary& ALibrary,
                            const TAppConfig& AConfig) {
  std::vector<std::string> Ids = AIds;
  for (const std::string& Key : AKeys) {
    const std::vector<std::string> Parts = SplitAirlineKey(Key);
    if (Parts.size() < 3) continue;
    std::string VoiceId = BoundVoice(Parts, AConfig);
    if (!VoiceId.empty()) Ids.push_back(std::move(VoiceId));
  }
  std::vector<std::string> Keys = AKeys;
  std::sort(Ids.begin(), Ids.end());
  std::sort(Keys.begin(), Keys.end());
  std::string Text;
  std::set<std::string> Seen;
  for (const std::string& Id : Ids) {
    TVoiceInfo Voice;
    if (Id.empty() || !Seen.insert(Id).second || !ALibrary.Find(Id, Voice)) continue;
    Text += "V|" + Voice.Display + "|" + Voice.Language + "|" + GenderToStr(Voice.Gender) + "|" +
            Voice.Style + "\n";
    for (const TVoiceClip& Clip : Voice.Clips) {
      std::string Hash = "missing";
      const std::string Path = ALibrary.ClipPath(Clip);
      std::error_code Ec;
      if (!Path.empty() && fs::is_regular_file(Path, Ec)) {
        try {
          Hash = Sha256Hex(ReadFileBytes(Path));
        } catch (const std::exception&) {
          Hash = "missing";
        }
      }
      Text += "C|" + Clip.Text + "|" + Hash + "\n";
    }
  }
  for (const std::string& Key : Keys)
    Text += "B|" + Key + "\n";
  return Sha256Hex(Text);
}

}  // namespace quavox
