#include "updater/core/manifesttrust.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kelmar/ecdsa.h"
#include "kelmar/ecdsakeytext.h"
#include "kelmar/sha256.h"
#include "updater/core/cp936text.h"
#include "updater/core/manifest.h"
#include "updater/core/requests.h"
#include "xmllimits/xmllimits.h"

namespace {

// A manifest lists a release's files: far below this. Anything larger is not
// read into memory, and so fails its signature.
const std::size_t kMaxManifestBytes = 16u << 20;
const std::size_t kMaxStateBytes = 64u << 10;
const std::size_t kMaxSequenceDigits = 18;  // stays below 2^63

bool IsHttps(const std::string& strAddress) {
    const char kScheme[] = "https://";
    if (strAddress.size() < sizeof(kScheme) - 1)
        return false;
    for (std::size_t i = 0; i + 1 < sizeof(kScheme); ++i) {
        char c = strAddress[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kScheme[i])
            return false;
    }
    return true;
}

bool ReadDigits(const std::string& strText, std::size_t nMaxDigits, std::uint64_t& qwValue) {
    if (strText.empty() || strText.size() > nMaxDigits)
        return false;
    qwValue = 0;
    for (char c : strText) {
        if (c < '0' || c > '9')
            return false;
        qwValue = qwValue * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool IsLeapYear(std::uint64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool AppendToField(char* pszField, std::size_t cbField, const char* pszSuffix, const char* pszWhat,
                   std::string& strProblem) {
    const std::string strValue = std::string(pszField, strnlen(pszField, cbField)) + pszSuffix;
    if (CopyWhole(pszField, cbField, strValue))
        return true;
    strProblem = FormatText("请求的%s过长，拒绝(%s)", pszWhat, strValue.c_str());
    return false;
}

}  // namespace

bool ApplyTrustSettings(const PlazaInfo& info, UpdaterConfig& config, std::string& strProblem) {
    config.strPublicKey.clear();
    config.strPublicKey2.clear();
    if (info.bTrustOnRoot) {
        strProblem = "发布者公钥和updateHttpsOnly只能写在服务器元素上";
        return false;
    }
    // Imported once here, so that a key that is no point of the curve stops
    // the start-up rather than report every manifest as badly signed.
    auto import = [&](const std::string& strLine, std::string& strKey) {
        if (strLine.empty() || (kelmar::ParseEcdsaPublicKeyText(strLine, strKey) &&
                                kelmar::EcdsaPublicKeyValid(strKey))) {
            return true;
        }
        config.strPublicKey.clear();
        config.strPublicKey2.clear();
        strProblem = FormatText("发布者公钥无效(%s)", strLine.c_str());
        return false;
    };
    if (!import(info.strUpdatePublicKey, config.strPublicKey) ||
        !import(info.strUpdatePublicKey2, config.strPublicKey2)) {
        return false;
    }
    // Alone, the offline key would be taken for no key at all everywhere an
    // empty first key means an unsigned installation.
    if (!config.strPublicKey2.empty() && config.strPublicKey.empty()) {
        config.strPublicKey2.clear();
        strProblem = "updatePublicKey2只能与updatePublicKey同用";
        return false;
    }
    // "true" would read as 0 and switch the check off: with a key, only the
    // two values mean anything.
    const std::string& strHttpsOnly = info.strUpdateHttpsOnly;
    if (!config.strPublicKey.empty() && !strHttpsOnly.empty() && strHttpsOnly != "0" &&
        strHttpsOnly != "1") {
        strProblem = FormatText("updateHttpsOnly只能是0或1(%s)", strHttpsOnly.c_str());
        return false;
    }
    if (ReadDecimal(info.strUpdateHttpsOnly.c_str()) == 0)
        return true;
    for (const std::string* pServer : {&info.strDownLoadGameUrl, &info.strDownLoadGameUrlReserve}) {
        if (!pServer->empty() && !IsHttps(*pServer)) {
            strProblem = FormatText("只允许https服务器地址，拒绝(%s)", pServer->c_str());
            return false;
        }
    }
    return true;
}

std::string FormatUtcTime(std::int64_t llSeconds) {
    std::int64_t llDays = llSeconds / 86400;
    std::int64_t llRest = llSeconds % 86400;
    if (llRest < 0) {
        llRest += 86400;
        --llDays;
    }
    // The inverse of DaysFromCivil.
    llDays += 719468;
    const std::int64_t era = (llDays >= 0 ? llDays : llDays - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(llDays - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    char szText[40];
    std::snprintf(szText, sizeof(szText), "%04lld-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<long long>(y), m, d, static_cast<int>(llRest / 3600),
                  static_cast<int>(llRest / 60 % 60), static_cast<int>(llRest % 60));
    return szText;
}

bool ParseUtcTime(const std::string& strText, std::int64_t& llSeconds) {
    // Exactly YYYY-MM-DDTHH:MM:SSZ.
    if (strText.size() != 20 || strText[4] != '-' || strText[7] != '-' || strText[10] != 'T' ||
        strText[13] != ':' || strText[16] != ':' || strText[19] != 'Z') {
        return false;
    }
    std::uint64_t y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!ReadDigits(strText.substr(0, 4), 4, y) || !ReadDigits(strText.substr(5, 2), 2, mo) ||
        !ReadDigits(strText.substr(8, 2), 2, d) || !ReadDigits(strText.substr(11, 2), 2, h) ||
        !ReadDigits(strText.substr(14, 2), 2, mi) || !ReadDigits(strText.substr(17, 2), 2, s)) {
        return false;
    }
    static const unsigned kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59)
        return false;
    const unsigned nMonthDays = kDaysInMonth[mo - 1] + (mo == 2 && IsLeapYear(y) ? 1 : 0);
    if (d > nMonthDays)
        return false;
    llSeconds = DaysFromCivil(static_cast<std::int64_t>(y), static_cast<unsigned>(mo),
                              static_cast<unsigned>(d)) *
                    86400 +
                static_cast<std::int64_t>(h * 3600 + mi * 60 + s);
    return true;
}

bool ReadSignedAttributes(const std::string& strText, std::uint64_t& qwSequence,
                          std::int64_t& llExpires, std::string* pstrName) {
    // Signed text is still outside text: the same limits as for any manifest
    // keep TinyXML's recursion off the end of the stack.
    if (!XmlWithinLimits(strText.c_str()))
        return false;
    TiXmlDocument document;
    document.Parse(strText.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    const TiXmlElement* pRoot = document.Error() ? nullptr : document.RootElement();
    if (pRoot == nullptr)
        return false;
    const char* pszSequence = pRoot->Attribute("sequence");
    const char* pszExpires = pRoot->Attribute("expires");
    if (pstrName != nullptr) {
        const char* pszName = pRoot->Attribute("name");
        pstrName->assign(pszName != nullptr ? pszName : "");
    }
    return pszSequence != nullptr && pszExpires != nullptr &&
           ReadDigits(pszSequence, kMaxSequenceDigits, qwSequence) &&
           ParseUtcTime(pszExpires, llExpires);
}

std::string KeyFingerprint(const std::string& strPublic) {
    kelmar::Sha256 hash;
    hash.Update(strPublic.data(), strPublic.size());
    return hash.HexDigest();
}

SequenceState ParseSequenceState(const std::string& strText,
                                 const std::string& strLegacyFingerprint) {
    SequenceState state;
    std::size_t nStart = 0;
    while (nStart < strText.size()) {
        std::size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = strText.size();
        std::string strLine = strText.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        // A fingerprint is 64 hexadecimal digits, a sequence at most 18: the
        // last word tells the two forms apart.
        std::string strFingerprint = strLegacyFingerprint;
        std::size_t nBlank = strLine.rfind(' ');
        if (nBlank != std::string::npos && strLine.size() - nBlank - 1 == 64 &&
            IsSha256Text(strLine.substr(nBlank + 1))) {
            strFingerprint = strLine.substr(nBlank + 1);
            strLine.resize(nBlank);
            nBlank = strLine.rfind(' ');
        }
        // Manifest names hold no blank of their own at the end: the last blank
        // separates the number.
        std::uint64_t qwSequence = 0;
        if (nBlank != std::string::npos && nBlank > 0 &&
            ReadDigits(strLine.substr(nBlank + 1), kMaxSequenceDigits, qwSequence)) {
            std::uint64_t& qwKept = state[SequenceKey(strFingerprint, strLine.substr(0, nBlank))];
            qwKept = std::max(qwKept, qwSequence);
        }
    }
    return state;
}

std::string SequenceStateText(const SequenceState& state) {
    std::string strText;
    for (const auto& entry : state) {
        strText += entry.first.second + " " + std::to_string(entry.second) + " " +
                   entry.first.first + "\r\n";
    }
    return strText;
}

bool FillSignatureRequest(DownLoadRequest& manifestReq, DownLoadRequest& sigReq,
                          std::string& strProblem) {
    manifestReq.nFileCount = 2;
    sigReq = manifestReq;
    sigReq.nFileIndex = 1;
    if (!AppendToField(sigReq.szFileName, sizeof(sigReq.szFileName), kSignatureSuffix, "szFileName",
                       strProblem) ||
        !AppendToField(sigReq.szSaveName, sizeof(sigReq.szSaveName), kSignatureSuffix, "szSaveName",
                       strProblem) ||
        !AppendToField(sigReq.szUrl, sizeof(sigReq.szUrl), kSignatureSuffix, "szUrl", strProblem) ||
        !AppendToField(sigReq.szUrlReserve, sizeof(sigReq.szUrlReserve), kSignatureSuffix,
                       "szUrlReserve", strProblem)) {
        return false;
    }
    // The engine saves to szSaveDir + "\" + szSaveName; that whole path must fit.
    const std::string strPath = std::string(sigReq.szSaveDir) + "\\" + sigReq.szSaveName;
    if (strPath.size() < 260)
        return true;
    strProblem = FormatText("请求的保存路径过长，拒绝(%s)", strPath.c_str());
    return false;
}

TrustVerdict AdmitManifest(const UpdaterConfig& config, const std::string& strManifestName,
                           const std::string& strManifestPath, IManifestTrustHost& host,
                           std::string& strText, std::string& strLogLine) {
    strText.clear();
    const char* pszName = strManifestName.c_str();
    auto refuse = [&](TrustVerdict verdict, const std::string& strWhy) {
        strLogLine = FormatText("更新列表签名验证失败(%s)：%s", pszName, strWhy.c_str());
        strText.clear();
        return verdict;
    };
    std::string strSignature;
    if (!host.ReadWholeFile(strManifestPath + kSignatureSuffix, kMaxSignatureFileBytes,
                            strSignature)) {
        return refuse(TrustVerdict::MissingSignature, "缺少签名文件");
    }
    const std::string* pSigner = nullptr;
    if (host.ReadWholeFile(strManifestPath, kMaxManifestBytes, strText)) {
        for (const std::string* pKey : {&config.strPublicKey, &config.strPublicKey2}) {
            if (pSigner == nullptr && !pKey->empty() &&
                kelmar::EcdsaVerify(*pKey, strText, strSignature)) {
                pSigner = pKey;
            }
        }
    }
    if (pSigner == nullptr)
        return refuse(TrustVerdict::BadSignature, "签名无效");
    std::uint64_t qwSequence = 0;
    std::int64_t llExpires = 0;
    std::string strSignedName;
    if (!ReadSignedAttributes(strText, qwSequence, llExpires, &strSignedName))
        return refuse(TrustVerdict::MissingAttributes, "缺少版本序号或有效期");
    // Every manifest of a release is signed alike: without its own name a
    // manifest of one game, or an older plaza manifest, would pass for another.
    if (strSignedName.empty())
        return refuse(TrustVerdict::WrongName, "缺少更新列表名称");
    if (strSignedName != strManifestName)
        return refuse(TrustVerdict::WrongName, "更新列表名称不符(" + strSignedName + ")");
    const std::string strExpires = FormatUtcTime(llExpires);
    const std::int64_t llNow = host.Now();
    if (llExpires <= llNow)
        return refuse(TrustVerdict::Expired, "已过期(" + strExpires + ")");
    if (llExpires - llNow > kMaxExpiresAheadSeconds)
        return refuse(TrustVerdict::ExpiresTooFar, "有效期过长(" + strExpires + ")");

    const std::string strStatePath = config.strProgramFolder + kSequenceStateName;
    std::string strStateText;
    // Only a missing file is a fresh installation. Taken as empty, a file held
    // by another program or grown past its cap would be rewritten with this
    // one record, and every other manifest's rollback forgotten.
    if (!host.ReadWholeFile(strStatePath, kMaxStateBytes, strStateText)) {
        if (!host.IsMissing(strStatePath))
            return refuse(TrustVerdict::StateUnreadable, "无法读取版本序号记录");
        strStateText.clear();
    }
    const std::string strFingerprint = KeyFingerprint(*pSigner);
    if (strFingerprint.empty())
        return refuse(TrustVerdict::StateNotSaved, "无法保存版本序号");
    SequenceState state = ParseSequenceState(strStateText, KeyFingerprint(config.strPublicKey));
    auto it = state.find(SequenceKey(strFingerprint, strManifestName));
    if (it != state.end() && qwSequence < it->second) {
        return refuse(TrustVerdict::RolledBack,
                      FormatText("版本回退(%llu<%llu)", static_cast<unsigned long long>(qwSequence),
                                 static_cast<unsigned long long>(it->second)));
    }
    // A game's record may be older than the plaza's (or missing): the plaza's
    // stands for the release this installation has already reached.
    auto plaza = state.find(SequenceKey(strFingerprint, kPlazaManifestName));
    if (strManifestName != kPlazaManifestName && plaza != state.end() &&
        qwSequence < plaza->second) {
        return refuse(TrustVerdict::BehindPlaza,
                      FormatText("版本低于大厅更新列表(%llu<%llu)",
                                 static_cast<unsigned long long>(qwSequence),
                                 static_cast<unsigned long long>(plaza->second)));
    }
    if (it == state.end() || it->second != qwSequence) {
        state[SequenceKey(strFingerprint, strManifestName)] = qwSequence;
        // Without the record a rollback could follow unnoticed: refuse rather
        // than go on forgetting.
        if (!host.ReplaceFile(strStatePath, SequenceStateText(state)))
            return refuse(TrustVerdict::StateNotSaved, "无法保存版本序号");
    }
    strLogLine = FormatText("更新列表签名验证通过(%s)(序号%llu，有效期至%s%s)", pszName,
                            static_cast<unsigned long long>(qwSequence), strExpires.c_str(),
                            pSigner == &config.strPublicKey ? "" : "，备用公钥");
    return TrustVerdict::Accepted;
}
