#include "filemover/copylog.h"

#include <cstdio>
#include <memory>

#include "kelmar/logline.h"

std::string CopyLogFileName(const std::tm& now) {
    return "errRpt/CopyLog" + std::to_string(now.tm_mday) + ".txt";
}

void AppendLogLine(const std::string& fileName, const std::string& message, const std::tm& now) {
    try {
        const std::string strTime = kelmar::FormatLogStamp(now);
        // "a+" opens for reading and appending without truncating and creates a missing file,
        // but never a missing folder: without errRpt the entry is dropped. No "b": text mode
        // turns each "\n" into CR LF on Windows, which is what the log has always held.
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(fileName.c_str(), "a+"),
                                                             &std::fclose);
        if (!file) {
            return;
        }
        std::fseek(file.get(), 0, SEEK_END);
        std::fwrite(strTime.data(), 1, strTime.size(), file.get());
        std::fwrite(message.data(), 1, message.size(), file.get());
        std::fputs("\n\n", file.get());
    } catch (...) {
        // A lost log entry must never end the move.
    }
}

CCopyLog::CCopyLog(std::string strFolder, Clock clock)
    : m_strFolder(std::move(strFolder)), m_clock(std::move(clock)) {}

void CCopyLog::WriteCopyLog(const std::string& message) {
    try {
        const std::tm now = m_clock();
        const std::string strTitle = m_strFolder + CopyLogFileName(now);
        AppendLogLine(strTitle, message, now);
    } catch (...) {
        // See AppendLogLine: the log is best effort.
    }
}
