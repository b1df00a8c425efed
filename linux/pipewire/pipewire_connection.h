// A connection to the PipeWire server and the loop its events arrive on,
// shared by the tool and the lister. It reports the two ways the connection
// itself fails: an error the server sends about the connection (it went
// away, or refused us), and no answer before a deadline.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "linux/pipewire/pipewire_api.h"

// Why setting up failed: an error number and a short reason a person can act on.
struct SetupFailure {
    int error;
    std::string reason;
};

// The error number of the failure a deadline reports.
inline constexpr int kNoAnswerError = ETIMEDOUT;

// Whether an error event on the core ends the connection. Errors about
// other objects reach their own proxies (the capture stream reports its
// own); the server also addresses harmless ones to the core, such as
// "unknown resource" for a destroy that crosses the object's own removal.
// Only the loss of the connection itself is fatal.
bool EndsConnection(uint32_t id, int res);

// The client configuration that gives a real-time data thread with the
// library of this version ("0.3.65", "1.4.2"), or nothing for the default.
// Before 1.3.81 only client-rt.conf loads module-rt; from 1.3.81 client.conf
// loads it for every client, and asking for client-rt.conf prints a warning.
std::optional<std::string> RealTimeConfigName(const char* libraryVersion);

class PipeWireConnection {
public:
    // How the library's data thread, which runs the client's nodes in each
    // cycle of the graph, is scheduled.
    enum class DataThread {
        kNormal,
        // Real time where the system allows it (the library's module-rt, as
        // PipeWire's own recorder pw-record loads it): a capture node that
        // misses a cycle loses that cycle's sound, and at short periods on a
        // busy machine an ordinary thread did.
        kRealTime,
    };

    // Called on the loop, once per failure, with the failure's error number
    // and reason.
    using FailureHandler = std::function<void(int error, std::string reason)>;
    // Called on the loop with the sequence number of each answered Sync.
    using SyncHandler = std::function<void(int seq)>;

    explicit PipeWireConnection(DataThread dataThread = DataThread::kNormal)
        : dataThread_(dataThread) {}
    ~PipeWireConnection() { Close(); }
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // Creates the loop and connects to the server that the environment names
    // (PIPEWIRE_REMOTE, or the socket in XDG_RUNTIME_DIR).
    std::optional<SetupFailure> Connect(FailureHandler onFailure, SyncHandler onSync = {});

    // From now on, a failure with kNoAnswerError is reported unless
    // CancelDeadline comes first.
    std::optional<SetupFailure> SetDeadline(const timespec& after);
    void CancelDeadline() { deadline_.Reset(); }

    // Asks the server to answer once it has handled everything sent before;
    // returns the sequence number the answer will carry, or a negative error
    // number.
    int Sync();

    // Disconnects, then destroys the library's context and the loop. Every
    // proxy, stream and other loop source must have gone before.
    void Close();

    pw_main_loop* MainLoop() const { return mainLoop_.get(); }
    pw_loop* Loop() const { return loop_; }
    pw_core* Core() const { return core_.get(); }

private:
    static const pw_core_events kCoreEvents;

    DataThread dataThread_;

    MainLoopPtr mainLoop_;
    pw_loop* loop_ = nullptr;  // of mainLoop_
    ContextPtr context_;
    CorePtr core_;
    spa_hook coreListener_{};
    LoopSource deadline_;
    FailureHandler onFailure_;
    SyncHandler onSync_;
};
