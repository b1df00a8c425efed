// The stdin watcher, fed through anonymous pipes.
#include <gtest/gtest.h>

#include <string>

#include "windows/tool/app/stdin_watcher.h"
#include "windows/tool/platform/unique_handle.h"

namespace {

constexpr DWORD kTimeoutMs = 5000;
constexpr DWORD kQuietMs = 200;

class WatchInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
        input.Reset(readEnd);
        writer.Reset(writeEnd);
        stop.Reset(CreateEventExW(nullptr, nullptr, 0, EVENT_ALL_ACCESS));
        ASSERT_TRUE(stop);
        watcher.Reset(CreateThread(nullptr, 0, &WatchInputTest::Watch, this, 0, nullptr));
        ASSERT_TRUE(watcher);
    }
    void TearDown() override {
        writer.Reset();
        // The watcher ends once its input is closed; never wait for ever.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher.Get(), kTimeoutMs));
    }

    static DWORD WINAPI Watch(void* self) {
        auto* test = static_cast<WatchInputTest*>(self);
        WatchInput(test->input.Get(), test->stop.Get());
        return 0;
    }

    void Send(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writer.Get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                              &written, nullptr));
        ASSERT_EQ(bytes.size(), written);
    }

    UniqueHandle input;
    UniqueHandle writer;
    UniqueHandle stop;
    UniqueHandle watcher;
};

TEST_F(WatchInputTest, OtherBytesAreDiscardedAndTheStopComesWhenThePipeCloses) {
    Send("hello\r\nworld");
    Send(std::string(10000, 'x'));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(stop.Get(), kQuietMs));
    writer.Reset();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stop.Get(), kTimeoutMs));
}

TEST_F(WatchInputTest, ControlZFromAPipeEndsTheInputWhileThePipeStaysOpen) {
    Send("abc");
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(stop.Get(), kQuietMs));
    Send(
        std::string("d\x1A"
                    "e",
                    3));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stop.Get(), kTimeoutMs));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher.Get(), kTimeoutMs));
}

TEST(WatchInput, AnInputThatCannotBeReadEndsAtOnce) {
    UniqueHandle stop(CreateEventExW(nullptr, nullptr, 0, EVENT_ALL_ACCESS));
    ASSERT_TRUE(stop);
    WatchInput(nullptr, stop.Get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stop.Get(), 0));
}

TEST(StartStdinWatcher, FailsWithoutStartingWhenTheEventCannotBeDuplicated) {
    EXPECT_EQ(static_cast<ResultCode>(0x80070006), StartStdinWatcher(nullptr));
}

}  // namespace
