#include "kelmar/logline.h"

#include <cstdio>
#include <cstring>

namespace kelmar {

void FormatLogStamp(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                    unsigned second, char (&out)[20]) {
    std::snprintf(out, sizeof out, "%04u-%02u-%02u %02u:%02u:%02u", year % 10000u, month % 100u,
                  day % 100u, hour % 100u, minute % 100u, second % 100u);
}

std::string DatedLogLine(const char* stamp, const char* message, std::size_t length) {
    std::string line;
    line.reserve(std::strlen(stamp) + 1 + length + 2);
    line.append(stamp).append(1, ' ').append(message, length).append("\r\n");
    return line;
}

}  // namespace kelmar
