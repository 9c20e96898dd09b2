#include "text/TextRules.h"

#include <filesystem>
#include <optional>
#include <stdexcept>

#include "core/Log.h"
#include "platform/Files.h"
#include "text/TextFiles.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "text";

}  // namespace

TTextRules::TTextRules(const std::string& ATablesFolder, std::string ALexiconFile)
    : FTables(std::make_shared<const TSpeechTables>(LoadSpeechTables(ATablesFolder))),
      FLexiconFile(std::move(ALexiconFile)) {
  std::vector<TLexiconEntry> Read;
  std::error_code Ec;
  // Anything in the file's place counts, also a link that leads nowhere readable.
  const bool Present = std::filesystem::exists(std::filesystem::symlink_status(FLexiconFile, Ec));
  if (const auto Text = ReadTextFile(FLexiconFile)) {
    std::size_t Skipped = 0;
    if (!ParseLexicon(*Text, Read, Skipped)) {
      TAppLog::Warn(LogSource, "lexicon is not valid (%s); using the built-in tables alone",
                    FLexiconFile);
      TLockGuard SaveGuard(FSaveLock);
      FUnreadableFile = true;
    } else if (Skipped > 0) {
      TAppLog::Warn(LogSource, "skipped %d lexicon entries that could not be read", Skipped);
    }
  } else if (Present) {
    TAppLog::Warn(LogSource, "lexicon cannot be read (%s); using the built-in tables alone",
                  FLexiconFile);
    TLockGuard SaveGuard(FSaveLock);
    FUnreadableFile = true;
  }
  TLockGuard SaveGuard(FSaveLock);
  for (const TLexiconEntry& Entry : Read)
    Store(LexiconKey(Entry.Language, Entry.Word), Entry);
  auto Index = std::make_shared<const TSpeechIndex>(FTables, ListOf(FEntries));
  TAppLog::Info(LogSource, "lexicon: %d entries", FEntries.size());
  TLockGuard Guard(FLock);
  FIndex = std::move(Index);
}

void TTextRules::Store(const std::string& AKey, const TLexiconEntry& AEntry) {
  if (const auto Found = FEntries.find(AKey); Found != FEntries.end()) {
    FFileOrder.erase(&Found->second);
    FEntries.erase(Found);
  }
  if (AEntry.Say.empty()) return;
  const auto Stored = FEntries.emplace(AKey, AEntry).first;
  FFileOrder.insert(&Stored->second);
}

std::string TTextRules::FileText() const {
  return SortedLexiconFileText({FFileOrder.begin(), FFileOrder.end()});
}

std::vector<TLexiconEntry> TTextRules::ListOf(const TEntryMap& AEntries) {
  std::vector<TLexiconEntry> List;
  List.reserve(AEntries.size());
  for (const auto& [Key, Entry] : AEntries)
    List.push_back(Entry);
  return List;
}

std::string TTextRules::Speak(std::string_view AText, std::string_view ALanguage) const {
  std::shared_ptr<const TSpeechIndex> Index;
  {
    TLockGuard Guard(FLock);
    Index = FIndex;
  }
  // A request reads its text twice on one thread, to predict the reply's length and to
  // speak it; the second reading is the first one's answer while the index is the same.
  // The weak reference keeps the old index's place taken, so a new index is never mistaken
  // for it.
  struct TLastReading {
    std::weak_ptr<const TSpeechIndex> Index;
    std::string Text;
    std::string Language;
    std::string Spoken;
  };
  thread_local TLastReading Last;
  const bool SameIndex = !Last.Index.owner_before(Index) && !Index.owner_before(Last.Index);
  if (SameIndex && !Last.Index.expired() && Last.Text == AText && Last.Language == ALanguage)
    return Last.Spoken;
  std::string Spoken = Index->Speak(AText, ALanguage);
  Last.Index = Index;
  Last.Text = AText;
  Last.Language = ALanguage;
  Last.Spoken = Spoken;
  return Spoken;
}

std::vector<TLexiconEntry> TTextRules::Entries() const {
  TLockGuard SaveGuard(FSaveLock);
  return ListOf(FEntries);
}

TLexiconEntry TTextRules::Put(TLexiconEntry AEntry) {
  if (const std::string Problem = CleanLexiconEntry(AEntry); !Problem.empty())
    throw std::invalid_argument(Problem);
  TLockGuard SaveGuard(FSaveLock);
  const std::string Key = LexiconKey(AEntry.Language, AEntry.Word);
  const auto Found = FEntries.find(Key);
  std::optional<TLexiconEntry> Old;
  if (Found != FEntries.end()) Old = Found->second;
  if (!Old && !AEntry.Say.empty() && FEntries.size() >= MaxLexiconEntries)
    throw std::invalid_argument("the lexicon is full");
  // Changed in place for writing the file, and put back when the file cannot be written.
  Store(Key, AEntry);
  try {
    WriteFile();
  } catch (...) {
    Store(Key, Old.value_or(TLexiconEntry{AEntry.Language, AEntry.Word, ""}));
    throw;
  }
  std::shared_ptr<const TSpeechIndex> Index;
  {
    TLockGuard Guard(FLock);
    Index = FIndex;
  }
  Index = Index->Changed(Old ? &*Old : nullptr, AEntry);
  TLockGuard Guard(FLock);
  FIndex = std::move(Index);
  return AEntry;
}

void TTextRules::ReplaceAll(std::vector<TLexiconEntry> AEntries) {
  TEntryMap Wanted;
  for (TLexiconEntry& Entry : AEntries) {
    if (const std::string Problem = CleanLexiconEntry(Entry); !Problem.empty())
      throw std::invalid_argument(Problem);
    if (!Entry.Say.empty()) Wanted[LexiconKey(Entry.Language, Entry.Word)] = std::move(Entry);
  }
  if (Wanted.size() > MaxLexiconEntries) throw std::invalid_argument("the lexicon is full");
  TLockGuard SaveGuard(FSaveLock);
  const TEntryMap Old = FEntries;
  StoreAll(Wanted);
  try {
    WriteFile();
  } catch (...) {
    StoreAll(Old);
    throw;
  }
  auto Index = std::make_shared<const TSpeechIndex>(FTables, ListOf(FEntries));
  TLockGuard Guard(FLock);
  FIndex = std::move(Index);
}

void TTextRules::StoreAll(const TEntryMap& AEntries) {
  FFileOrder.clear();
  FEntries.clear();
  for (const auto& [Key, Entry] : AEntries)
    Store(Key, Entry);
}

void TTextRules::WriteFile() {
  if (FUnreadableFile) SetAside();
  std::error_code Ignored;
  std::filesystem::create_directories(std::filesystem::path(FLexiconFile).parent_path(), Ignored);
  WriteFileAtomic(FLexiconFile, FileText());
}

// An unreadable lexicon is kept beside the new one, so an operator's hand-edited file is
// never lost to the first change made through the API.
void TTextRules::SetAside() {
  const std::string Kept = FLexiconFile + ".unreadable";
  std::error_code Error;
  std::filesystem::rename(FLexiconFile, Kept, Error);
  if (Error) {
    TAppLog::Warn(LogSource, "could not keep the unreadable lexicon as %s: %s", Kept,
                  Error.message());
  } else {
    TAppLog::Warn(LogSource, "kept the unreadable lexicon as %s", Kept);
  }
  FUnreadableFile = false;
}

}  // namespace quavox
