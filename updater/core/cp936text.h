// Small helpers for code page 936 text held in fixed-size record fields.
// CP936 is a double-byte code page: a byte from 0x81 to 0xFE starts a
// two-byte character whose second byte is 0x40..0x7E or 0x80..0xFE, including
// 0x5C, the backslash. Anything that splits or scans such text must step over
// whole characters (names/safename.h says what one is); a lead byte before
// any other byte is a character of its own and hides nothing.
#pragma once

#include <cstddef>
#include <string>

// Copies szSource with its terminator into a field of cbField bytes. Returns
// false, leaving the field all zero, when the text does not fit whole: a value
// too long for its field is refused, never cut into a different value.
bool CopyWhole(char* pszField, std::size_t cbField, const std::string& strSource);

// The longest prefix of strSource of at most cbMax bytes that does not end in
// the middle of a double-byte character.
std::string CutCp936(const std::string& strSource, std::size_t cbMax);

// atoi's reading (leading blanks, optional sign, digits up to the first other
// character; 0 when no digit) without its undefined overflow: out-of-range
// values are clamped.
int ReadDecimal(const char* pszText);

// Printf-style formatting into a std::string, for log lines built from fixed
// format literals of this program only.
std::string FormatText(const char* pszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The folder of an executable path with its trailing backslash ("D:\Plaza\"
// for "D:\Plaza\Talvex.exe"): everything up to the last separator that is a
// character of its own, not the second byte of a double-byte character.
// Empty when the path holds no separator.
std::string FolderOfPath(const std::string& strPath);
