// Sentence ends in announcement text, so a long text can be spoken one sentence at a
// time: each sentence is made (and cached) on its own, and the first is heard while the
// rest are still being made. Pure; safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quavox {

// The sentences of AText in order, trimmed. A sentence ends after ".", "!", "?" or "…"
// followed by a blank (so "1.5" and "CA1234.B" stay whole), and after the East Asian
// full stop, exclamation and question marks wherever they stand; closing quotes and
// brackets stay with their sentence. A piece without a letter or digit joins the sentence
// before it. A text without an end is one sentence; a blank text has none.
std::vector<std::string> SplitSentences(std::string_view AText);

}  // namespace quavox
