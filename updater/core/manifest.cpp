#include "updater/core/manifest.h"

#include <tinyxml.h>

#include "updater/core/cp936text.h"

namespace {

// Field widths of the request and need-update records, less the terminator.
const std::size_t kMaxFileName = 127;
const std::size_t kMaxDigest = 39;
const std::size_t kMaxGameName = 127;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Splits a name into its steps between separators, stepping over double-byte
// characters whole (their second byte may be 0x5C).
std::vector<std::string> SplitSteps(const std::string& strName) {
    std::vector<std::string> steps(1);
    for (std::size_t i = 0; i < strName.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(strName[i]);
        if (IsCp936LeadByte(c) && i + 1 < strName.size()) {
            steps.back() += strName.substr(i, 2);
            ++i;
        } else if (IsSeparator(strName[i])) {
            steps.emplace_back();
        } else {
            steps.back() += strName[i];
        }
    }
    return steps;
}

bool HasSingleByte(const std::string& strText, const char* pszBytes) {
    for (std::size_t i = 0; i < strText.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(strText[i]);
        if (IsCp936LeadByte(c) && i + 1 < strText.size()) {
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F)
            return true;
        for (const char* p = pszBytes; *p != '\0'; ++p) {
            if (strText[i] == *p)
                return true;
        }
    }
    return false;
}

bool IsOnlyDotsAndBlanks(const std::string& strStep) {
    return strStep.find_first_not_of(". ") == std::string::npos;
}

const char* Text(const char* pszValue) {
    return pszValue != nullptr ? pszValue : "";
}

ManifestStatus Refuse(std::string& strProblem, std::string strLine) {
    strProblem = std::move(strLine);
    return ManifestStatus::Refused;
}

ManifestStatus ReadFileEntry(const TiXmlElement* pEntry, int nIndex, ManifestFileEntry& entry,
                             std::string& strProblem) {
    const char* pszName = pEntry->Attribute("name");
    const char* pszDate = pEntry->Attribute("date");
    const char* pszSpecial = pEntry->Attribute("isSpecial");
    if (pszName == nullptr || pszDate == nullptr || pszSpecial == nullptr) {
        return Refuse(strProblem,
                      FormatText("更新列表第%d个文件缺少属性(%s)", nIndex + 1, Text(pszName)));
    }
    entry.strName = pszName;
    entry.strDate = pszDate;
    entry.strBytes = Text(pEntry->Attribute("bytes"));
    entry.nIsSpecial = ReadDecimal(pszSpecial);
    std::string strWhy;
    if (entry.strName.size() > kMaxFileName) {
        return Refuse(strProblem, FormatText("更新列表文件名过长(%s)", pszName));
    }
    if (entry.strDate.size() > kMaxDigest) {
        return Refuse(strProblem, FormatText("更新列表文件校验码过长(%s)(%s)", pszName, pszDate));
    }
    if (!IsSafeFileName(entry.strName, strWhy)) {
        return Refuse(strProblem, FormatText("更新列表文件名不安全，拒绝更新(%s)(%s)", pszName,
                                             strWhy.c_str()));
    }
    if (entry.nIsSpecial != 0 && !IsBatchSafeName(entry.strName)) {
        return Refuse(strProblem, FormatText("特殊文件名含有批处理字符，拒绝更新(%s)", pszName));
    }
    return ManifestStatus::Ok;
}

ManifestStatus ReadDocument(const TiXmlDocument& document, bool bPlaza, Manifest& manifest,
                            std::string& strProblem) {
    const TiXmlElement* pRoot = document.RootElement();
    if (pRoot == nullptr)
        return Refuse(strProblem, "更新列表没有根元素");
    const TiXmlNode* pFirstNode = pRoot->FirstChild();
    if (pFirstNode != nullptr && pFirstNode->ToText() != nullptr) {
        return ManifestStatus::RootTextFirst;
    }
    const TiXmlElement* pFileSection = pRoot->FirstChildElement();
    if (pFileSection == nullptr)
        return Refuse(strProblem, "更新列表缺少文件列表");
    const TiXmlElement* pGameSection = pFileSection->NextSiblingElement();
    if (bPlaza && pGameSection == nullptr)
        return Refuse(strProblem, "更新列表缺少游戏列表");

    int nIndex = 0;
    for (const TiXmlElement* pEntry = pFileSection->FirstChildElement(); pEntry != nullptr;
         pEntry = pEntry->NextSiblingElement(), ++nIndex) {
        ManifestFileEntry entry;
        ManifestStatus status = ReadFileEntry(pEntry, nIndex, entry, strProblem);
        if (status != ManifestStatus::Ok)
            return status;
        manifest.files.push_back(entry);
    }
    if (!bPlaza)
        return ManifestStatus::Ok;
    for (const TiXmlElement* pGame = pGameSection->FirstChildElement(); pGame != nullptr;
         pGame = pGame->NextSiblingElement()) {
        const char* pszGame = pGame->Attribute("name");
        if (pszGame == nullptr)
            return Refuse(strProblem, "更新列表游戏缺少名称");
        std::string strGame = pszGame;
        if (strGame.size() > kMaxGameName || !IsSafeGameName(strGame)) {
            return Refuse(strProblem, FormatText("更新列表游戏名称无效(%s)", pszGame));
        }
        manifest.games.push_back(strGame);
    }
    return ManifestStatus::Ok;
}

}  // namespace

bool IsSafeFileName(const std::string& strName, std::string& strWhy) {
    if (strName.empty()) {
        strWhy = "空文件名";
        return false;
    }
    if (!IsSeparator(strName[0])) {
        strWhy = "不以路径分隔符开头";
        return false;
    }
    if (HasSingleByte(strName, ":*?\"<>|")) {
        strWhy = "含有非法字符";
        return false;
    }
    std::vector<std::string> steps = SplitSteps(strName);
    // steps[0] is the empty text before the leading separator.
    for (std::size_t i = 1; i < steps.size(); ++i) {
        if (steps[i].empty()) {
            strWhy = "含有空路径";
            return false;
        }
        if (IsOnlyDotsAndBlanks(steps[i])) {
            strWhy = "含有相对路径";
            return false;
        }
    }
    return true;
}

bool IsBatchSafeName(const std::string& strName) {
    return !HasSingleByte(strName, "\"%^&|<>");
}

bool IsSafeGameName(const std::string& strName) {
    if (strName.empty() || IsOnlyDotsAndBlanks(strName))
        return false;
    return !HasSingleByte(strName, "\\/:*?\"<>|");
}

ManifestStatus ParseManifest(const char* pszText, bool bPlaza, Manifest& manifest,
                             std::string& strProblem) {
    manifest = Manifest();
    strProblem.clear();
    TiXmlDocument document;
    document.Parse(pszText, nullptr, TIXML_DEFAULT_ENCODING);
    if (document.Error())
        return ManifestStatus::LoadFailed;
    return ReadDocument(document, bPlaza, manifest, strProblem);
}

ManifestStatus ReadManifest(const std::string& strPath, bool bPlaza, Manifest& manifest,
                            std::string& strProblem) {
    manifest = Manifest();
    strProblem.clear();
    TiXmlDocument document;
    if (!document.LoadFile(strPath.c_str(), TIXML_DEFAULT_ENCODING)) {
        return ManifestStatus::LoadFailed;
    }
    return ReadDocument(document, bPlaza, manifest, strProblem);
}
