// Sole owner of one component-object reference.
//
// Unlike some WRL ports, adopting a reference never adds one, and the only
// way to fill the slot from an out-parameter, Receive(), releases what the
// slot held first.
#pragma once

#include <unknwn.h>

template <typename T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() { Reset(); }

    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ComRef(ComRef&& other) noexcept : pointer_(other.Detach()) {}
    ComRef& operator=(ComRef&& other) noexcept {
        if (this != &other) Adopt(other.Detach());
        return *this;
    }

    // Takes over a reference the caller already owns.
    static ComRef FromOwned(T* pointer) {
        ComRef reference;
        reference.pointer_ = pointer;
        return reference;
    }

    T* Get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

    void Reset() { Adopt(nullptr); }
    void Adopt(T* pointer) {
        T* previous = pointer_;
        pointer_ = pointer;
        if (previous != nullptr) previous->Release();
    }
    T* Detach() {
        T* pointer = pointer_;
        pointer_ = nullptr;
        return pointer;
    }

    // The slot for an out-parameter, emptied first.
    T** Receive() {
        Reset();
        return &pointer_;
    }
    void** ReceiveAsVoid() { return reinterpret_cast<void**>(Receive()); }

private:
    T* pointer_ = nullptr;
};
