#include "transfer.h"

#include <cctype>

#include "savepath.h"

namespace pellowd {

const char* FailureName(Failure eFailure) {
    switch (eFailure) {
        case Failure::kNone:
            return "ok";
        case Failure::kNetwork:
            return "network";
        case Failure::kRefused:
            return "not found";
        case Failure::kServer:
            return "server error";
        case Failure::kContent:
            return "bad content";
        case Failure::kLocal:
            return "local file";
        case Failure::kCancelled:
            return "cancelled";
    }
    return "?";
}

CRetryPolicy::CRetryPolicy(const std::string& strUrl, const std::string& strReserve,
                           unsigned nPerAddress)
    : m_nPerAddress(nPerAddress == 0 ? 1 : nPerAddress) {
    if (!strUrl.empty())
        m_strAddress[m_nAddresses++] = strUrl;
    if (!strReserve.empty())
        m_strAddress[m_nAddresses++] = strReserve;
}

bool CRetryPolicy::Next(std::string* pstrUrl) {
    if (m_bDone)
        return false;
    if (m_nCurrent < m_nAddresses && m_nTriedHere >= m_nPerAddress) {
        ++m_nCurrent;
        m_nTriedHere = 0;
    }
    if (m_nCurrent >= m_nAddresses) {
        m_bDone = true;
        return false;
    }
    ++m_nTriedHere;
    *pstrUrl = m_strAddress[m_nCurrent];
    return true;
}

void CRetryPolicy::Report(Failure eFailure) {
    switch (eFailure) {
        case Failure::kNone:
        case Failure::kLocal:
        case Failure::kCancelled:
            m_bDone = true;
            break;
        case Failure::kRefused:
            m_nTriedHere = m_nPerAddress;  // on to the next address
            break;
        default:
            break;
    }
}

TransferResult RunTransfer(const TransferJob& job, ITransport& transport, unsigned nPerAddress,
                           const std::function<bool()>& isCancelled) {
    TransferResult result;
    result.job = job;
    const DownLoadRequest& req = job.request;
    const std::string strName = FieldText(req.szSaveName, sizeof(req.szSaveName));
    const std::string strDir = FieldText(req.szSaveDir, sizeof(req.szSaveDir));
    if (strDir.empty() || !IsSafeSaveName(strName)) {
        result.eFailure = Failure::kLocal;
        result.strLog = "refused save name \"" + strName + "\" in folder \"" + strDir + "\"";
        return result;
    }
    const std::string strTarget = JoinSavePath(strDir, strName);
    const std::string strTemp = TempPathFor(strTarget, job.nTaskId);
    result.strLocalPath = strTarget;

    std::string strWhy;
    if (!transport.PrepareFolders(strTarget, &strWhy)) {
        result.eFailure = Failure::kLocal;
        result.strLog = "cannot create the folders of " + strTarget + ": " + strWhy;
        return result;
    }

    const std::string strMD5 = FieldText(req.szMD5, sizeof(req.szMD5));
    CRetryPolicy policy(FieldText(req.szUrl, sizeof(req.szUrl)),
                        FieldText(req.szUrlReserve, sizeof(req.szUrlReserve)), nPerAddress);
    result.eFailure = Failure::kNetwork;
    result.strLog = "no address to fetch " + strTarget + " from";
    std::string strUrl;
    bool bFirstFailure = true;
    while (policy.Next(&strUrl)) {
        if (isCancelled()) {
            result.eFailure = Failure::kCancelled;
            break;
        }
        ++result.nAttempts;
        strWhy.clear();
        Failure eFailure = transport.Fetch(strUrl, strTemp, strMD5, isCancelled, &strWhy);
        if (eFailure == Failure::kNone && !transport.Replace(strTemp, strTarget, &strWhy)) {
            eFailure = Failure::kLocal;
        }
        policy.Report(eFailure);
        result.eFailure = eFailure;
        if (eFailure == Failure::kNone) {
            result.strLog.clear();
            return result;
        }
        transport.Remove(strTemp);
        if (bFirstFailure)
            result.strLog.clear();
        bFirstFailure = false;
        if (!result.strLog.empty())
            result.strLog += "\n";
        result.strLog += strUrl + " -> " + strTarget + ": " + FailureName(eFailure) +
                         (strWhy.empty() ? "" : " (" + strWhy + ")");
    }
    transport.Remove(strTemp);
    return result;
}

bool DigestMatches(const std::string& strExpected, const std::string& strActual) {
    if (strExpected.size() != strActual.size())
        return false;
    for (std::size_t i = 0; i < strExpected.size(); ++i) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(strExpected[i])));
        if (c != strActual[i])
            return false;
    }
    return true;
}

bool ParseContentLength(const std::string& strValue, std::uint64_t* pnLength) {
    std::size_t i = 0;
    while (i < strValue.size() && (strValue[i] == ' ' || strValue[i] == '\t'))
        ++i;
    std::size_t nStart = i;
    std::uint64_t nValue = 0;
    for (; i < strValue.size() && strValue[i] >= '0' && strValue[i] <= '9'; ++i) {
        unsigned nDigit = static_cast<unsigned>(strValue[i] - '0');
        if (nValue > (UINT64_MAX - nDigit) / 10)
            return false;
        nValue = nValue * 10 + nDigit;
    }
    if (i == nStart)
        return false;
    while (i < strValue.size() && (strValue[i] == ' ' || strValue[i] == '\t'))
        ++i;
    if (i != strValue.size())
        return false;
    *pnLength = nValue;
    return true;
}

std::string FieldText(const char* pszField, std::size_t cbField) {
    std::size_t n = 0;
    while (n < cbField && pszField[n] != '\0')
        ++n;
    return std::string(pszField, n);
}

}  // namespace pellowd
