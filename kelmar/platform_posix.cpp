#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "kelmar/logline.h"
#include "kelmar/platform.h"

namespace kelmar {

bool MakeParentFolders(const char* filePath) noexcept {
    try {
        std::string path(filePath);
        std::size_t end = path.find_last_of('/');
        if (end == std::string::npos || end == 0) {
            return true;
        }
        // Walk the prefixes "a", "a/b", ... so that a chain of missing folders is made.
        for (std::size_t pos = path.find('/', 1); pos != std::string::npos && pos <= end;
             pos = path.find('/', pos + 1)) {
            std::string folder = path.substr(0, pos);
            if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
                return false;
            }
        }
        struct stat st;
        return stat(path.substr(0, end).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    } catch (...) {
        return false;
    }
}

void FormatLocalNow(char (&out)[20]) noexcept {
    const std::string stamp = FormatLogStamp(LocalNow());
    std::snprintf(out, sizeof out, "%s", stamp.c_str());
}

AppendResult AppendToFile(const char* filePath, const void* data, std::size_t size) noexcept {
    std::FILE* file = std::fopen(filePath, "ab");
    if (file == nullptr) {
        return errno == ENOENT ? AppendResult::kNoFolder : AppendResult::kFailed;
    }
    bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok ? AppendResult::kWritten : AppendResult::kFailed;
}

}  // namespace kelmar
