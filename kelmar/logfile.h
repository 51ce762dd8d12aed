// CLogFile: the library's plain-text log.
//
// SetFilePath() chooses the file; each WriteLog() appends one entry to the file chosen last:
//
//     2026-03-05 14:07:09 <message>\r\n
//
// that is the local date and time "%Y-%m-%d %H:%M:%S", one space, the message bytes as given
// (code page 936 text; nothing is translated or cut, a message of 10239 bytes is written
// whole), then CR LF on every platform. An entry is written with one append, so entries of
// one process never interleave.
//
// Folders on the way to the file that do not exist yet (the errRpt folder) are created.
// Neither call fails outward: a path that cannot be written, a missing path (no
// SetFilePath() yet) or a lack of memory loses the message silently.
//
// Both calls may be made from any thread; the path is shared by the whole process, so two
// threads that each set their own path before writing must agree between themselves.
#pragma once

#include "kelmar/kelmar_api.h"

class KELMAR_API CLogFile {
public:
    // Later WriteLog() calls go to `pszFilePath` (relative paths to the current directory
    // at the time of each write). Null or empty forgets the path.
    static void SetFilePath(const char* pszFilePath);

    // Appends one entry holding `pszMessage` (null counts as empty).
    static void WriteLog(const char* pszMessage);

    CLogFile() = delete;
};
