#include "text/TextRules.h"

#include <filesystem>
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
  TEntryMap Entries;
  for (TLexiconEntry& Entry : Read)
    Entries[LexiconKey(Entry.Language, Entry.Word)] = std::move(Entry);
  auto Index = std::make_shared<const TSpeechIndex>(FTables, ListOf(Entries));
  TAppLog::Info(LogSource, "lexicon: %d entries", Entries.size());
  TLockGuard Guard(FLock);
  FEntries = std::move(Entries);
  FIndex = std::move(Index);
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
  return Index->Speak(AText, ALanguage);
}

std::vector<TLexiconEntry> TTextRules::Entries() const {
  TLockGuard Guard(FLock);
  return ListOf(FEntries);
}

TLexiconEntry TTextRules::Put(TLexiconEntry AEntry) {
  if (const std::string Problem = CleanLexiconEntry(AEntry); !Problem.empty())
    throw std::invalid_argument(Problem);
  TLockGuard SaveGuard(FSaveLock);
  TEntryMap Changed;
  {
    TLockGuard Guard(FLock);
    Changed = FEntries;
  }
  const std::string Key = LexiconKey(AEntry.Language, AEntry.Word);
  if (AEntry.Say.empty()) {
    Changed.erase(Key);
  } else {
    if (Changed.count(Key) == 0 && Changed.size() >= MaxLexiconEntries)
      throw std::invalid_argument("the lexicon is full");
    Changed[Key] = AEntry;
  }
  const std::vector<TLexiconEntry> List = ListOf(Changed);
  if (FUnreadableFile) SetAside();
  std::error_code Ignored;
  std::filesystem::create_directories(std::filesystem::path(FLexiconFile).parent_path(), Ignored);
  WriteFileAtomic(FLexiconFile, LexiconFileText(List));
  auto Index = std::make_shared<const TSpeechIndex>(FTables, List);
  TLockGuard Guard(FLock);
  FEntries = std::move(Changed);
  FIndex = std::move(Index);
  return AEntry;
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
