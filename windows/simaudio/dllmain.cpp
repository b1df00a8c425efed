#include <windows.h>

#include <string>

#include "windows/simaudio/device_enumerator.h"
#include "windows/simaudio/record.h"
#include "windows/simaudio/stack_state.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        OpenRecord();
        break;
    case DLL_PROCESS_DETACH:
        // `reserved` is set when the whole process is ending; its other
        // threads are gone by now, wherever they were.
        if (reserved != nullptr) WaitForStalledCalls();
        CloseRecord("ProcessExit live=" + std::to_string(LiveObjects().load()),
                    reserved != nullptr);
        if (reserved == nullptr && LiveObjects().load() == 0) FreeScenario();
        break;
    default:
        break;
    }
    return TRUE;
}

// The component runtime's entry points: it asks for the device enumerator's
// class here when a manifest beside the program names this DLL as its server.
extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return GetDeviceEnumeratorClass(clsid, iid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return LiveObjects().load() == 0 ? S_OK : S_FALSE;
}
