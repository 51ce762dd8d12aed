// One GameLevel.ini value, as the profile reader hands it over (at most 255
// bytes, zero-terminated), parsed into a level.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../levelvalue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    char szReadData[256];
    const std::size_t cbValue = cbData < sizeof(szReadData) - 1 ? cbData : sizeof(szReadData) - 1;
    std::memcpy(szReadData, pData, cbValue);
    szReadData[cbValue] = '\0';

    tagLevelDescribe level;
    std::memset(&level, 0x7f, sizeof(level));
    ParseLevelValue(szReadData, &level);
    const std::size_t cchName = std::strlen(level.szLevelName);
    if (cchName > 15)
        __builtin_trap();
    // Whole characters only: a walk by characters ends on the terminator.
    std::size_t n = 0;
    while (n < cchName) {
        const unsigned char b = static_cast<unsigned char>(level.szLevelName[n]);
        n += b >= 0x81 && b <= 0xfe ? 2 : 1;
    }
    if (n != cchName)
        __builtin_trap();
    if (level.lLevelValue < 0)
        __builtin_trap();
    return 0;
}
