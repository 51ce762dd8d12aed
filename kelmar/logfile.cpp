#include "kelmar/logfile.h"

#include <cstring>
#include <mutex>
#include <string>

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
        std::string entry;
        std::size_t length = std::strlen(pszMessage);
        entry.reserve(sizeof stamp + length + 2);
        entry.append(stamp).append(1, ' ').append(pszMessage, length).append("\r\n");

        std::lock_guard<std::mutex> lock(g_logMutex);
        if (g_logFilePath.empty()) {
            return;
        }
        // The folder may have been removed since the last entry, so it is checked each time.
        kelmar::MakeParentFolders(g_logFilePath.c_str());
        kelmar::AppendToFile(g_logFilePath.c_str(), entry.data(), entry.size());
    } catch (...) {
        // A log entry is never worth failing the caller for.
    }
}
