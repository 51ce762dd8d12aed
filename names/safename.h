// The one rule for names that come from a manifest. The updater's manifest
// reader, the engine's save-path check and the publisher's manifest generator
// all ask it, so what one of them accepts no other can refuse.
//
// Names are code page 936 bytes. A byte from 0x81 to 0xFE starts a two-byte
// character whose second byte is 0x40..0x7E or 0x80..0xFE; that second byte
// may be 0x5C (the backslash) or 0x7C (the bar), so every scan steps over
// whole characters. A lead byte before anything else is not a character: a
// converter that drops the lead byte would leave the next byte bare, so such
// a name is refused as a whole rather than read one way or the other.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace names {

inline bool IsCp936Lead(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

inline bool IsCp936Trail(unsigned char c) {
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE);
}

// The length of the character at strText[i]: 1, 2, or 0 when none starts
// there (a lead byte without a valid trail byte, or 0x80 or 0xFF alone).
std::size_t Cp936CharLength(const std::string& strText, std::size_t i);

// True when the whole text is a sequence of characters as above.
bool IsWellFormedCp936(const std::string& strText);

enum class NameFault {
    kNone,
    kEmpty,          // no name at all, or an empty step ("a\\b", "a\", "\a")
    kBadCp936,       // not well-formed code page 936
    kForbidden,      // a control character or one of : * ? " < > |
    kDotOrBlankEnd,  // a step ending in '.' or ' ' ("." and ".." too): Windows drops it
    kDevice,         // a step naming a device: CON, PRN, AUX, NUL, COM0-9, LPT0-9,
                     // CONIN$, CONOUT$, in any case, with or without an extension
    kReserved,       // the updater's own: anything in DownLoad (manifests, the sequence
                     // record, staged files), or SpecialCpy.bat, as Windows compares names
};

// A relative path: steps separated by '\' or '/', no leading or trailing
// separator. Example: "sub\x.dll" is fine, "sub\CON.txt" is kDevice.
NameFault CheckRelativePath(const std::string& strPath);

// True when the text holds a character that the command interpreter acts on
// inside a quoted argument of a batch file: " % ^ & | < > or a line end.
// Only single-byte characters count (a trail byte 0x7C is no bar).
bool HasBatchCharacter(const std::string& strText);

// Two names are one file to Windows when they differ only in letter case or
// in '/' against '\'. The key is equal for both. ASCII letters fold, and so
// do the full-width Latin, Greek, Cyrillic and Roman numeral letters of code
// page 936, which Windows' file systems also compare without case.
std::string NameKey(const std::string& strPath);

// Looks for two paths of the list that would land on one file, or a path
// that is also a folder of another ("sub" beside "sub\x.dll"). On a find,
// returns true with the indexes of the pair (nFirst < nSecond).
bool FindCollision(const std::vector<std::string>& paths, std::size_t& nFirst,
                   std::size_t& nSecond);

}  // namespace names
