// The engine object behind CreateDownLoadService.
#pragma once

#include "downloadservice.h"

namespace pellowd {

// A new engine owned by the caller (ended with Release), or null when it
// cannot start (no window, no internet session, no threads). It belongs to
// the calling thread: reports reach the sink on that thread, through a
// message-only window, when that thread dispatches its messages. Release
// must be called on that thread too.
IDownLoadService* CreateEngine();

}  // namespace pellowd
