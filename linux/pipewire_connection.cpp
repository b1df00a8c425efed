#include "linux/pipewire_connection.h"

#include <cerrno>

std::optional<SetupFailure> PipeWireConnection::Connect() {
    mainLoop_.reset(pw_main_loop_new(nullptr));
    if (!mainLoop_) return SetupFailure{errno, "cannot create the event loop"};
    loop_ = pw_main_loop_get_loop(mainLoop_.get());

    context_.reset(pw_context_new(loop_, nullptr, 0));
    if (!context_) return SetupFailure{errno, "cannot set up the PipeWire client library"};

    core_.reset(pw_context_connect(context_.get(), nullptr, 0));
    if (!core_) {
        // The library reports every way of finding no server as EHOSTDOWN.
        const int error = errno;
        if (error != EHOSTDOWN) return SetupFailure{error, "cannot connect to the PipeWire server"};
        return SetupFailure{error,
                            "no PipeWire server to connect to; start one, or point "
                            "XDG_RUNTIME_DIR or PIPEWIRE_REMOTE at it"};
    }
    return std::nullopt;
}

void PipeWireConnection::Close() {
    core_.reset();
    context_.reset();
    mainLoop_.reset();
    loop_ = nullptr;
}
