// The two operating-system services of the rank library: the profile reader
// behind GameLevel.ini, and conversions between the thread's ANSI code page
// (936 for the players) and UTF-16. Windows uses the real calls; the native
// build reads the INI text itself and converts with iconv from CP936.
#pragma once

#include <cstddef>
#include <string>

namespace quorle_platform {

// As GetPrivateProfileStringA with the empty string as default: copies the
// value of pszKey in section pszSection of the file pszFileName into
// pszBuffer, cut to cbBuffer - 1 bytes and zero-terminated, and returns the
// number of bytes copied. A missing file, section or key, or an empty value,
// gives the empty string and 0. Section and key names match without regard to
// ASCII case; blanks around keys and values do not count; one pair of quotes
// around a whole value is dropped. cbBuffer must be at least 1.
//
// The native build takes a backslash that is not the second byte of a
// double-byte character as a folder separator, so "dir\GameLevel.ini" works.
std::size_t ReadProfileString(const char* pszSection, const char* pszKey, char* pszBuffer,
                              std::size_t cbBuffer, const char* pszFileName);

// Multi-byte text of the thread's ANSI code page to UTF-16. A byte sequence
// that is not a character of the code page converts as the platform does it
// natively (Windows: "?"); level names, cut on character boundaries, never
// end in a lone lead byte.
// Throws when out of memory (or, natively, when iconv lacks CP936).
std::u16string AnsiToUtf16(const char* pszText);

// cchText UTF-16 units (which need not be terminated) to the thread's ANSI
// code page; a character the code page lacks becomes "?". Throws as
// AnsiToUtf16 does.
std::string Utf16ToAnsi(const char16_t* pText, std::size_t cchText);

}  // namespace quorle_platform
