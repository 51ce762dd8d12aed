#include "savepath.h"

#include <cstdio>

#include "names/safename.h"

#include "downloadservice.h"

namespace pellowd {

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Byte offsets where each character starts; a byte that starts no valid
// character (a lead byte at the very end or before a byte that cannot
// follow it) counts as a character of its own, so it never hides the next.
template <typename Visit>
void ForEachChar(const std::string& s, Visit visit) {
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = names::Cp936CharLength(s, i) == 2 ? 2 : 1;
        visit(i, n);
        i += n;
    }
}

}  // namespace

bool IsSafeSaveName(const std::string& strName) {
    return names::CheckRelativePath(strName) == names::NameFault::kNone;
}

std::string JoinSavePath(const std::string& strDir, const std::string& strName) {
    std::string strPath = strDir;
    bool bEndsWithSeparator = false;
    ForEachChar(strDir, [&](std::size_t i, std::size_t n) {
        bEndsWithSeparator = (n == 1 && IsSeparator(strDir[i]));
    });
    if (!strPath.empty() && !bEndsWithSeparator)
        strPath.push_back('\\');
    ForEachChar(strName, [&](std::size_t i, std::size_t n) {
        if (n == 1 && strName[i] == '/')
            strPath.push_back('\\');
        else
            strPath.append(strName, i, n);
    });
    return strPath;
}

std::string ParentFolder(const std::string& strPath) {
    std::size_t nLast = std::string::npos;
    ForEachChar(strPath, [&](std::size_t i, std::size_t n) {
        if (n == 1 && IsSeparator(strPath[i]))
            nLast = i;
    });
    return nLast == std::string::npos ? std::string() : strPath.substr(0, nLast);
}

std::vector<std::string> FoldersToCreate(const std::string& strPath) {
    std::vector<std::size_t> separators;
    ForEachChar(strPath, [&](std::size_t i, std::size_t n) {
        if (n == 1 && IsSeparator(strPath[i]))
            separators.push_back(i);
    });
    // Separators that belong to the root are not folder ends of ours.
    std::size_t nSkip = 0;
    if (strPath.size() >= 2 && IsSeparator(strPath[0]) && IsSeparator(strPath[1])) {
        nSkip = 4;  // "\\server\share\": the two leading ones, after server, after share
    } else if (!strPath.empty() && IsSeparator(strPath[0])) {
        nSkip = 1;
    } else if (strPath.size() >= 3 && strPath[1] == ':' && IsSeparator(strPath[2])) {
        nSkip = 1;
    }
    std::vector<std::string> folders;
    for (std::size_t k = nSkip; k < separators.size(); ++k) {
        // A doubled separator ends no new folder.
        if (separators[k] == 0 || (k > 0 && separators[k - 1] + 1 == separators[k]))
            continue;
        folders.push_back(strPath.substr(0, separators[k]));
    }
    return folders;
}

std::string TempPathFor(const std::string& strTarget, std::uint32_t nProcessId,
                        std::uint32_t nNonce, unsigned nTaskId) {
    char szName[DOWNLOAD_TEMP_NAME_LENGTH + 1];
    std::snprintf(szName, sizeof(szName), "~PellowD-%08lX-%08lX-%08lX.tmp",
                  static_cast<unsigned long>(nProcessId), static_cast<unsigned long>(nNonce),
                  static_cast<unsigned long>(nTaskId));
    std::string strFolder = ParentFolder(strTarget);
    return strFolder.empty() ? std::string(szName) : strFolder + "\\" + szName;
}

namespace {
const char kPartialPrefix[] = "~PellowD-";
const char kPartialExtension[] = ".part";
const std::size_t kPartialDigits =
    DOWNLOAD_TEMP_NAME_LENGTH - (sizeof(kPartialPrefix) - 1) - (sizeof(kPartialExtension) - 1);
}  // namespace

std::string PartialPathFor(const std::string& strTarget, const std::string& strMD5) {
    std::string strName = kPartialPrefix;
    for (std::size_t i = 0; i < kPartialDigits && i < strMD5.size(); ++i) {
        const char c = strMD5[i];
        strName.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    strName += kPartialExtension;
    const std::string strFolder = ParentFolder(strTarget);
    return strFolder.empty() ? strName : strFolder + "\\" + strName;
}

bool ParsePartialName(const std::string& strName, std::string* pstrDigestPrefix) {
    const std::size_t cchPrefix = sizeof(kPartialPrefix) - 1;
    if (strName.size() != DOWNLOAD_TEMP_NAME_LENGTH ||
        strName.compare(0, cchPrefix, kPartialPrefix) != 0 ||
        strName.compare(cchPrefix + kPartialDigits, std::string::npos, kPartialExtension) != 0)
        return false;
    const std::string strDigits = strName.substr(cchPrefix, kPartialDigits);
    if (strDigits.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    *pstrDigestPrefix = strDigits;
    return true;
}

bool ParseTempName(const std::string& strName, std::uint32_t* pnProcessId) {
    static const char kPrefix[] = "~PellowD-";
    const std::size_t cchPrefix = sizeof(kPrefix) - 1;
    if (strName.size() != DOWNLOAD_TEMP_NAME_LENGTH || strName.compare(0, cchPrefix, kPrefix) != 0)
        return false;
    if (strName.compare(strName.size() - 4, 4, ".tmp") != 0)
        return false;
    std::uint32_t nValue = 0;
    for (std::size_t i = cchPrefix; i < strName.size() - 4; ++i) {
        const std::size_t nField = (i - cchPrefix) % 9;  // 8 digits, then "-"
        char c = strName[i];
        if (nField == 8) {
            if (c != '-')
                return false;
            continue;
        }
        bool bDigit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (!bDigit)
            return false;
        if (i < cchPrefix + 8)
            nValue = nValue * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    *pnProcessId = nValue;
    return true;
}

bool SavePathFits(const std::string& strTarget) {
    const std::size_t kMaxPath = 260;
    return strTarget.size() < kMaxPath && TempPathFor(strTarget, 0, 0, 0).size() < kMaxPath;
}

}  // namespace pellowd
