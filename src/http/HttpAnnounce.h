// Reading announcements from JSON for /v1/announce and /v1/prewarm.
#pragma once

#include <string>
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

}  // namespace quavox
