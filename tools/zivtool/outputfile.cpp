#include "outputfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zivtool {
namespace {

#if defined(_WIN32)
long ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

std::string LastErrorText(DWORD error) {
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  /*lpSource=*/nullptr, error, /*dwLanguageId=*/0, text,
                                  sizeof text, /*Arguments=*/nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
        text[--length] = '\0';
    }
    return length > 0 ? text : "error " + std::to_string(error);
}

bool ReplaceWith(const std::string& from, const std::string& to, std::string* error) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    *error = LastErrorText(GetLastError());
    return false;
}
#else
long ProcessId() {
    return static_cast<long>(getpid());
}

bool ReplaceWith(const std::string& from, const std::string& to, std::string* error) {
    if (std::rename(from.c_str(), to.c_str()) == 0) {
        return true;
    }
    *error = std::strerror(errno);
    return false;
}
#endif

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
    // Beside the target, so that the rename stays within one volume.
    const std::string temp = path + ".tmp" + std::to_string(ProcessId());
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    bool ok =
        std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fflush(file) == 0;
    if (!ok) {
        *error = std::strerror(errno);
    }
    // The bytes must be on disk before the name points at them (on Windows
    // MOVEFILE_WRITE_THROUGH does not see to the file's own bytes).
#if defined(_WIN32)
    if (ok && _commit(_fileno(file)) != 0) {
#else
    if (ok && fsync(fileno(file)) != 0) {
#endif
        *error = std::strerror(errno);
        ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
        *error = std::strerror(errno);
        ok = false;
    }
    if (ok && ReplaceWith(temp, path, error)) {
        return true;
    }
    std::remove(temp.c_str());
    return false;
}

void SetStdoutBinary() {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace zivtool
