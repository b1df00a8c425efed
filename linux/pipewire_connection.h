// A connection to the PipeWire server and the loop its events arrive on,
// shared by the tool and the lister.
#pragma once

#include <optional>
#include <string>

#include "linux/pipewire_api.h"

// Why setting up failed: an error number and a short reason a person can act on.
struct SetupFailure {
    int error;
    std::string reason;
};

class PipeWireConnection {
public:
    PipeWireConnection() = default;
    ~PipeWireConnection() { Close(); }
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // Creates the loop and connects to the server that the environment names
    // (PIPEWIRE_REMOTE, or the socket in XDG_RUNTIME_DIR).
    std::optional<SetupFailure> Connect();

    // Disconnects, then destroys the library's context and the loop. Every
    // proxy, stream and loop source must have gone before.
    void Close();

    pw_main_loop* MainLoop() const { return mainLoop_.get(); }
    pw_loop* Loop() const { return loop_; }
    pw_core* Core() const { return core_.get(); }

private:
    MainLoopPtr mainLoop_;
    pw_loop* loop_ = nullptr;
    ContextPtr context_;
    CorePtr core_;
};
