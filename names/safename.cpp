#include "names/safename.h"

#include <cstring>
#include <map>

namespace names {

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Windows opens a device for these whatever extension follows, and also
// with blanks before the dot: "nul .txt" is the device NUL.
bool IsDeviceStep(const std::string& strStep) {
    std::string strBase = strStep.substr(0, strStep.find('.'));
    strBase.erase(strBase.find_last_not_of(' ') + 1);
    for (char& c : strBase)
        c = LowerAscii(c);
    static const char* const kDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* pszDevice : kDevices) {
        if (strBase == pszDevice)
            return true;
    }
    return strBase.size() == 4 &&
           (strBase.compare(0, 3, "com") == 0 || strBase.compare(0, 3, "lpt") == 0) &&
           strBase[3] >= '0' && strBase[3] <= '9';
}

NameFault CheckStep(const std::string& strStep) {
    if (strStep.empty())
        return NameFault::kEmpty;
    // Trail bytes are 0x40 and above, so a last byte '.' or ' ' is a character.
    if (strStep.back() == '.' || strStep.back() == ' ')
        return NameFault::kDotOrBlankEnd;
    if (IsDeviceStep(strStep))
        return NameFault::kDevice;
    return NameFault::kNone;
}

// The double-byte letters of code page 936 that have an upper-case partner
// there: lead byte, first and last trail byte of the lower-case run, and
// the distance down to the upper-case one.
struct FoldRange {
    unsigned char cLead, cFirst, cLast;
    int nDown;
};
const FoldRange kFoldRanges[] = {
    {0xA3, 0xE1, 0xFA, 0x20},   // full-width a-z
    {0xA6, 0xC1, 0xD8, 0x20},   // Greek
    {0xA7, 0xD1, 0xF1, 0x30},   // Cyrillic
    {0xA2, 0xA1, 0xAA, -0x50},  // Roman numerals i-x (upper case at A2F1)
};

}  // namespace

std::size_t Cp936CharLength(const std::string& strText, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(strText[i]);
    if (c < 0x80)
        return 1;
    if (IsCp936Lead(c) && i + 1 < strText.size() &&
        IsCp936Trail(static_cast<unsigned char>(strText[i + 1]))) {
        return 2;
    }
    return 0;
}

bool IsWellFormedCp936(const std::string& strText) {
    for (std::size_t i = 0; i < strText.size();) {
        const std::size_t n = Cp936CharLength(strText, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

NameFault CheckRelativePath(const std::string& strPath) {
    if (strPath.empty())
        return NameFault::kEmpty;
    if (!IsWellFormedCp936(strPath))
        return NameFault::kBadCp936;
    std::string strStep;
    for (std::size_t i = 0; i < strPath.size();) {
        const std::size_t n = Cp936CharLength(strPath, i);
        const unsigned char c = static_cast<unsigned char>(strPath[i]);
        if (n == 2) {
            strStep.append(strPath, i, 2);
        } else if (IsSeparator(strPath[i])) {
            const NameFault fault = CheckStep(strStep);
            if (fault != NameFault::kNone)
                return fault;
            strStep.clear();
        } else if (c < 0x20 || c == 0x7F || std::strchr(":*?\"<>|", c) != nullptr) {
            return NameFault::kForbidden;
        } else {
            strStep.push_back(static_cast<char>(c));
        }
        i += n;
    }
    const NameFault fault = CheckStep(strStep);
    if (fault != NameFault::kNone)
        return fault;
    // A file shipped there would stand for what the updater itself fetched,
    // stages or runs at the next hand-over.
    const std::string strKey = NameKey(strPath);
    if (strKey == "specialcpy.bat" || strKey == "download" || strKey.rfind("download\\", 0) == 0)
        return NameFault::kReserved;
    return NameFault::kNone;
}

bool HasBatchCharacter(const std::string& strText) {
    for (std::size_t i = 0; i < strText.size();) {
        const std::size_t n = Cp936CharLength(strText, i);
        if (n == 0)
            return true;  // a cut character could expose its next byte
        if (n == 1 && std::strchr("\"%^&|<>\r\n", strText[i]) != nullptr)
            return true;
        i += n;
    }
    return false;
}

std::string NameKey(const std::string& strPath) {
    std::string strKey;
    strKey.reserve(strPath.size());
    for (std::size_t i = 0; i < strPath.size();) {
        std::size_t n = Cp936CharLength(strPath, i);
        if (n == 2) {
            const unsigned char cLead = static_cast<unsigned char>(strPath[i]);
            int nTrail = static_cast<unsigned char>(strPath[i + 1]);
            for (const FoldRange& range : kFoldRanges) {
                if (cLead == range.cLead && nTrail >= range.cFirst && nTrail <= range.cLast) {
                    nTrail -= range.nDown;
                    break;
                }
            }
            strKey.push_back(static_cast<char>(cLead));
            strKey.push_back(static_cast<char>(nTrail));
            i += 2;
            continue;
        }
        strKey.push_back(strPath[i] == '/' ? '\\' : LowerAscii(strPath[i]));
        ++i;
    }
    return strKey;
}

bool FindCollision(const std::vector<std::string>& paths, std::size_t& nFirst,
                   std::size_t& nSecond) {
    std::map<std::string, std::size_t> files;    // key -> index
    std::map<std::string, std::size_t> folders;  // key of a folder -> first index inside it
    auto found = [&](std::size_t a, std::size_t b) {
        nFirst = a < b ? a : b;
        nSecond = a < b ? b : a;
        return true;
    };
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string strKey = NameKey(paths[i]);
        auto file = files.find(strKey);
        if (file != files.end())
            return found(file->second, i);
        auto folder = folders.find(strKey);
        if (folder != folders.end())
            return found(folder->second, i);
        for (std::size_t j = 0; j < strKey.size();) {
            const std::size_t n = Cp936CharLength(strKey, j);
            if (n == 1 && strKey[j] == '\\' && j > 0) {
                const std::string strFolder = strKey.substr(0, j);
                auto other = files.find(strFolder);
                if (other != files.end())
                    return found(other->second, i);
                folders.emplace(strFolder, i);
            }
            j += n == 0 ? 1 : n;
        }
        files.emplace(strKey, i);
    }
    return false;
}

}  // namespace names
