#include "updater/core/filerule.h"

#include <cstdio>

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
    return entry.strDate != probe.Digest(strLocalPath);
}
