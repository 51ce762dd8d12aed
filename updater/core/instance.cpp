#include "updater/core/instance.h"

#include <cstdint>
#include <cstdio>

#include "names/safename.h"

std::string InstanceMutexName(const std::string& strProgramFolder) {
    std::string strKey = names::NameKey(strProgramFolder);
    // "D:\Plaza" and "D:\Plaza\" are one folder; a trail byte 0x5C ends no folder.
    std::size_t nEnd = 0;
    for (std::size_t i = 0; i < strKey.size();) {
        const std::size_t n = names::Cp936CharLength(strKey, i);
        i += n == 0 ? 1 : n;
        if (n != 1 || strKey[i - 1] != '\\')
            nEnd = i;
    }
    strKey.resize(nEnd);
    // FNV-1a: small, stable across builds and platforms.
    std::uint64_t qwHash = 14695981039346656037ull;
    for (unsigned char c : strKey) {
        qwHash ^= c;
        qwHash *= 1099511628211ull;
    }
    char szName[64];
    std::snprintf(szName, sizeof(szName), "Global\\ZIVTalvex-%016llx",
                  static_cast<unsigned long long>(qwHash));
    return szName;
}
