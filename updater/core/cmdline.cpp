#include "updater/core/cmdline.h"

#include <cstddef>

namespace {

bool EqualsIgnoringAsciiCase(const std::string& strLeft, const char* pszRight) {
    std::size_t i = 0;
    for (; i < strLeft.size() && pszRight[i] != '\0'; ++i) {
        char a = strLeft[i];
        char b = pszRight[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return i == strLeft.size() && pszRight[i] == '\0';
}

}  // namespace

std::string ScanGameName(const std::string& strCmdLine) {
    std::size_t nStart = 0;
    for (;;) {
        std::size_t nEnd = strCmdLine.find(' ', nStart);
        std::string strToken = strCmdLine.substr(
            nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
        std::size_t nColon = strToken.find(':');
        if (EqualsIgnoringAsciiCase(strToken.substr(0, nColon), "-gamename")) {
            if (nColon == std::string::npos)
                return std::string();
            std::size_t nSecond = strToken.find(':', nColon + 1);
            return strToken.substr(nColon + 1, nSecond == std::string::npos ? std::string::npos
                                                                            : nSecond - nColon - 1);
        }
        if (nEnd == std::string::npos)
            return std::string();
        nStart = nEnd + 1;
    }
}
