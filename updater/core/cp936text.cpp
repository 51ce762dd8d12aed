#include "updater/core/cp936text.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "names/safename.h"

bool CopyWhole(char* pszField, std::size_t cbField, const std::string& strSource) {
    std::memset(pszField, 0, cbField);
    if (strSource.size() >= cbField || strSource.find('\0') != std::string::npos)
        return false;
    std::memcpy(pszField, strSource.data(), strSource.size());
    return true;
}

std::string CutCp936(const std::string& strSource, std::size_t cbMax) {
    std::size_t i = 0;
    while (i < strSource.size()) {
        std::size_t cbChar = names::Cp936CharLength(strSource, i) == 2 ? 2 : 1;
        if (i + cbChar > cbMax)
            break;
        i += cbChar;
    }
    return strSource.substr(0, i);
}

int ReadDecimal(const char* pszText) {
    if (pszText == nullptr)
        return 0;
    errno = 0;
    long lValue = std::strtol(pszText, nullptr, 10);
    // strtol also accepts a "0x" prefix only with base 0; base 10 reads as atoi does.
    if (lValue > INT_MAX)
        return INT_MAX;
    if (lValue < INT_MIN)
        return INT_MIN;
    return static_cast<int>(lValue);
}

std::string FormatText(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    int nLength = std::vsnprintf(nullptr, 0, pszFormat, argsCopy);
    va_end(argsCopy);
    std::string strResult;
    if (nLength > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(nLength) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), pszFormat, args);
        strResult.assign(buffer.data(), static_cast<std::size_t>(nLength));
    }
    va_end(args);
    return strResult;
}

std::string FolderOfPath(const std::string& strPath) {
    std::size_t nEnd = 0;  // one past the last separator
    for (std::size_t i = 0; i < strPath.size(); ++i) {
        const char c = strPath[i];
        if (names::Cp936CharLength(strPath, i) == 2) {
            ++i;
        } else if (c == '\\' || c == '/') {
            nEnd = i + 1;
        }
    }
    return strPath.substr(0, nEnd);
}
