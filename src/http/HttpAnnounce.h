// Reading announcements from JSON for /v1/announce and /v1/prewarm, and the one step that
// turns a finished announcement into the bytes sent.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Types.h"
#include "service/Announcer.h"
#include "state/Json.h"

namespace quavox {

// Fills AReq from an announce body; why the body cannot be served, or empty. Each segment
// takes the announcement's airline, gender and speed unless it names its own; the output
// rate and the priority are the announcement's.
std::string AnnounceFromJson(const TJsonValue& AObject, TAnnounceRequest& AReq);
// Appends the segments of every announcement in the body's "announcements" array; why one
// of them cannot be served, or empty.
std::string AnnouncementRequests(const TJsonValue& ABody, std::vector<TTtsRequest>& AReqs);

struct TDeliveredAudio {
  std::shared_ptr<const TBytes> Bytes;
  std::string ContentType;
};

// Why a delivery format is refused, or empty; an empty format is WAV.
std::string DeliveryFormatProblem(std::string_view AFormat);
// The finished PCM as the bytes of the asked format.
TDeliveredAudio DeliverAudio(const TPcmBuffer& APcm, std::string_view AFormat);

}  // namespace quavox
