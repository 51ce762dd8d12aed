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
        case Failure::kContent:
            m_nTriedHere = m_nPerAddress;  // on to the next address
            break;
        default:
            break;
    }
}

void CProgressGuard::Start(std::uint32_t dwNow) {
    m_dwStart = dwNow;
    // A worker keeps its guard for all its transfers: a body of unknown
    // length must not inherit the deadline of the last one announced.
    m_nLength = 0;
    m_nTotal = 0;
    m_samples.assign(1, Sample{dwNow, 0});
}

void CProgressGuard::Add(std::uint32_t dwNow, std::uint64_t cb) {
    m_nTotal += cb;
    // One sample per slice of the window keeps the list short on a fast
    // link; the window then reaches back at most one slice further, which
    // only favours the transfer.
    const std::uint32_t dwSlice = m_limits.nWindowMs / 16;
    if (m_samples.empty() || dwNow - m_samples.back().dwTime >= dwSlice)
        m_samples.push_back(Sample{dwNow, m_nTotal});
    Prune(dwNow);
}

void CProgressGuard::Prune(std::uint32_t dwNow) {
    // Keep the newest sample at least a window old: it is the window's base.
    while (m_samples.size() >= 2 && dwNow - m_samples[1].dwTime >= m_limits.nWindowMs)
        m_samples.pop_front();
}

CProgressGuard::Verdict CProgressGuard::Check(std::uint32_t dwNow) {
    const std::uint32_t dwElapsed = dwNow - m_dwStart;
    const std::uint64_t nRate = m_limits.nMinBytesPerSecond == 0 ? 1 : m_limits.nMinBytesPerSecond;
    const std::uint64_t nSeconds = m_nLength / nRate;
    // A deadline past 2^32 ms is none: the tick count cannot reach it.
    const std::uint64_t nDeadlineMs =
        nSeconds >= 0xFFFFFFFFu / 1000
            ? UINT64_MAX
            : m_limits.nBaseDeadlineMs + nSeconds * 1000 + m_nLength % nRate * 1000 / nRate;
    if (dwElapsed > nDeadlineMs)
        return Verdict::kPastDeadline;
    if (dwElapsed < m_limits.nWindowMs || m_samples.empty())
        return Verdict::kOk;
    Prune(dwNow);
    const std::uint64_t nInWindow = m_nTotal - m_samples.front().nTotal;
    const std::uint64_t nWanted =
        static_cast<std::uint64_t>(m_limits.nMinBytesPerSecond) * m_limits.nWindowMs / 1000;
    return nInWindow < nWanted ? Verdict::kTooSlow : Verdict::kOk;
}

std::string CProgressGuard::Describe(Verdict eVerdict) const {
    switch (eVerdict) {
        case Verdict::kTooSlow:
            return "fewer than " + std::to_string(m_limits.nMinBytesPerSecond) +
                   " bytes a second over " + std::to_string(m_limits.nWindowMs) + " ms, after " +
                   std::to_string(m_nTotal) + " bytes";
        case Verdict::kPastDeadline:
            return "still running at its deadline, after " + std::to_string(m_nTotal) + " bytes";
        case Verdict::kOk:
            break;
    }
    return "in time";
}

std::string UrlScheme(const std::string& strUrl) {
    const std::size_t nColon = strUrl.find("://");
    if (nColon == std::string::npos || nColon == 0)
        return std::string();
    std::string strScheme;
    for (std::size_t i = 0; i < nColon; ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(strUrl[i])));
        const bool bOk = (c >= 'a' && c <= 'z') ||
                         (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!bOk)
            return std::string();
        strScheme.push_back(c);
    }
    return strScheme;
}

bool RedirectAllowed(const std::string& strFrom, const std::string& strTo, std::string* pstrWhy) {
    const std::string strToScheme = UrlScheme(strTo);
    if (strToScheme != "http" && strToScheme != "https") {
        *pstrWhy = "redirect to another scheme refused: " + strTo;
        return false;
    }
    if (UrlScheme(strFrom) == "https" && strToScheme == "http") {
        *pstrWhy = "redirect from https to http refused: " + strTo;
        return false;
    }
    return true;
}

namespace {

// A file whose MD5 matches may still be a colliding twin: the SHA-256 the
// updater expects decides, before anything is replaced.
Failure CheckExpected(const TransferJob& job, ITransport& transport, std::string* pstrWhy) {
    std::string strSha256;
    std::uint64_t nSize = 0;
    if (!transport.WrittenSha256(&strSha256, &nSize, pstrWhy))
        return Failure::kLocal;
    if (job.nExpectedSize != kDownLoadSizeUnknown && nSize != job.nExpectedSize) {
        *pstrWhy = std::to_string(nSize) + " bytes, expected " + std::to_string(job.nExpectedSize);
        return Failure::kContent;
    }
    if (!DigestMatches(job.strSha256, strSha256)) {
        *pstrWhy = "SHA-256 " + (strSha256.empty() ? std::string("unavailable") : strSha256) +
                   ", expected " + job.strSha256;
        return Failure::kContent;
    }
    return Failure::kNone;
}

}  // namespace

