// Result codes in the platform's convention and the early-return helper that
// keeps step sequences flat.
#pragma once

#include <windows.h>

#include <type_traits>

#include "common/result_code.h"

using ResultCode = HRESULT;

inline bool IsFailure(ResultCode result) {
    return result < 0;
}

// A platform last-error code as a result code: positive codes map into the
// Win32 facility (0x8007xxxx), anything else is taken as it is.
inline ResultCode ResultFromLastError(DWORD lastError) {
    return static_cast<ResultCode>(ResultFromErrorNumber(lastError));
}

// The calling thread's last error as a failure. Used right after a call that
// reported failure: should the platform not have set a last error, E_FAIL
// keeps the failure from reading as success.
inline ResultCode FailureFromLastError() {
    return static_cast<ResultCode>(FailureFromErrorNumber(GetLastError()));
}

#define HARKWELL_RETURN_IF_FAILED(expression)                               \
    do {                                                                    \
        static_assert(std::is_same<decltype(expression), HRESULT>::value,   \
                      "HARKWELL_RETURN_IF_FAILED takes a result code");     \
        const ResultCode returnIfFailedResult_ = (expression);              \
        if (IsFailure(returnIfFailedResult_)) return returnIfFailedResult_; \
    } while (0)
