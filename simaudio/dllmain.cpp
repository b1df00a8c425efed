#include <windows.h>

#include <string>

#include "simaudio/record.h"
#include "simaudio/stack_state.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        OpenRecord();
        break;
    case DLL_PROCESS_DETACH:
        // `reserved` is set when the whole process is ending.
        CloseRecord("ProcessExit live=" + std::to_string(LiveObjects().load()),
                    reserved != nullptr);
        if (reserved == nullptr && LiveObjects().load() == 0) FreeScenario();
        break;
    default:
        break;
    }
    return TRUE;
}
