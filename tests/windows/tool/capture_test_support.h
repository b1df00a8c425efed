// Shared set-up for tests that drive the capture object directly.
#pragma once

#include <gtest/gtest.h>

#include "windows/tool/capture/loopback_capture.h"
#include "windows/tool/platform/com_ref.h"
#include "tests/windows/tool/fake_audio.h"
#include "tests/windows/tool/fake_platform.h"

class LoopbackCaptureTestAccess {
public:
    static void SetReferenceCount(LoopbackCapture& capture, LONG count) {
        capture.referenceCount = count;
    }
    static void SetWaitHandle(LoopbackCapture& capture, size_t index, HANDLE handle) {
        capture.waitHandles[index] = handle;
    }
};

// One reference to a new capture object, released at the end of the test.
inline ComRef<LoopbackCapture> MakeCapture() {
    return ComRef<LoopbackCapture>::FromOwned(LoopbackCapture::Make());
}

// A capture object and the doubles of the audio stack behind it.
class CaptureFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fake_platform::Reset();
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        capture = MakeCapture();
        ASSERT_TRUE(capture);
        audioClient = ComRef<FakeAudioClient>::FromOwned(new FakeAudioClient());
        audioClient->log = &calls;
        audioClient->captureClient->log = &calls;
        operation = ComRef<FakeOperation>::FromOwned(new FakeOperation());
        operation->log = &calls;
        operation->activated = audioClient.Get();
    }
    void TearDown() override {
        capture.Reset();
        operation.Reset();
        audioClient.Reset();
        fake_platform::Reset();
        CoUninitialize();
    }

    FakeCaptureClient& CaptureClient() { return *audioClient->captureClient; }

    CallLog calls;
    ComRef<LoopbackCapture> capture;
    ComRef<FakeAudioClient> audioClient;
    ComRef<FakeOperation> operation;
};
