// Hooks for the binding that write what happened into one log, so that a
// test can check their order against the driver's calls.
#pragma once

#include <string>
#include <vector>

#include "gpib.h"

namespace gpib_test {

std::vector<std::string>& HookLog();

// Sets every hook of the binding to a recorder. Entries: "unpost", "repost",
// "clearNotify", "clearCallbacks", and "deleteCallback <ud>" and
// "deleteNotify <ud>", each followed by " held" when its critical section
// was taken while the hook ran. `context`, if given, is appended to the
// entries of the unpost and repost hooks.
void InstallRecordingHooks(std::string (*context)() = nullptr);
void RemoveHooks();

// Whether another thread finds the section taken right now.
bool TakenByAnotherThread(gpib::CriticalSection& section);

}  // namespace gpib_test
