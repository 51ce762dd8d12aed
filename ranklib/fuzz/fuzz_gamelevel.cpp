// A whole GameLevel.ini text: looked up item by item as the rank manager
// does, each value cut to the 255 bytes the profile reader hands over.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "../inireader.h"
#include "../levelvalue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const std::string_view strText(reinterpret_cast<const char*>(pData), cbData);
    for (int nItem = 1; nItem < 64; ++nItem) {
        char szItemName[16];
        std::snprintf(szItemName, sizeof(szItemName), "LevelItem%d", nItem);
        std::string strValue;
        if (!FindProfileValue(strText, "LevelDescribe", szItemName, &strValue))
            break;
        if (strValue.size() > 255)
            strValue.resize(255);
        if (strValue.empty() || strValue[0] == '\0')
            break;
        tagLevelDescribe level;
        ParseLevelValue(strValue.c_str(), &level);
    }
    return 0;
}
