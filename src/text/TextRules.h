// The service's reader of announcement texts: the built-in tables of the program folder
// and the operator's lexicon file, which can change while requests are being read. Every
// member may be called from any thread at once; a reader works on the lexicon as it was
// when the reading began.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/ThreadAnnotations.h"
#include "text/Lexicon.h"
#include "text/SpokenText.h"

namespace quavox {

class TTextRules {
 public:
  // Reads the tables of ATablesFolder and the lexicon file; a missing or malformed file is
  // logged and read as empty.
  TTextRules(const std::string& ATablesFolder, std::string ALexiconFile);

  std::string Speak(std::string_view AText, std::string_view ALanguage) const;
  // The operator's entries, sorted by language and word.
  std::vector<TLexiconEntry> Entries() const;
  // Stores the entry (an empty say removes it) and returns it as stored. The file is
  // written first, so memory and file never disagree. Raises std::invalid_argument with the
  // reason for an entry that cannot be stored, std::system_error when the file cannot be
  // written; nothing changes then.
  TLexiconEntry Put(TLexiconEntry AEntry);
  // Makes the lexicon exactly these entries, with one write of the file; raises as Put does
  // and changes nothing then.
  void ReplaceAll(std::vector<TLexiconEntry> AEntries);

 private:
  using TEntryMap = std::map<std::string, TLexiconEntry>;
  static std::vector<TLexiconEntry> ListOf(const TEntryMap& AEntries);
  void SetAside() QX_REQUIRES(FSaveLock);
  // Stores or (for an empty say) removes the entry under the key, in both orders.
  void Store(const std::string& AKey, const TLexiconEntry& AEntry) QX_REQUIRES(FSaveLock);
  std::string FileText() const QX_REQUIRES(FSaveLock);
  // Writes the file of the entries as they are now, setting an unreadable one aside first.
  void WriteFile() QX_REQUIRES(FSaveLock);
  void StoreAll(const TEntryMap& AEntries) QX_REQUIRES(FSaveLock);

  const std::shared_ptr<const TSpeechTables> FTables;
  const std::string FLexiconFile;
  // Held across a whole change so two changes never interleave; the entries change only
  // under it, in place, so a change copies nothing of the whole lexicon.
  mutable TMutex FSaveLock QX_ACQUIRED_BEFORE(FLock);
  // The file could not be read at start; it is set aside before it is first replaced.
  bool FUnreadableFile QX_GUARDED_BY(FSaveLock) = false;
  TEntryMap FEntries QX_GUARDED_BY(FSaveLock);
  // The same entries in file order, so the file is written without sorting.
  std::set<const TLexiconEntry*, TLexiconFileOrder> FFileOrder QX_GUARDED_BY(FSaveLock);
  mutable TMutex FLock;
  std::shared_ptr<const TSpeechIndex> FIndex QX_GUARDED_BY(FLock);
};

}  // namespace quavox
