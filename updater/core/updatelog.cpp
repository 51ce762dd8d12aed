#include "updater/core/updatelog.h"

#include <cstdio>
#include <cstring>

#include "kelmar/logfile.h"
#include "kelmar/logline.h"

namespace talvex {
namespace {

LocalTimeFunction g_localTime = nullptr;

}  // namespace

std::string UpdateLogFileName(const std::tm& localTime) {
    char szName[64];
    std::snprintf(szName, sizeof szName, "./errRpt/Talvex.exe-%02d-%02d.log", localTime.tm_mon + 1,
                  localTime.tm_mday);
    return szName;
}

void WriteUpdateLog(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    WriteUpdateLogV(fmt, args);
    va_end(args);
}

void WriteUpdateLogV(const char* fmt, va_list args) {
    if (fmt == nullptr) {
        return;
    }
    char szLogBuf[kUpdateLogBufSize];
    std::memset(szLogBuf, 0, sizeof szLogBuf);
    // C99 vsnprintf keeps at most sizeof - 1 bytes and terminates; the last byte is cleared
    // again in case a runtime that does not terminate on truncation is linked in.
    std::vsnprintf(szLogBuf, sizeof szLogBuf, fmt, args);
    szLogBuf[sizeof szLogBuf - 1] = '\0';

    try {
        std::string strLogFileName =
            UpdateLogFileName(g_localTime != nullptr ? g_localTime() : kelmar::LocalNow());
        CLogFile::SetFilePath(strLogFileName.c_str());
        CLogFile::WriteLog(szLogBuf);
    } catch (...) {
        // Logging never stops an update.
    }
}

LocalTimeFunction SetUpdateLogClock(LocalTimeFunction now) {
    LocalTimeFunction previous = g_localTime;
    g_localTime = now;
    return previous;
}

}  // namespace talvex
