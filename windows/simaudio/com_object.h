// Reference counting, IUnknown and lifetime records shared by the stack's
// component objects. Each object answers IUnknown and its one interface.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <string>

#include "windows/simaudio/record.h"
#include "windows/simaudio/stack_state.h"

// Records the object's end, with the apartment of the releasing thread.
void RecordDestroyed(const char* name);

template <typename Interface>
class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        HRESULT result = E_NOINTERFACE;
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(Interface))) {
            result = S_OK;
        }
        result = AdjustQuery(iid, result);
        if (object == nullptr) {
            result = E_POINTER;
        } else {
            *object = nullptr;
            if (SUCCEEDED(result)) {
                AddRef();
                *object = static_cast<Interface*>(this);
            }
        }
        Record(std::string("QueryInterface object=") + name_ + " iid=" + GuidText(iid) + " -> " +
               Code(result));
        return result;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }

    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            RecordDestroyed(name_);
            delete this;
        }
        return left;
    }

protected:
    explicit ComObject(const char* name) : name_(name) { ++LiveObjects(); }
    virtual ~ComObject() { --LiveObjects(); }

    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // Lets an object change the outcome of a query, e.g. by fault injection.
    virtual HRESULT AdjustQuery(REFIID, HRESULT found) { return found; }

private:
    const char* const name_;
    // Changed from any thread.
    std::atomic<ULONG> references_{1};
};
