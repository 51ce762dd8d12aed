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
// The name is the text up to the first comma, without its leading spaces,
// walked for at most 15 bytes; a double-byte character that the walk or the
// comma cuts in two is left out whole, so the name ends on a character
// boundary (as SetLevelDescribe's names do). The bound is read from where the
// walk stopped: "职业赌神职业赌神,100" gives 14 bytes and 0. After the name,
// every ASCII byte that is not a digit is passed over; the digits that follow
// form the bound, and any other byte (a byte of 0x80 or above too) ends it.
// So "ABC,-500" gives 500 and "x,1,000" gives 1. A bound too large for 32
// bits is held at 2147483647 rather than wrapping into a negative number.
void ParseLevelValue(const char* pszValue, tagLevelDescribe* pLevelDescribe);
