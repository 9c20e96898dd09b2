// /v1/voices, /v1/airlines and /v1/defaults: the voice library, the airline bindings and
// the default voices, as JSON. Path parameters are voice ids, looked up in the library and
// never used as file names.
#include <algorithm>
#include <exception>

#include "core/Format.h"
#include "core/I18n.h"
#include "core/Text.h"
#include "http/Http.h"
#include "http/HttpWire.h"
#include "service/Service.h"
#include "state/ClonePack.h"
#include "state/Voices.h"

namespace quavox {

namespace {

constexpr std::string_view VoicesPrefix = "/v1/voices/";

TJson MapJson(const TKeyValueList& AMap) {
  TJson Object = TJson::object();
  for (const auto& [Key, Value] : AMap)
    Object[Key] = Value;
  return Object;
}

void SendNoSuchVoice(THttpResponse& ARes, const std::string& AId) {
  SendError(ARes, 404, "not_found", Translate("没有这个音色:") + AId);
}

// A change of the configuration that could not be written is not made.
void SendNotSaved(THttpResponse& ARes, const std::exception& AError) {
  SendError(ARes, 500, "internal", Translate("数据文件夹写不进去,改动没有保存:") + AError.what());
}

bool IsAsciiAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Airline codes are short codes of letters and digits (ICAO uses three letters, IATA two
// characters); anything else would end up as a key of config.json.
bool IsAirlineCode(std::string_view ACode) {
  return ACode.size() >= 2 && ACode.size() <= 8 &&
         std::all_of(ACode.begin(), ACode.end(), IsAsciiAlnum);
}

// Bounds of what a voice stores, so voices.json stays small enough to rewrite on a change.
constexpr std::size_t MaxVoiceDisplayLength = 100;  // UTF-16 code units
constexpr std::size_t MaxVoiceNoteLength = 2000;    // UTF-16 code units
constexpr std::size_t MaxVoiceClips = 32;
// A transcript of the longest clip the library takes (ten minutes of speech).
constexpr std::size_t MaxClipTranscriptLength = 10000;  // UTF-16 code units

// Empty, "auto", or a language code of two or three letters with an optional region or
// script after "-" or "_" ("en", "zh-CN", "yue"); "english" and "e-n" are none.
bool IsLanguageText(std::string_view AText) {
  const std::string Text = Trim(AText);
  if (Text.empty() || SameTextAscii(Text, "auto")) return true;
  const std::size_t Split = Text.find_first_of("-_");
  const std::string_view Code = std::string_view(Text).substr(0, Split);
  const bool Letters = std::all_of(Code.begin(), Code.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  });
  if (!Letters || Code.size() < 2 || Code.size() > 3) return false;
  if (Split == std::string::npos) return true;
  const std::string_view Rest = std::string_view(Text).substr(Split + 1);
  return !Rest.empty() && Rest.size() <= 8 && std::all_of(Rest.begin(), Rest.end(), IsAsciiAlnum);
}

// The binding's language, or false when the text names no language although it is neither
// empty nor "auto": such a text would silently bind the voice for every language.
bool ReadBindingLanguage(const TJsonValue* ANode, std::string& ALanguage) {
  const std::string Text = JsonString(ANode, "language", "auto");
  ALanguage = NormalizeLanguage(Text);
  return IsLanguageText(Text);
}

// Why the clone order cannot be stored; empty when it can.
std::string CloneFieldsProblem(const TJsonValue* ANode) {
  if (Utf16Length(JsonString(ANode, "display", "")) > MaxVoiceDisplayLength)
    return Format("display is longer than %d characters",
                  static_cast<int64_t>(MaxVoiceDisplayLength));
  if (Utf16Length(JsonString(ANode, "note", "")) > MaxVoiceNoteLength)
    return Format("note is longer than %d characters", static_cast<int64_t>(MaxVoiceNoteLength));
  if (std::string Problem = StyleLengthProblem("style", JsonString(ANode, "style", ""));
      !Problem.empty())
    return Problem;
  const TJsonValue* Clips = JsonChildArray(ANode, "clips");
  if (Clips != nullptr && Clips->size() > MaxVoiceClips)
    return Format("clips holds more than %d clips", static_cast<int64_t>(MaxVoiceClips));
  std::vector<const TJsonValue*> Transcribed{ANode};
  if (Clips != nullptr)
    for (const TJsonValue& Clip : *Clips)
      Transcribed.push_back(&Clip);
  for (const TJsonValue* Clip : Transcribed)
    for (const char* Name : {"text", "reference_text"})
      if (std::string Problem =
              FieldLengthProblem(Name, JsonString(Clip, Name, ""), MaxClipTranscriptLength);
          !Problem.empty())
        return Problem;
  return {};
}

void SendBadLanguage(THttpResponse& ARes) {
  SendError(ARes, 400, "bad_json",
            "language is not a language code (leave it empty or \"auto\" for every language)");
}

}  // namespace

TJson VoiceJson(const TVoiceInfo& AVoice) {
  TJson Object = TJson::object();
  Object["id"] = AVoice.Id;
  Object["display"] = AVoice.Display;
  Object["kind"] = AVoice.Kind == vkProfile ? "profile" : "cloned";
  Object["voice_profile"] = AVoice.ProfileFile;
  Object["language"] = AVoice.Language;
  Object["gender"] = GenderToStr(AVoice.Gender);
  Object["style"] = AVoice.Style;
  Object["note"] = AVoice.Note;
  Object["clip_count"] = AVoice.Clips.size();
  TJson Clips = TJson::array();
  for (const TVoiceClip& Clip : AVoice.Clips) {
    TJson Item = TJson::object();
    Item["file"] = Clip.FileName;
    Item["text"] = Clip.Text;
    Item["duration_ms"] = Clip.DurationMs;
    Clips.push_back(std::move(Item));
  }
  Object["clips"] = std::move(Clips);
  return Object;
}

void TTtsHttpServer::HandleVoices(const TCall& ACall) {
  if (ACall.Method == "POST") {
    CloneVoice(ACall);
  } else if (ACall.Method == "DELETE") {
    RemoveVoice(ACall);
  } else {
    TJson List = TJson::array();
    for (const TVoiceInfo& Voice : FService.Voices())
      List.push_back(VoiceJson(Voice));
    const std::size_t Count = List.size();
    TJson Reply = TJson::object();
    Reply["voices"] = std::move(List);
    Reply["count"] = Count;
    SendJson(ACall.Res, 200, Reply);
  }
}

void TTtsHttpServer::CloneVoice(const TCall& ACall) {
  const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
  if (!Body) return;
  if (!EndsWith(ACall.Path, "/clone")) {
    SendError(ACall.Res, 404, "not_found",
              "to create a voice POST /v1/voices/clone with reference audio");
    return;
  }
  const TJsonValue* Node = &*Body;
  if (!IsLanguageText(JsonString(Node, "language", "auto"))) {
    SendBadLanguage(ACall.Res);
    return;
  }
  if (const std::string Problem = CloneFieldsProblem(Node); !Problem.empty()) {
    SendError(ACall.Res, 400, "bad_request", Problem);
    return;
  }
  TVoiceCloneSpec Request;
  Request.Display = JsonString(Node, "display", "");
  Request.Language = NormalizeLanguage(JsonString(Node, "language", "auto"));
  Request.Gender = ParseGender(JsonString(Node, "gender", "default"));
  Request.Style = JsonString(Node, "style", "");
  Request.Note = JsonString(Node, "note", "");

  if (const TJsonValue* Clips = JsonChildArray(Node, "clips")) {
    for (const TJsonValue& Element : *Clips) {
      if (!Element.is_object()) continue;
      std::string Text = JsonString(&Element, "text", "");
      if (Text.empty()) Text = JsonString(&Element, "reference_text", "");
      const std::string Audio = JsonString(&Element, "audio", "");
      if (Audio.empty()) continue;
      TVoiceClipInput Clip;
      if (!Base64Decode(Audio, Clip.Audio)) {
        SendError(ACall.Res, 400, "bad_audio", "one entry in clips is not valid base64");
        return;
      }
      Clip.Text = std::move(Text);
      Request.Clips.push_back(std::move(Clip));
    }
  } else {
    const std::string Audio = JsonString(Node, "audio", "");
    if (Audio.empty()) {
      SendError(ACall.Res, 400, "bad_audio",
                "missing the audio field (base64 reference audio), or use the clips array for "
                "several");
      return;
    }
    TVoiceClipInput Clip;
    if (!Base64Decode(Audio, Clip.Audio)) {
      SendError(ACall.Res, 400, "bad_audio", "audio is not valid base64");
      return;
    }
    Clip.Text = JsonString(Node, "reference_text", "");
    Request.Clips.push_back(std::move(Clip));
  }
  if (Request.Clips.empty()) {
    SendError(ACall.Res, 400, "bad_audio", "clips contains no usable audio");
    return;
  }

  try {
    SendJson(ACall.Res, 200, VoiceJson(FService.CloneVoice(Request)));
  } catch (const ETtsError& E) {
    SendTtsError(ACall.Res, E);
  }
}

void TTtsHttpServer::RemoveVoice(const TCall& ACall) {
  const std::string& Path = ACall.Req.Path;
  const std::string Id = Path.size() > VoicesPrefix.size() ? Path.substr(VoicesPrefix.size()) : "";
  bool Removed = false;
  try {
    Removed = !Id.empty() && FService.RemoveVoice(Id);
  } catch (const ETtsError& E) {
    if (E.Code() == ecFollowerReadOnly)
      SendTtsError(ACall.Res, E);
    else
      SendError(ACall.Res, 500, "internal", E.what());
    return;
  }
  if (!Removed) {
    SendNoSuchVoice(ACall.Res, Id);
    return;
  }
  TJson Reply = TJson::object();
  Reply["removed"] = Id;
  SendJson(ACall.Res, 200, Reply);
}

void TTtsHttpServer::HandlePack(const TCall& ACall) {
  const std::string Tag = LibraryPackTag(FService.VoiceLibrary());
  ACall.Res.SetHeader("ETag", "\"" + Tag + "\"");
  if (NoneMatchNames(ACall.Req.Header("If-None-Match"), Tag)) {
    ACall.Res.Status = 304;
    return;
  }
  ACall.Res.Status = 200;
  ACall.Res.ContentType = "application/zip";
  ACall.Res.Binary =
      std::make_shared<const TBytes>(ExportLibraryPack(FService.VoiceLibrary(), FConfig));
}

void TTtsHttpServer::HandleAirlines(const TCall& ACall) {
  if (ACall.Method == "PUT") {
    const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
    if (!Body) return;
    const TJsonValue* Node = &*Body;
    const std::string Airline = NormalizeAirline(JsonString(Node, "airline", ""));
    if (Airline.empty()) {
      SendError(ACall.Res, 400, "bad_json", "missing airline (ICAO three-letter code)");
      return;
    }
    if (!IsAirlineCode(Airline)) {
      SendError(ACall.Res, 400, "bad_json", "airline must be 2 to 8 letters and digits");
      return;
    }
    std::string Language;
    if (!ReadBindingLanguage(Node, Language)) {
      SendBadLanguage(ACall.Res);
      return;
    }
    const TTtsGender Gender = ParseGender(JsonString(Node, "gender", "default"));
    const std::string Voice = Trim(JsonString(Node, "voice", ""));
    if (!Voice.empty() && !FService.HasVoice(Voice)) {
      SendNoSuchVoice(ACall.Res, Voice);
      return;
    }
    try {
      if (!FService.VoiceLibrary().CommitBinding({Voice}, [&](TVoiceMaps& AMaps) {
            AMaps.SetAirline(Airline, Language, Gender, Voice);
          })) {
        SendNoSuchVoice(ACall.Res, Voice);
        return;
      }
    } catch (const ETtsError& E) {
      SendTtsError(ACall.Res, E);
      return;
    } catch (const std::exception& E) {
      SendNotSaved(ACall.Res, E);
      return;
    }
    SendJson(ACall.Res, 200, MapJson(FConfig.AirlinesSnapshot()));
    return;
  }
  SendTaggedJson(ACall.Req, ACall.Res, MapJson(FConfig.AirlinesSnapshot()));
}

void TTtsHttpServer::HandleDefaults(const TCall& ACall) {
  if (ACall.Method == "PUT") {
    const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
    if (!Body) return;
    const TJsonValue* Node = &*Body;
    std::string Language;
    if (!ReadBindingLanguage(Node, Language)) {
      SendBadLanguage(ACall.Res);
      return;
    }
    const std::string Female = JsonString(Node, "female", "");
    const std::string Male = JsonString(Node, "male", "");
    for (const std::string* Voice : {&Female, &Male}) {
      if (!Voice->empty() && !FService.HasVoice(*Voice)) {
        SendNoSuchVoice(ACall.Res, *Voice);
        return;
      }
    }
    try {
      if (!FService.VoiceLibrary().CommitBinding({Female, Male}, [&](TVoiceMaps& AMaps) {
            if (!Female.empty()) AMaps.SetDefault(Language, tgFemale, Female);
            if (!Male.empty()) AMaps.SetDefault(Language, tgMale, Male);
          })) {
        SendNoSuchVoice(ACall.Res, !Female.empty() && !FService.HasVoice(Female) ? Female : Male);
        return;
      }
    } catch (const ETtsError& E) {
      SendTtsError(ACall.Res, E);
      return;
    } catch (const std::exception& E) {
      SendNotSaved(ACall.Res, E);
      return;
    }
    SendJson(ACall.Res, 200, MapJson(FConfig.DefaultsSnapshot()));
    return;
  }
  SendTaggedJson(ACall.Req, ACall.Res, MapJson(FConfig.DefaultsSnapshot()));
}

}  // namespace quavox
