// Routing of a request to a voice through the configuration's airline bindings and default
// voices, with the fixed fallback order: exact gender, then any gender; the request's
// language, then any language.
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "state/Voices.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "voices";
constexpr const char* FallbackPrefix = "(auto)";

}  // namespace

std::string TVoiceLibrary::BoundId(const std::string& AAirline, const std::string& ALanguage,
                                   TTtsGender AGender) const {
  const std::string Language = NormalizeLanguage(ALanguage);
  const bool ByAirline = !AAirline.empty();
  const auto Lookup = [&](const std::string& ALang, TTtsGender AG) {
    return ByAirline ? FConfig.AirlineVoice(AAirline, ALang, AG) : FConfig.DefaultVoice(ALang, AG);
  };
  std::string Id = Lookup(Language, AGender);
  if (Id.empty()) Id = Lookup(Language, tgAuto);
  if (Id.empty() && !Language.empty()) Id = Lookup({}, AGender);
  if (Id.empty() && !Language.empty()) Id = Lookup({}, tgAuto);
  return Id;
}

TVoiceInfo TVoiceLibrary::Resolve(const TTtsRequest& AReq, bool& AExplicit) const {
  AExplicit = false;
  if (!AReq.VoiceId.empty()) {
    TVoiceInfo Voice;
    if (!Find(AReq.VoiceId, Voice))
      ETtsError::Raise_(ecBadVoice, Format(Translate("没有这个音色:%s"), AReq.VoiceId));
    AExplicit = true;
    return Voice;
  }
  std::string Dangling;
  {
    // Held across lookup and existence check, so the voice cannot vanish in between.
    TLockGuard Guard(FLock);
    const std::string Id = BoundId(AReq.Airline, AReq.Language, AReq.Gender);
    if (Id.empty()) return {};
    const int i = IndexOf(Id);
    if (i >= 0) {
      AExplicit = true;
      return FItems[i];
    }
    Dangling = Id;
  }
  TAppLog::Warn(LogSource, "the voice a binding points at is gone: %s", Dangling);
  return {};
}

TVoiceInfo TVoiceLibrary::Resolve(const TTtsRequest& AReq) const {
  bool Explicit = false;
  return Resolve(AReq, Explicit);
}

TTtsGenderSet TVoiceLibrary::AvailableGenders(std::string_view AAirline,
                                              std::string_view ALanguage) const {
  const std::string Airline(AAirline);
  const std::string Language = NormalizeLanguage(ALanguage);
  TTtsGenderSet Genders;
  {
    TLockGuard Guard(FLock);
    for (const TTtsGender g : {tgAuto, tgFemale, tgMale}) {
      const std::string Id = BoundId(Airline, Language, g);
      if (!Id.empty() && IndexOf(Id) >= 0) Genders.Include(g);
    }
  }
  if (Genders.IsEmpty()) Genders.Include(tgAuto);
  return Genders;
}

TVoiceInfo TVoiceLibrary::FallbackVoice(const std::string& ALanguage, TTtsGender AGender) {
  TVoiceInfo Voice;
  Voice.Id = Format("%s:%s:%s", FallbackPrefix, ALanguage, GenderToStr(AGender));
  Voice.Display =
      Format(Translate("未绑定(%s·%s)"), LanguageName(ALanguage), GenderDisplay(AGender));
  Voice.Kind = vkProfile;
  Voice.Language = ALanguage;
  Voice.Gender = AGender;
  Voice.Note = Translate("这个语言/性别还没有绑定音色");
  const uint32_t Hash = static_cast<uint32_t>(StringHash(ALanguage)) & 0xFFFFu;
  Voice.Seed = static_cast<int32_t>(Hash * 977u + static_cast<uint32_t>(AGender) * 31u + 1u);
  return Voice;
}

bool TVoiceLibrary::IsFallback(const TVoiceInfo& AVoice) {
  return StartsWith(AVoice.Id, FallbackPrefix);
}

}  // namespace quavox
