#include "windows/simaudio/device_enumerator.h"

#include <new>
#include <string>
#include <vector>

#include "windows/simaudio/audio_sessions.h"
#include "windows/simaudio/com_object.h"

namespace {

// An endpoint with its index in the scenario, which names it in the record.
struct ListedEndpoint {
    size_t index;
    const SimulatedEndpoint* endpoint;
};

class Device final : public ComObject<IMMDevice> {
public:
    static Device* Make(const ListedEndpoint& listed) { return new (std::nothrow) Device(listed); }

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
        if (stallMilliseconds_ != 0) {
            const StallGuard stalling;
            Record("Stalling endpoint=" + std::to_string(index_));
            Sleep(stallMilliseconds_);
        }
        const HRESULT result = Injectable(Call::Activate, [&]() -> HRESULT {
            if (object == nullptr) return E_POINTER;
            *object = nullptr;
            if (!IsEqualIID(iid, __uuidof(IAudioSessionManager2)) &&
                !IsEqualIID(iid, __uuidof(IAudioSessionManager))) {
                return E_NOINTERFACE;
            }
            AudioSessionManager* manager = AudioSessionManager::Make(index_, sessions_);
            if (manager == nullptr) return E_OUTOFMEMORY;
            *object = static_cast<IAudioSessionManager2*>(manager);
            return S_OK;
        });
        Record("Activate endpoint=" + std::to_string(index_) + " iid=" + GuidText(iid) + " -> " +
               Code(result));
        return result;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
        if (id == nullptr) return E_POINTER;
        const std::wstring text = L"{0.0.0.00000000}.simulated-" + std::to_wstring(index_);
        const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (*id == nullptr) return E_OUTOFMEMORY;
        CopyMemory(*id, text.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
        if (state == nullptr) return E_POINTER;
        *state = state_;
        return S_OK;
    }

private:
    explicit Device(const ListedEndpoint& listed)
        : ComObject("Device"),
          index_(listed.index),
          state_(listed.endpoint->state),
          stallMilliseconds_(listed.endpoint->stallMilliseconds),
          sessions_(listed.endpoint->sessions) {}

    const size_t index_;
    const DWORD state_;
    const DWORD stallMilliseconds_;
    const std::vector<SimulatedSession> sessions_;
};

class DeviceCollection final : public ComObject<IMMDeviceCollection> {
public:
    static DeviceCollection* Make(std::vector<ListedEndpoint> endpoints) {
        return new (std::nothrow) DeviceCollection(std::move(endpoints));
    }

    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = static_cast<UINT>(endpoints_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
        if (device == nullptr) return E_POINTER;
        *device = nullptr;
        if (index >= endpoints_.size()) return E_INVALIDARG;
        *device = Device::Make(endpoints_[index]);
        return *device != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    explicit DeviceCollection(std::vector<ListedEndpoint> endpoints)
        : ComObject("DeviceCollection"), endpoints_(std::move(endpoints)) {}

    const std::vector<ListedEndpoint> endpoints_;
};

class DeviceEnumerator final : public ComObject<IMMDeviceEnumerator> {
public:
    static DeviceEnumerator* Make() { return new (std::nothrow) DeviceEnumerator(); }

    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                                                 IMMDeviceCollection** devices) override {
        size_t listed = 0;
        const HRESULT result = Injectable(Call::EnumAudioEndpoints, [&]() -> HRESULT {
            if (devices == nullptr) return E_POINTER;
            *devices = nullptr;
            if (flow < eRender || flow > eAll || (stateMask & ~DEVICE_STATEMASK_ALL) != 0) {
                return E_INVALIDARG;
            }
            std::vector<ListedEndpoint> matching;
            const std::vector<SimulatedEndpoint>& endpoints = LoadedScenario().endpoints;
            for (size_t i = 0; i < endpoints.size(); ++i) {
                if ((flow == eAll || endpoints[i].flow == flow) &&
                    (endpoints[i].state & stateMask) != 0) {
                    matching.push_back(ListedEndpoint{i, &endpoints[i]});
                }
            }
            listed = matching.size();
            *devices = DeviceCollection::Make(std::move(matching));
            return *devices != nullptr ? S_OK : E_OUTOFMEMORY;
        });
        Record("EnumAudioEndpoints flow=" + std::to_string(static_cast<int>(flow)) + " mask=" +
               Hex32(stateMask) + " -> " + Code(result) + " endpoints=" + std::to_string(listed));
        return result;
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
        return E_NOTIMPL;
    }

private:
    DeviceEnumerator() : ComObject("DeviceEnumerator") {}
};

class DeviceEnumeratorFactory final : public ComObject<IClassFactory> {
public:
    static DeviceEnumeratorFactory* Make() { return new (std::nothrow) DeviceEnumeratorFactory(); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        const HRESULT result = Injectable(Call::CreateInstance, [&]() -> HRESULT {
            if (object == nullptr) return E_POINTER;
            *object = nullptr;
            if (outer != nullptr) return CLASS_E_NOAGGREGATION;
            DeviceEnumerator* enumerator = DeviceEnumerator::Make();
            if (enumerator == nullptr) return E_OUTOFMEMORY;
            const HRESULT queried = enumerator->QueryInterface(iid, object);
            enumerator->Release();
            return queried;
        });
        Record("CreateInstance iid=" + GuidText(iid) + " -> " + Code(result));
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    DeviceEnumeratorFactory() : ComObject("DeviceEnumeratorFactory") {}
};

}  // namespace

HRESULT GetDeviceEnumeratorClass(REFCLSID clsid, REFIID iid, void** object) {
    HRESULT result = E_POINTER;
    if (object != nullptr) {
        *object = nullptr;
        result = CLASS_E_CLASSNOTAVAILABLE;
        if (IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator))) {
            DeviceEnumeratorFactory* factory = DeviceEnumeratorFactory::Make();
            result = E_OUTOFMEMORY;
            if (factory != nullptr) {
                result = factory->QueryInterface(iid, object);
                factory->Release();
            }
        }
    }
    Record("DllGetClassObject clsid=" + GuidText(clsid) + " iid=" + GuidText(iid) + " -> " +
           Code(result));
    return result;
}
