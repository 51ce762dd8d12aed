#include "kelmar/logline.h"

#include <cstdio>
#include <cstring>

namespace kelmar {

void FormatLogStamp(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                    unsigned second, char (&out)[20]) {
    std::snprintf(out, sizeof out, "%04u-%02u-%02u %02u:%02u:%02u", year % 10000u, month % 100u,
                  day % 100u, hour % 100u, minute % 100u, second % 100u);
}

std::string FormatLogStamp(const std::tm& local) {
    char stamp[20];
    FormatLogStamp(static_cast<unsigned>(local.tm_year + 1900),
                   static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                   static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                   static_cast<unsigned>(local.tm_sec), stamp);
    return stamp;
}

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

std::string DatedLogLine(const char* stamp, const char* message, std::size_t length) {
    std::string line;
    line.reserve(std::strlen(stamp) + 1 + length + 2);
    line.append(stamp).append(1, ' ').append(message, length).append("\r\n");
    return line;
}

}  // namespace kelmar
