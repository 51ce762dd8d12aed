// The operating-system services the library needs besides the hash provider, one
// implementation per platform (platform_posix.cpp, platform_win.cpp). None of them throws.
#pragma once

#include <cstddef>

namespace kelmar {

// Creates every missing folder on the way to the file `filePath` (not the file itself).
// True when the parent folder exists afterwards (or the path has no folder part).
bool MakeParentFolders(const char* filePath) noexcept;

// Writes the current local time as "YYYY-MM-DD HH:MM:SS" plus a terminator into `out`.
void FormatLocalNow(char (&out)[20]) noexcept;

enum class AppendResult {
    kWritten,   // all the bytes
    kNoFolder,  // the file's folder does not exist: nothing was written
    kFailed,    // anything else
};

// Appends `size` bytes to the file `filePath`, creating it when missing. The file is
// opened for this call only and shared with other writers.
AppendResult AppendToFile(const char* filePath, const void* data, std::size_t size) noexcept;

}  // namespace kelmar
