// The dated line every log of the suite writes: the library's CLogFile and
// the download engine's own log.
//
//     2026-03-05 14:07:09 <message>\r\n
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace kelmar {

// "YYYY-MM-DD HH:MM:SS" of a local time, with its terminator.
void FormatLogStamp(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                    unsigned second, char (&out)[20]);

// The same stamp of a broken-down time, without its terminator.
std::string FormatLogStamp(const std::tm& local);

// The local time now, broken down.
std::tm LocalNow();

// The stamp, one space, the `length` message bytes as given, CR LF.
std::string DatedLogLine(const char* stamp, const char* message, std::size_t length);

}  // namespace kelmar
