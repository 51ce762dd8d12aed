#include "titletable.h"

#include <tinyxml.h>

#include <climits>

namespace {

bool IsAtoiBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string ReadTitleText(const TiXmlElement& row) {
    const char* pszTitle = row.Attribute("Title");
    return pszTitle != nullptr ? std::string(pszTitle) : std::string();
}

}  // namespace

std::int32_t ReadTitleInteger(const char* pszText) {
    if (pszText == nullptr)
        return 0;
    while (IsAtoiBlank(*pszText))
        ++pszText;
    bool bNegative = false;
    if (*pszText == '+' || *pszText == '-')
        bNegative = *pszText++ == '-';
    // Held one past INT32_MAX so that "-2147483648" still reads exactly.
    const std::int64_t llLimit = static_cast<std::int64_t>(INT32_MAX) + 1;
    std::int64_t llValue = 0;
    while (*pszText >= '0' && *pszText <= '9') {
        llValue = llValue * 10 + (*pszText++ - '0');
        if (llValue > llLimit)
            llValue = llLimit;
    }
    if (bNegative)
        return static_cast<std::int32_t>(-llValue);
    return static_cast<std::int32_t>(llValue > INT32_MAX ? INT32_MAX : llValue);
}

void ReadScoreTitles(const TiXmlDocument& doc, std::vector<tagScoreTitle>* pRows) {
    const TiXmlElement* pRoot = doc.RootElement();
    if (pRoot == nullptr)
        return;
    for (const TiXmlElement* pRow = pRoot->FirstChildElement(); pRow != nullptr;
         pRow = pRow->NextSiblingElement()) {
        tagScoreTitle itemInfo;
        itemInfo.lScore = ReadTitleInteger(pRow->Attribute("Score"));
        itemInfo.strItemTitle = ReadTitleText(*pRow);
        pRows->push_back(std::move(itemInfo));
    }
}

void ReadLevelTitles(const TiXmlDocument& doc, std::vector<tagLevelTitle>* pRows) {
    const TiXmlElement* pRoot = doc.RootElement();
    if (pRoot == nullptr)
        return;
    for (const TiXmlElement* pRow = pRoot->FirstChildElement(); pRow != nullptr;
         pRow = pRow->NextSiblingElement()) {
        tagLevelTitle itemInfo;
        itemInfo.lLevel = ReadTitleInteger(pRow->Attribute("lv"));
        itemInfo.strItemTitle = ReadTitleText(*pRow);
        itemInfo.lLvUpExp = ReadTitleInteger(pRow->Attribute("LvUpExp"));
        pRows->push_back(std::move(itemInfo));
    }
}
