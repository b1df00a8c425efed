#include "linux/pipewire/pipewire_connection.h"

#include <cerrno>
#include <cstdio>
#include <utility>

const pw_core_events PipeWireConnection::kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = [](void* data, uint32_t id, int seq) {
        auto* connection = static_cast<PipeWireConnection*>(data);
        if (id == PW_ID_CORE && connection->onSync_) connection->onSync_(seq);
    };
    events.error = [](void* data, uint32_t id, int, int res, const char* message) {
        if (!EndsConnection(id, res)) return;
        static_cast<PipeWireConnection*>(data)->onFailure_(
            -res, message != nullptr && *message != '\0'
                      ? std::string("the PipeWire server failed: ") + message
                      : "the PipeWire server failed");
    };
    return events;
}();

bool EndsConnection(uint32_t id, int res) {
    // The library reports a closed or broken socket on the core as EPIPE.
    return id == PW_ID_CORE && (res == -EPIPE || res == -ECONNRESET || res == -ENOTCONN);
}

std::optional<std::string> RealTimeConfigName(const char* libraryVersion) {
    int major = 0, minor = 0, micro = 0;
    if (libraryVersion == nullptr ||
        std::sscanf(libraryVersion, "%d.%d.%d", &major, &minor, &micro) != 3) {
        return std::nullopt;  // unknown: the default, which never warns
    }
    const bool clientConfIsRealTime =
        major > 1 || (major == 1 && (minor > 3 || (minor == 3 && micro >= 81)));
    if (clientConfIsRealTime) return std::nullopt;
    return std::string("client-rt.conf");
}

std::optional<SetupFailure> PipeWireConnection::Connect(FailureHandler onFailure,
                                                        SyncHandler onSync) {
    onFailure_ = std::move(onFailure);
    onSync_ = std::move(onSync);
    mainLoop_.reset(pw_main_loop_new(nullptr));
    if (!mainLoop_) return SetupFailure{errno, "cannot create the event loop"};
    loop_ = pw_main_loop_get_loop(mainLoop_.get());

    // The library's configuration for clients that want a real-time data
    // thread; its only difference from the default is module-rt.
    std::optional<std::string> configName;
    if (dataThread_ == DataThread::kRealTime) {
        configName = RealTimeConfigName(pw_get_library_version());
    }
    pw_properties* properties =
        configName ? pw_properties_new(PW_KEY_CONFIG_NAME, configName->c_str(), nullptr) : nullptr;
    context_.reset(pw_context_new(loop_, properties, 0));
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
    AddCoreListener(core_.get(), &coreListener_, &kCoreEvents, this);
    return std::nullopt;
}

std::optional<SetupFailure> PipeWireConnection::SetDeadline(const timespec& after) {
    deadline_ = LoopSource(loop_, AddTimerSource(
                                      loop_,
                                      [](void* data, uint64_t) {
                                          static_cast<PipeWireConnection*>(data)->onFailure_(
                                              kNoAnswerError, "the PipeWire server did not answer");
                                      },
                                      this));
    if (!deadline_) return SetupFailure{errno, "cannot create the event loop"};
    ArmTimerSource(loop_, deadline_.Get(), after);
    return std::nullopt;
}

int PipeWireConnection::Sync() {
    return SyncCore(core_.get());
}

void PipeWireConnection::Close() {
    deadline_.Reset();
    if (core_) spa_hook_remove(&coreListener_);
    core_.reset();
    context_.reset();
    mainLoop_.reset();
    loop_ = nullptr;
}
