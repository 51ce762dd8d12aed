// Whole files, the one way the suite writes and reads them. A file is
// written under a temporary name beside its own, put on disk, and only then
// moved over its name in one step, so that a reader or a crash finds the old
// bytes or the new, never a part. A file is read whole only up to a cap, so
// that a forged or runaway file cannot make the reader allocate without bound.
//
// Paths are multi-byte: code page 936 bytes on Windows (the ANSI calls take
// them as they are), the native bytes elsewhere.
#pragma once

#include <cstddef>
#include <string>

namespace files {

// The step that failed, and what the system said about it: errno here, the
// system's error code on Windows.
struct Failure {
    enum Step { kNone, kOpen, kWrite, kMove };
    Step step = kNone;
    int nError = 0;
};

// Writes strBytes to strTemp (created or emptied), puts them on disk, then
// moves strTemp over strPath, replacing a file there. On failure strPath is
// as it was and strTemp is gone; pFailure, when given, tells why. strTemp
// must lie beside strPath, so that the move stays within one volume.
bool WriteWholeFile(const std::string& strPath, const std::string& strTemp,
                    const std::string& strBytes, Failure* pFailure = nullptr);

enum class ReadResult {
    kOk,
    kCannotRead,  // missing, a folder, not to be opened, or a read failed part way
    kTooLarge,    // more than the cap
    kNoMemory,
};

// Reads the whole file strPath into strBytes if it holds at most cbMax bytes;
// on any failure strBytes is empty. pnError, when given, gets what the
// system said about a failed open or read (0 otherwise).
ReadResult ReadWholeFile(const std::string& strPath, std::size_t cbMax, std::string& strBytes,
                         int* pnError = nullptr) noexcept;

// What a failure means in words, as the publisher tools print it: the C
// runtime's words for errno here, the system's own for its error code on
// Windows.
std::string FailureText(const Failure& failure);

}  // namespace files
