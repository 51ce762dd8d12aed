// The updater's log front end: one printf-style line to the dated updater log
// "./errRpt/Talvex.exe-MM-DD.log" (relative to the current directory), through the common
// service library's CLogFile.
//
// Called on the updater's one thread (the dialog's code and the download engine's reports);
// the clock seam below is process-wide and meant for tests only.
#pragma once

#include <cstdarg>
#include <ctime>
#include <string>

#if defined(__clang__)
#define TALVEX_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#elif defined(__GNUC__)
#define TALVEX_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define TALVEX_PRINTF_FORMAT(f, a)
#endif

namespace talvex {

// The size of the message buffer: at most kUpdateLogBufSize - 1 (10239) bytes of a message
// are logged; anything longer is cut there.
constexpr std::size_t kUpdateLogBufSize = 10240;

// The log file of a local date: "./errRpt/Talvex.exe-%02d-%02d.log" with month and day,
// e.g. "./errRpt/Talvex.exe-03-05.log" for 5 March of any year.
std::string UpdateLogFileName(const std::tm& localTime);

// Formats `fmt` with its arguments and appends it to the log file of the current local date.
// The file is chosen anew for every message, so a run that passes midnight goes on in the
// next date's file. Never fails outward: a log that cannot be written is lost. A null `fmt`
// logs nothing.
void WriteUpdateLog(const char* fmt, ...) TALVEX_PRINTF_FORMAT(1, 2);
void WriteUpdateLogV(const char* fmt, va_list args) TALVEX_PRINTF_FORMAT(1, 0);

// Clock seam: the function that gives the current local time. Null restores the system
// clock. Returns the previous function (null for the system clock).
using LocalTimeFunction = std::tm (*)();
LocalTimeFunction SetUpdateLogClock(LocalTimeFunction now);

}  // namespace talvex
