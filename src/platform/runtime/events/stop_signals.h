// Stop requests by signal (SIGTERM, SIGHUP, SIGINT), turned into a call of the
// program's handler from event processing on the user-interface thread.
#pragma once

namespace runtime::detail {

// Starts watching for stop signals from the event loop once a handler is set
// and an application exists; cheap to call again.
void WatchStopSignals();

}  // namespace runtime::detail
