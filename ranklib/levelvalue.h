// One level as the rank manager keeps it, and the parse of a GameLevel.ini
// value into it. Pure: no file, no operating system.
#pragma once

#include <cstdint>

// A level: its lower bound (the smallest value that reaches it) and its name
// in code page 936, at most 15 bytes and always zero-terminated.
struct tagLevelDescribe {
    std::int32_t lLevelValue;
    char szLevelName[16];
};

// Parses a value such as "务农,0" into *pLevelDescribe. Never fails: any text
// gives a name and a lower bound. pszValue is zero-terminated; only the bytes
// up to its terminator are read.
//
// The name is the text up to the first comma, without its leading spaces, cut
// after 15 walked bytes even inside a double-byte character. After the name,
// every ASCII byte that is not a digit is passed over; the digits that follow
// form the bound, and any other byte (a byte of 0x80 or above too) ends it.
// So "ABC,-500" gives 500 and "x,1,000" gives 1. A bound too large for 32
// bits is held at 2147483647 rather than wrapping into a negative number.
void ParseLevelValue(const char* pszValue, tagLevelDescribe* pLevelDescribe);
