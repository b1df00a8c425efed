// The device enumerator the component runtime creates through this DLL's
// class factory: it lists the scenario's endpoints and activates their
// session managers.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

// The class object for `clsid`, answering `iid`; only the device
// enumerator's class is served.
HRESULT GetDeviceEnumeratorClass(REFCLSID clsid, REFIID iid, void** object);
