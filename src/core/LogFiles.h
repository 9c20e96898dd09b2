// Log files the program writes itself (an access log, say) register a reopener here. After
// a rotation tool moved such a file aside, SIGHUP makes the daemon call every reopener, and
// each opens its file by name again, for appending.
#pragma once

#include <functional>

namespace quavox {

using TLogReopener = std::function<void()>;

// An id for RemoveLogReopener.
int AddLogReopener(TLogReopener AReopener);
void RemoveLogReopener(int AId);
void ReopenLogFiles();

}  // namespace quavox
