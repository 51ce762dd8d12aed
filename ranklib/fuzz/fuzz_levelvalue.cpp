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
    if (std::strlen(level.szLevelName) > 15)
        __builtin_trap();
    if (level.lLevelValue < 0)
        __builtin_trap();
    return 0;
}
