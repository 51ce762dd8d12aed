#include "kelmar/logfile.h"

#include <cstring>
#include <mutex>
#include <string>

#include "kelmar/logline.h"
#include "kelmar/platform.h"

namespace {

std::mutex g_logMutex;
std::string g_logFilePath;  // guarded by g_logMutex

}  // namespace

void CLogFile::SetFilePath(const char* pszFilePath) {
    try {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_logFilePath.assign(pszFilePath != nullptr ? pszFilePath : "");
    } catch (...) {
        // Keeping the old path is the only thing left to do.
    }
}

void CLogFile::WriteLog(const char* pszMessage) {
    try {
        if (pszMessage == nullptr) {
            pszMessage = "";
        }
        char stamp[20];
        kelmar::FormatLocalNow(stamp);
        const std::string entry = kelmar::DatedLogLine(stamp, pszMessage, std::strlen(pszMessage));

        std::lock_guard<std::mutex> lock(g_logMutex);
        if (g_logFilePath.empty()) {
            return;
        }
        // The folder may have been removed since the last entry, but making it costs a call
        // per folder, several round trips to the Wine server: only a missing one is made.
        const char* path = g_logFilePath.c_str();
        if (kelmar::AppendToFile(path, entry.data(), entry.size()) ==
                kelmar::AppendResult::kNoFolder &&
            kelmar::MakeParentFolders(path)) {
            kelmar::AppendToFile(path, entry.data(), entry.size());
        }
    } catch (...) {
        // A log entry is never worth failing the caller for.
    }
}
