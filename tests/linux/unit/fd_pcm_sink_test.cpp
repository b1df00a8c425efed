// Packets reach the descriptor whole and in order; a reader that goes away
// costs the bytes, not the process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <numeric>
#include <thread>
#include <vector>

#include "linux/tool/fd_pcm_sink.h"

namespace {

class FdPcmSinkTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe(fds_), 0);
        previous_ = std::signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override {
        for (int fd : fds_) {
            if (fd >= 0) close(fd);
        }
        std::signal(SIGPIPE, previous_);
    }
    std::vector<char> ReadAll() {
        std::vector<char> bytes;
        char buffer[65536];
        ssize_t count;
        while ((count = read(fds_[0], buffer, sizeof buffer)) > 0) {
            bytes.insert(bytes.end(), buffer, buffer + count);
        }
        return bytes;
    }

    int fds_[2] = {-1, -1};
    void (*previous_)(int) = SIG_DFL;
};

std::vector<char> Pattern(size_t size, int seed) {
    std::vector<char> bytes(size);
    std::iota(bytes.begin(), bytes.end(), static_cast<char>(seed));
    return bytes;
}

TEST_F(FdPcmSinkTest, PacketsLargerThanThePipeArriveWholeAndInOrder) {
    // Non-blocking, and each packet far larger than the pipe holds: partial
    // writes and would-block answers must both be waited out.
    ASSERT_EQ(fcntl(fds_[1], F_SETFL, O_NONBLOCK), 0);
    const std::vector<char> first = Pattern(300000, 1), second = Pattern(200004, 7);
    std::vector<char> received;
    std::thread reader([&] { received = ReadAll(); });
    {
        FdPcmSink sink(fds_[1]);
        sink.Write(first.data(), first.size());
        sink.Flush();
        sink.Write(second.data(), second.size());
        close(fds_[1]);
        fds_[1] = -1;
    }
    reader.join();
    std::vector<char> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(received, expected);
}

TEST_F(FdPcmSinkTest, AReaderThatWentAwayDoesNotEndTheWriter) {
    close(fds_[0]);
    fds_[0] = -1;
    FdPcmSink sink(fds_[1]);
    const std::vector<char> packet = Pattern(4096, 3);
    // Each write is refused (EPIPE) and returns instead of retrying forever;
    // the process lives on because SIGPIPE is ignored, as the tool does.
    errno = 0;
    sink.Write(packet.data(), packet.size());
    EXPECT_EQ(errno, EPIPE);
    sink.Write(packet.data(), packet.size());
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(FdPcmSinkTest, EndOfInputWhileTheOutputIsFullDropsThePacket) {
    // Nobody reads the output; the input ends in each way it can while a
    // packet waits for room: the write gives up instead of blocking.
    const struct {
        const char* name;
        bool writeFirst;  // some input arrives before the end
    } cases[] = {{"input closed", false}, {"data, then input closed", true}};
    for (const auto& c : cases) {
        int out[2], in[2];
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(pipe(in), 0);
        const int callerFlags = fcntl(out[1], F_GETFL);
        InputReader input(in[0]);
        FdPcmSink sink(out[1], &input);
        const std::vector<char> packet = Pattern(1 << 20, 5);  // far more than a pipe holds
        std::thread closer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (c.writeFirst) {
                EXPECT_EQ(write(in[1], "x", 1), 1);
            }
            close(in[1]);
        });
        sink.Write(packet.data(), packet.size());  // returns: no deadlock
        closer.join();
        EXPECT_TRUE(input.Ended()) << c.name;
        // The caller's descriptor keeps its blocking mode.
        EXPECT_EQ(fcntl(out[1], F_GETFL), callerFlags) << c.name;
        // Part of the packet is in the pipe, the rest was dropped.
        int queued = 0;
        ASSERT_EQ(ioctl(out[0], FIONREAD, &queued), 0);
        EXPECT_GT(queued, 0) << c.name;
        EXPECT_LT(static_cast<size_t>(queued), packet.size()) << c.name;
        for (int fd : {out[0], out[1], in[0]})
            close(fd);
    }
}

TEST_F(FdPcmSinkTest, AnInputThatCannotBePolledIsReadBetweenWaits) {
    // /dev/null ends at once; a full output then drops the packet.
    const int devNull = open("/dev/null", O_RDONLY);
    ASSERT_GE(devNull, 0);
    InputReader input(devNull);
    EXPECT_FALSE(input.Pollable());
    FdPcmSink sink(fds_[1], &input);
    const std::vector<char> packet = Pattern(1 << 20, 9);
    sink.Write(packet.data(), packet.size());
    EXPECT_TRUE(input.Ended());
    close(devNull);
}

TEST_F(FdPcmSinkTest, ABadDescriptorLosesThePacketQuietly) {
    FdPcmSink sink(-1);
    const std::vector<char> packet = Pattern(16, 0);
    sink.Write(packet.data(), packet.size());
    // The descriptor's pipe saw nothing.
    close(fds_[1]);
    fds_[1] = -1;
    EXPECT_TRUE(ReadAll().empty());
}

}  // namespace