TransferResult RunTransfer(const TransferJob& job, ITransport& transport,
                           const TransferSettings& settings,
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
    if (!SavePathFits(strTarget)) {
        result.eFailure = Failure::kLocal;
        result.strLog = "save path too long for its temporary file: " + strTarget;
        return result;
    }
    const std::string strTemp =
        TempPathFor(strTarget, settings.nProcessId, settings.nNonce, job.nTaskId);
    result.strLocalPath = strTarget;

    std::string strWhy;
    if (!transport.PrepareFolders(strTarget, &strWhy)) {
        result.eFailure = Failure::kLocal;
        result.strLog = "cannot create the folders of " + strTarget + ": " + strWhy;
        return result;
    }
    transport.SweepStaleTemps(ParentFolder(strTarget));

    const bool bManifest =
        job.nCommandCode == DOWNLOAD_CMD_PLAZA_XML || job.nCommandCode == DOWNLOAD_CMD_GAME_XML;
    std::uint64_t nMaxBytes = bManifest && kMaxManifestBytes < settings.nMaxFileBytes
                                  ? kMaxManifestBytes
                                  : settings.nMaxFileBytes;
    // A mirror that announces more than the file's known size is cut at once.
    if (job.nExpectedSize < nMaxBytes)
        nMaxBytes = job.nExpectedSize;
    const std::string strMD5 = FieldText(req.szMD5, sizeof(req.szMD5));
    CRetryPolicy policy(FieldText(req.szUrl, sizeof(req.szUrl)),
                        FieldText(req.szUrlReserve, sizeof(req.szUrlReserve)),
                        settings.nPerAddress);
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
        Failure eFailure = Failure::kNone;
        try {
            eFailure = transport.Fetch(strUrl, strTemp, strTarget, strMD5, nMaxBytes,
                                       !bManifest && !strMD5.empty(), isCancelled, &strWhy);
            if (eFailure == Failure::kNone && !job.strSha256.empty()) {
                eFailure = CheckExpected(job, transport, &strWhy);
                if (eFailure == Failure::kContent)
                    transport.DropKept();
            }
            if (eFailure == Failure::kNone) {
                result.staged = transport.Stage(strTemp, strTarget);
                if (!result.staged) {
                    eFailure = Failure::kLocal;
                    strWhy = "out of memory";
                }
            }
        } catch (...) {
            // Out of memory or threads: the worker counts the file failed,
            // and the temporary file must not stay behind in the folder.
            transport.Remove(strTemp);
            throw;
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

void CommitGroup(const std::vector<TransferResult*>& results) {
    auto fail = [](TransferResult* pResult, const char* pszStep, const std::string& strWhy) {
        pResult->eFailure = Failure::kLocal;
        pResult->strLog = pszStep + pResult->strLocalPath + (strWhy.empty() ? "" : ": " + strWhy);
        pResult->staged.reset();
    };
    for (TransferResult* pResult : results) {
        std::string strWhy;
        if (pResult->staged && !pResult->staged->Flush(&strWhy))
            fail(pResult, "cannot flush the new ", strWhy);
    }
    for (TransferResult* pResult : results) {
        std::string strWhy;
        if (pResult->staged && !pResult->staged->Replace(&strWhy))
            fail(pResult, "cannot replace ", strWhy);
        pResult->staged.reset();
    }
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

bool ParseContentRange(const std::string& strValue, std::uint64_t* pnFirst, std::uint64_t* pnLast,
                       std::uint64_t* pnTotal) {
    std::size_t i = strValue.find_first_not_of(" \t");
    if (i == std::string::npos || strValue.compare(i, 6, "bytes ") != 0)
        return false;
    const std::string strRest = strValue.substr(i + 6);
    const std::size_t nDash = strRest.find('-'), nSlash = strRest.find('/');
    if (nDash == std::string::npos || nSlash == std::string::npos || nSlash < nDash)
        return false;
    std::uint64_t nFirst = 0, nLast = 0, nTotal = 0;
    if (!ParseContentLength(strRest.substr(0, nDash), &nFirst) ||
        !ParseContentLength(strRest.substr(nDash + 1, nSlash - nDash - 1), &nLast) ||
        !ParseContentLength(strRest.substr(nSlash + 1), &nTotal) || nFirst > nLast ||
        nLast >= nTotal)
        return false;
    *pnFirst = nFirst;
    *pnLast = nLast;
    *pnTotal = nTotal;
    return true;
}

std::string FieldText(const char* pszField, std::size_t cbField) {
    std::size_t n = 0;
    while (n < cbField && pszField[n] != '\0')
        ++n;
    return std::string(pszField, n);
}

}  // namespace pellowd
