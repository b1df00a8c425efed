// Result codes in the Windows convention, shared by both tools so that a
// failure reads the same on either.
#pragma once

#include <cstdint>

// An error number as a result code, the way the Windows runtime converts a
// last-error code: a positive number goes into the Win32 facility
// (0x80070000 combined with its low 16 bits), anything else is taken as it is.
constexpr int32_t ResultFromErrorNumber(uint32_t error) {
    if (static_cast<int32_t>(error) > 0) {
        return static_cast<int32_t>(0x80070000u | (error & 0xFFFFu));
    }
    return static_cast<int32_t>(error);
}

// The generic failure code (E_FAIL).
constexpr int32_t kResultFailure = static_cast<int32_t>(0x80004005u);

// An error number reported by a failed call, as a failure code: should the
// call not have set one, the generic failure keeps it from reading as success.
constexpr int32_t FailureFromErrorNumber(uint32_t error) {
    const int32_t result = ResultFromErrorNumber(error);
    return result < 0 ? result : kResultFailure;
}
