// Standard input as the tool's stop signal: what arrives on it is read and
// discarded, and its end (end of file, a hang-up or an error) stops the
// capture. It is watched on the main loop, and also while a write to the
// output waits for room, so that a caller that stops reading and then closes
// the input is not left waiting.
#pragma once

#include <functional>

#include "linux/pipewire/pipewire_api.h"

class InputReader {
public:
    enum class Read { kData, kNothing, kEnded };

    // The descriptor stays the caller's.
    explicit InputReader(int fd);

    // One read(2) of what is waiting, discarded. A descriptor that cannot be
    // polled (a file, /dev/null, /dev/zero) never waits.
    Read ReadOnce();

    bool Ended() const { return ended_; }
    int Fd() const { return fd_; }
    // Whether poll(2) and epoll can wait for it. Those that cannot are
    // always ready: a regular file is skipped to its end at once, its
    // content being of no use.
    bool Pollable() const { return pollable_; }

private:
    int fd_;
    bool pollable_;
    bool ended_ = false;
};

// The input watched on a PipeWire loop; onEnd runs on the loop once the
// input has ended.
class InputWatch {
public:
    InputWatch(InputReader& reader, std::function<void()> onEnd);

    // Starts watching; false when the loop cannot.
    bool Start(pw_loop* loop);
    void Stop();

private:
    void OnReady();
    void Resume();

    InputReader& reader_;
    std::function<void()> onEnd_;
    pw_loop* loop_ = nullptr;
    LoopSource source_;
    // An input that cannot be polled is always ready, so the loop calls back
    // on every turn; after each read of data the watch rests for a while
    // instead, so that an input that never ends (/dev/zero) costs next to
    // nothing.
    LoopSource resume_;
};

// How long a watch of an input that cannot be polled rests after data.
inline constexpr long kUnpollableInputRestNs = 50'000'000;
