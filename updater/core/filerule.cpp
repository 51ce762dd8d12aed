#include "updater/core/filerule.h"

#include <cctype>
#include <cstdio>

namespace {

// Digests are hexadecimal: "AB12" and "ab12" are one digest. The local one
// is " " when the file cannot be opened, which equals no manifest digest.
bool SameDigest(const std::string& strA, const std::string& strB) {
    if (strA.size() != strB.size())
        return false;
    for (std::size_t i = 0; i < strA.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(strA[i])) !=
            std::tolower(static_cast<unsigned char>(strB[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string SizeText(std::uint64_t qwSize) {
    char szSize[16];
    std::snprintf(szSize, sizeof(szSize), "%d",
                  static_cast<int>(static_cast<std::uint32_t>(qwSize & 0xFFFFFFFFu)));
    return szSize;
}

bool FileNeedsUpdate(const ManifestFileEntry& entry, const std::string& strLocalPath,
                     IFileProbe& probe) {
    if (!probe.Exists(strLocalPath))
        return true;
    std::uint64_t qwSize = 0;
    if (!probe.ReadSize(strLocalPath, qwSize))
        return true;
    if (entry.strBytes != SizeText(qwSize))
        return true;
    return !SameDigest(entry.strDate, probe.Digest(strLocalPath));
}
