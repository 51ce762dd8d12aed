#include "updater/core/manifest.h"

#include <tinyxml.h>

#include <cctype>

#include "names/safename.h"
#include "updater/core/cp936text.h"
#include "xmllimits/xmllimits.h"

namespace {

// Field widths of the request and need-update records, less the terminator.
const std::size_t kMaxFileName = 127;
const std::size_t kMaxGameName = 127;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
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
    entry.strSha256 = Text(pEntry->Attribute("sha256"));
    entry.nIsSpecial = ReadDecimal(pszSpecial);
    std::string strWhy;
    if (entry.strName.size() > kMaxFileName) {
        return Refuse(strProblem, FormatText("更新列表文件名过长(%s)", pszName));
    }
    // An entry without its digest would be installed unverified.
    if (!IsDigestText(entry.strDate)) {
        return Refuse(strProblem, FormatText("更新列表文件校验码无效(%s)(%s)", pszName, pszDate));
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
    // Two entries for one file would send two downloads at one target.
    std::vector<std::string> fileNames;
    for (const ManifestFileEntry& entry : manifest.files)
        fileNames.push_back(entry.strName);
    std::size_t nFirst = 0, nSecond = 0;
    if (names::FindCollision(fileNames, nFirst, nSecond)) {
        return Refuse(strProblem,
                      FormatText("更新列表文件名重复，拒绝更新(%s)(%s)", fileNames[nFirst].c_str(),
                                 fileNames[nSecond].c_str()));
    }
    if (!bPlaza)
        return ManifestStatus::Ok;
    for (const TiXmlElement* pGame = pGameSection->FirstChildElement(); pGame != nullptr;
         pGame = pGame->NextSiblingElement()) {
        // A game only decides whose processes are ended, and an odd name
        // can match no process: such an entry is passed over, not the update.
        const std::string strGame = Text(pGame->Attribute("name"));
        if (strGame.size() > kMaxGameName || !IsSafeGameName(strGame)) {
            manifest.skippedGames.push_back(strGame);
            continue;
        }
        manifest.games.push_back(strGame);
    }
    return ManifestStatus::Ok;
}

}  // namespace

bool IsSafeFileName(const std::string& strName, std::string& strWhy) {
    strWhy.clear();
    if (strName.empty()) {
        strWhy = "空文件名";
        return false;
    }
    if (!IsSeparator(strName[0])) {
        strWhy = "不以路径分隔符开头";
        return false;
    }
    // The engine is given the name without its leading separator and asks
    // the same rule, so it accepts exactly what is accepted here.
    switch (names::CheckRelativePath(strName.substr(1))) {
        case names::NameFault::kNone:
            return true;
        case names::NameFault::kEmpty:
            strWhy = "含有空路径";
            break;
        case names::NameFault::kBadCp936:
            strWhy = "编码无效";
            break;
        case names::NameFault::kForbidden:
            strWhy = "含有非法字符";
            break;
        case names::NameFault::kDotOrBlankEnd:
            strWhy = "含有相对路径或以点、空格结尾";
            break;
        case names::NameFault::kDevice:
            strWhy = "含有设备名";
            break;
        case names::NameFault::kReserved:
            strWhy = "为更新程序保留";
            break;
    }
    return false;
}

bool IsBatchSafeName(const std::string& strName) {
    return !names::HasBatchCharacter(strName);
}

bool IsSafeGameName(const std::string& strName) {
    if (names::CheckRelativePath(strName) != names::NameFault::kNone)
        return false;
    for (std::size_t i = 0; i < strName.size(); i += names::Cp936CharLength(strName, i)) {
        if (IsSeparator(strName[i]) && names::Cp936CharLength(strName, i) == 1)
            return false;
    }
    return true;
}

namespace {

bool IsHexText(const std::string& strText, std::size_t nDigits) {
    if (strText.size() != nDigits)
        return false;
    for (char c : strText) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

}  // namespace

bool IsDigestText(const std::string& strDate) {
    return IsHexText(strDate, 32);
}

bool IsSha256Text(const std::string& strSha256) {
    return IsHexText(strSha256, 64);
}

ManifestStatus ParseManifest(const char* pszText, bool bPlaza, Manifest& manifest,
                             std::string& strProblem) {
    manifest = Manifest();
    strProblem.clear();
    if (!XmlWithinLimits(pszText))
        return ManifestStatus::LoadFailed;
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
    std::string strText;
    if (!ReadFileText(strPath, kMaxXmlBytes, strText))
        return ManifestStatus::LoadFailed;
    return ParseManifest(strText.c_str(), bPlaza, manifest, strProblem);
}
