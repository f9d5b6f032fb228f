// The runtime's hooks and the critical sections it reaches by name.
#include "gpib.h"

namespace gpib {

PlainHook __UnpostAllIbMessages_fnptr = nullptr;
PlainHook __RepostAllIbMessages_fnptr = nullptr;
DescriptorHook __DeleteGPIBCallback_fnptr = nullptr;
DescriptorHook __DeleteFromIbNotifyTable_fnptr = nullptr;
PlainHook __ClearAllGPIBNotify_fnptr = nullptr;
PlainHook __ClearAllGPIBCallbacks_fnptr = nullptr;

CriticalSection __devmgrCriticalSection;
CriticalSection __ibInstallCallbackCriticalSection;
CriticalSection __ibNotifyCriticalSection;
CriticalSection __runStateCriticalSection;

}  // namespace gpib
