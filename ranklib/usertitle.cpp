#include "usertitle.h"

#include <tinyxml.h>

#include "templates/debugreport.h"

CUserTitle::CUserTitle() = default;

CUserTitle::~CUserTitle() = default;

void CUserTitle::Init(const char* pszScoreFile, const char* pszLevelFile) {
    try {
        TiXmlDocument doc;
        if (pszScoreFile != nullptr && doc.LoadFile(pszScoreFile))
            ReadScoreTitles(doc, &m_ScoreTitleArray);

        TiXmlDocument doc1;
        if (pszLevelFile != nullptr && doc1.LoadFile(pszLevelFile))
            ReadLevelTitles(doc1, &m_LevelTitleArray);
    } catch (...) {
        SuiteDebugReport("CUserTitle::Init ended by an exception", __FILE__, __LINE__);
    }
}

std::int32_t CUserTitle::GetLvUpExp(std::uint32_t dwLevel) const {
    if (m_LevelTitleArray.empty())
        return 0;
    const std::size_t nIndex =
        dwLevel < m_LevelTitleArray.size() ? dwLevel : m_LevelTitleArray.size() - 1;
    return m_LevelTitleArray[nIndex].lLvUpExp;
}

std::string CUserTitle::GetLvTileName(std::uint32_t dwLevel) const {
    try {
        if (m_LevelTitleArray.empty())
            return std::string();
        for (std::size_t i = m_LevelTitleArray.size(); i-- > 0;) {
            if (static_cast<std::uint32_t>(m_LevelTitleArray[i].lLevel) <= dwLevel)
                return m_LevelTitleArray[i].strItemTitle;
        }
        return m_LevelTitleArray.front().strItemTitle;
    } catch (...) {
        return std::string();
    }
}

std::string CUserTitle::GetScoreTileName(std::int32_t lScore) const {
    try {
        if (m_ScoreTitleArray.empty())
            return std::string();
        for (std::size_t i = m_ScoreTitleArray.size(); i-- > 0;) {
            if (m_ScoreTitleArray[i].lScore <= lScore)
                return m_ScoreTitleArray[i].strItemTitle;
        }
        return m_ScoreTitleArray.front().strItemTitle;
    } catch (...) {
        return std::string();
    }
}

std::string CUserTitle::GetTitleName(std::int32_t lScore, std::uint32_t dwLevel) const {
    try {
        std::string title = GetScoreTileName(lScore);
        title += "的";
        title += GetLvTileName(dwLevel);
        return title;
    } catch (...) {
        return std::string();
    }
}
