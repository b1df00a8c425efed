// The command-line rules both tools follow: how the process identifier and
// the mode word are read.
#pragma once

#include <cstdint>

// A number read by the C runtime's decimal string-to-long conversion (leading
// white space, an optional sign, digits up to the first other character, no
// digits giving 0), clamped to the 32-bit signed range and taken as the
// unsigned process identifier: -1 becomes 4294967295. Where long is 32 bits
// the conversion has already clamped; where it is 64 bits this does.
constexpr uint32_t ProcessIdFromNumber(long long number) {
    if (number > INT32_MAX) number = INT32_MAX;
    if (number < INT32_MIN) number = INT32_MIN;
    return static_cast<uint32_t>(static_cast<int32_t>(number));
}

// Whether text is "include" as a whole string, ignoring the case of the ASCII
// letters A to Z only. Any other text selects exclude.
template <typename Char>
bool IsIncludeWord(const Char* text) {
    static const char kInclude[] = "include";
    for (size_t i = 0;; ++i) {
        Char c = text[i];
        if (c >= Char('A') && c <= Char('Z')) c = static_cast<Char>(c - Char('A') + Char('a'));
        if (c != static_cast<Char>(kInclude[i])) return false;
        if (c == Char('\0')) return true;
    }
}
