// /v1/lexicon and /v1/normalize: the operator's pronunciations, and what a text will be
// spoken as before a whole set of lines is baked with it.
#include <stdexcept>
#include <system_error>

#include "core/Format.h"
#include "core/I18n.h"
#include "core/Text.h"
#include "http/Http.h"
#include "service/Service.h"
#include "state/Voices.h"
#include "text/TextRules.h"

namespace quavox {

namespace {

TJson EntryJson(const TLexiconEntry& AEntry) {
  TJson Entry = TJson::object();
  Entry["language"] = AEntry.Language;
  Entry["word"] = AEntry.Word;
  Entry["say"] = AEntry.Say;
  return Entry;
}

// The three members of a change, each a JSON string; false when one is missing or is not.
bool ReadEntry(const TJsonValue& ABody, TLexiconEntry& AEntry) {
  for (const char* Name : {"language", "word", "say"}) {
    const auto It = ABody.find(Name);
    if (It == ABody.end() || !It->is_string()) return false;
  }
  AEntry = {ABody["language"].get<std::string>(), ABody["word"].get<std::string>(),
            ABody["say"].get<std::string>()};
  return true;
}

}  // namespace

std::string PercentEncode(std::string_view AText, std::size_t ALimit) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Out;
  std::string Character;
  for (std::size_t i = 0; i < AText.size();) {
    const std::size_t Start = i;
    NextCodePoint(AText, i);
    Character.clear();
    for (const char c : AText.substr(Start, i - Start)) {
      const auto b = static_cast<unsigned char>(c);
      const bool Unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                              (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' ||
                              b == '~';
      if (Unreserved) {
        Character += c;
      } else {
        Character += '%';
        Character += Hex[b >> 4];
        Character += Hex[b & 0x0F];
      }
    }
    if (Out.size() + Character.size() > ALimit) break;
    Out += Character;
  }
  return Out;
}

void TTtsHttpServer::HandleLexicon(const TCall& ACall) {
  TTextRules& Rules = FService.TextRules();
  if (ACall.Method == "PUT") {
    const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
    if (!Body) return;
    try {
      FService.VoiceLibrary().RefuseWhileFollowing();
    } catch (const ETtsError& E) {
      SendTtsError(ACall.Res, E);
      return;
    }
    TLexiconEntry Entry;
    if (!ReadEntry(*Body, Entry)) {
      SendError(ACall.Res, 400, "bad_json", "language, word and say must be strings");
      return;
    }
    try {
      SendJson(ACall.Res, 200, EntryJson(Rules.Put(Entry)));
    } catch (const std::invalid_argument& E) {
      SendError(ACall.Res, 400, "bad_json", E.what());
    } catch (const std::system_error& E) {
      SendError(ACall.Res, 500, "internal",
                Translate("数据文件夹写不进去,改动没有保存:") + E.what());
    }
    return;
  }
  TJson Entries = TJson::array();
  for (const TLexiconEntry& Entry : Rules.Entries())
    Entries.push_back(EntryJson(Entry));
  SendTaggedJson(ACall.Req, ACall.Res, TJson{{"entries", std::move(Entries)}});
}

void TTtsHttpServer::HandleNormalize(const TCall& ACall) {
  TTtsRequest Req;
  // POST takes a JSON body, for texts too long for a URL (a long Chinese or Japanese text).
  if (ACall.Method == "POST") {
    const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
    if (!Body) return;
    Req.Text = JsonString(&*Body, "text", "");
    Req.Language = NormalizeLanguage(JsonString(&*Body, "language", "auto"));
  } else {
    Req.Text = QueryParam(ACall.Req.Query, "text", "");
    Req.Language = NormalizeLanguage(QueryParam(ACall.Req.Query, "language", "auto"));
  }
  const std::string Text = Req.Text;
  Req.Normalize();
  const int32_t Limit = FConfig.Settings().MaxTextLength;
  if (const auto Length = static_cast<int64_t>(Utf16Length(Req.Text)); Length > Limit) {
    SendError(ACall.Res, 413, "text_too_long",
              Format(Translate("文本 %d 字,超过上限 %d"), Length, Limit));
    return;
  }
  TJson Reply = TJson::object();
  Reply["text"] = Text;
  Reply["language"] = Req.Language.empty() ? std::string("auto") : Req.Language;
  Reply["spoken"] = FService.SpokenText(Req);
  SendJson(ACall.Res, 200, Reply);
}

}  // namespace quavox
