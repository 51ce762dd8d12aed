#include "usertitle.h"

#include <tinyxml.h>

#include <string>

#include "templates/debugreport.h"
#include "xmllimits/xmllimits.h"

namespace {

// Far above any real title table (a row is about 50 bytes).
const std::size_t kMaxTitleTableBytes = 4u << 20;

// TinyXML reads nested elements by recursion without a bound, and this runs
// on the plaza's own thread: a damaged table must give no rows, not end the
// plaza. The file is checked first and then loaded by TinyXML itself, which
// keeps its own reading of line ends and encodings.
bool LoadTitleTable(const char* pszPath, TiXmlDocument& doc) {
    std::string strText;
    return pszPath != nullptr && ReadFileText(pszPath, kMaxTitleTableBytes, strText) &&
           XmlDepthWithin(strText.c_str(), kMaxXmlDepth) && doc.LoadFile(pszPath);
}

}  // namespace

CUserTitle::CUserTitle() = default;

CUserTitle::~CUserTitle() = default;

void CUserTitle::Init(const char* pszScoreFile, const char* pszLevelFile) {
    try {
        TiXmlDocument doc;
        if (LoadTitleTable(pszScoreFile, doc))
            ReadScoreTitles(doc, &m_ScoreTitleArray);

        TiXmlDocument doc1;
        if (LoadTitleTable(pszLevelFile, doc1))
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
