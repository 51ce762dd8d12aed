#include <windows.h>
#include <cstdio>
#include <string>
#include <vector>

#include "kelmar/logline.h"
#include "kelmar/platform.h"
#include "templates/winhandle.h"

namespace kelmar {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool MakeParentFolders(const char* filePath) noexcept {
    try {
        std::string path(filePath);
        // In code page 936 the second byte of a character can be 0x5C, the backslash, so the
        // separators are found character by character, not byte by byte.
        std::vector<std::size_t> separators;
        for (std::size_t i = 0; i < path.size(); ++i) {
            if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size()) {
                ++i;
            } else if (IsSeparator(path[i])) {
                separators.push_back(i);
            }
        }
        if (separators.empty() || separators.back() == 0) {
            return true;
        }
        const std::size_t end = separators.back();
        // A drive ("C:\") or a server share ("\\host\share\") cannot be made; folders are
        // made from the first separator after it.
        std::size_t first = 0;
        if (path.size() > 1 && path[1] == ':') {
            first = separators[0] == 2 ? 1 : 0;
        } else if (separators.size() > 1 && separators[0] == 0 && separators[1] == 1) {
            first = 4;  // after "\\", the host's separator and the share's separator
        }
        for (std::size_t n = first; n < separators.size(); ++n) {
            if (separators[n] == 0) {
                continue;  // the root folder itself
            }
            std::string folder = path.substr(0, separators[n]);
            if (!CreateDirectoryA(folder.c_str(), /*lpSecurityAttributes=*/nullptr)) {
                DWORD error = GetLastError();
                if (error != ERROR_ALREADY_EXISTS && !IsFolder(folder)) {
                    return false;
                }
            }
        }
        return IsFolder(path.substr(0, end));
    } catch (...) {
        return false;
    }
}

void FormatLocalNow(char (&out)[20]) noexcept {
    SYSTEMTIME now;
    GetLocalTime(&now);
    FormatLogStamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, out);
}

AppendResult AppendToFile(const char* filePath, const void* data, std::size_t size) noexcept {
    // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the end, even when
    // another process appends to the same log.
    CFileHandle file(CreateFileA(filePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    if (!file.IsValid()) {
        return GetLastError() == ERROR_PATH_NOT_FOUND ? AppendResult::kNoFolder
                                                      : AppendResult::kFailed;
    }
    const char* bytes = static_cast<const char*>(data);
    bool ok = true;
    while (ok && size > 0) {
        DWORD written = 0;
        DWORD piece = size > 0x100000u ? 0x100000u : static_cast<DWORD>(size);
        ok = WriteFile(file.Get(), bytes, piece, &written, /*lpOverlapped=*/nullptr) && written > 0;
        bytes += written;
        size -= written;
    }
    return ok ? AppendResult::kWritten : AppendResult::kFailed;
}

}  // namespace kelmar
