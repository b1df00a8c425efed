// Error numbers become result codes the way the Windows runtime converts
// last-error codes, on both tools.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

#include "common/result_code.h"

namespace {

TEST(ResultCode, ErrorNumbersGoIntoTheWin32Facility) {
    EXPECT_EQ(static_cast<uint32_t>(ResultFromErrorNumber(EHOSTDOWN)), 0x80070070u);
    EXPECT_EQ(static_cast<uint32_t>(ResultFromErrorNumber(ETIMEDOUT)), 0x8007006Eu);
    EXPECT_EQ(static_cast<uint32_t>(ResultFromErrorNumber(2)), 0x80070002u);
    // Only the low 16 bits are kept.
    EXPECT_EQ(static_cast<uint32_t>(ResultFromErrorNumber(0x12345u)), 0x80072345u);
    // Zero and values that are already negative are taken as they are.
    EXPECT_EQ(ResultFromErrorNumber(0), 0);
    EXPECT_EQ(static_cast<uint32_t>(ResultFromErrorNumber(0x80004005u)), 0x80004005u);
}

TEST(ResultCode, AFailureNeverReadsAsSuccess) {
    EXPECT_EQ(static_cast<uint32_t>(FailureFromErrorNumber(0)), 0x80004005u);
    EXPECT_EQ(static_cast<uint32_t>(FailureFromErrorNumber(EIO)), 0x80070005u);
}

}  // namespace
