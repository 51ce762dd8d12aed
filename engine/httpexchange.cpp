// The HTTP side of the transport: the request, its redirects, the headers
// of the answer, a range, and the receive loop every body goes through.
#include "wininettransport.h"

#include "bodysink.h"
#include "errortext.h"

namespace pellowd {

namespace {

bool IsRedirect(DWORD dwStatus) {
    return dwStatus == 301 || dwStatus == 302 || dwStatus == 303 || dwStatus == 307 ||
           dwStatus == 308;
}

bool IsHttpAddress(const std::string& strUrl) {
    const std::string strScheme = UrlScheme(strUrl);
    return strScheme == "http" || strScheme == "https";
}

// The most asked of WinINet in one read, and the time added to a
// transfer's age when its pace is judged, so that its first quick reads do
// not pass for a fast link.
const std::uint64_t kReadAhead = 256 * 1024;
const std::uint64_t kPaceBaseMs = 100;

}  // namespace

// A response header as text; false when it is missing.
bool QueryHeader(HINTERNET hRequest, DWORD dwInfo, std::string* pstrValue) {
    char szValue[2048] = {};
    DWORD cbValue = sizeof(szValue);
    if (!::HttpQueryInfoA(hRequest, dwInfo, szValue, &cbValue, /*lpdwIndex=*/nullptr))
        return false;
    *pstrValue = szValue;
    return true;
}

std::string RangeHeaders(const std::string& strBytes, const std::string& strValidator) {
    std::string strHeaders = "Range: bytes=" + strBytes + "\r\n";
    if (!strValidator.empty())
        strHeaders += "If-Range: " + strValidator + "\r\n";
    return strHeaders;
}

// A status other than the one asked for: a 4xx says the file is not there,
// anything else is a fault of the server.
Failure StatusFailure(DWORD dwStatus, std::string* pstrWhy) {
    *pstrWhy = "HTTP status " + std::to_string(dwStatus);
    return dwStatus >= 400 && dwStatus < 500 ? Failure::kRefused : Failure::kServer;
}

Failure CWinInetTransport::Open(const std::string& strUrl, const std::string& strHeaders,
                                HINTERNET* phRequest, const std::function<bool()>& isCancelled,
                                std::string* pstrWhy) {
    char szHost[256] = {};
    char szPath[2048] = {};
    char szExtra[2048] = {};
    URL_COMPONENTSA uc = {};
    uc.dwStructSize = sizeof(uc);
    uc.lpszHostName = szHost;
    uc.dwHostNameLength = sizeof(szHost);
    uc.lpszUrlPath = szPath;
    uc.dwUrlPathLength = sizeof(szPath);
    uc.lpszExtraInfo = szExtra;
    uc.dwExtraInfoLength = sizeof(szExtra);
    if (!::InternetCrackUrlA(strUrl.c_str(), /*dwUrlLength=*/0, /*dwFlags=*/0, &uc) ||
        szHost[0] == '\0') {
        *pstrWhy = ErrorText("InternetCrackUrl", ::GetLastError());
        return Failure::kRefused;
    }
    const bool bSecure = uc.nScheme == INTERNET_SCHEME_HTTPS;
    std::string strObject = std::string(szPath[0] != '\0' ? szPath : "/") + szExtra;

    // The connection handle of the last transfer serves the next one to the
    // same server; WinINet then keeps the socket alive between them.
    HINTERNET hConnect = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bAborted)
            return Failure::kCancelled;
        if (m_connect.IsValid() && (m_strHost != szHost || m_nPort != uc.nPort))
            m_connect.Reset();
        hConnect = m_connect.Get();
    }
    if (hConnect == nullptr) {
        CInternetHandle connect(::InternetConnectA(m_hSession, szHost, uc.nPort,
                                                   /*lpszUserName=*/nullptr,
                                                   /*lpszPassword=*/nullptr, INTERNET_SERVICE_HTTP,
                                                   /*dwFlags=*/0, /*dwContext=*/0));
        if (!connect.IsValid()) {
            *pstrWhy = ErrorText("InternetConnect", ::GetLastError());
            return Failure::kNetwork;
        }
        // Requests take their timeouts from here: they must be set before a
        // request is sent, or Wine waits for a stalled body for ever.
        SetTimeouts(connect.Get(), m_aborts.TimeoutMs());
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bAborted)
            return Failure::kCancelled;
        hConnect = connect.Get();
        m_connect = std::move(connect);
        m_strHost = szHost;
        m_nPort = uc.nPort;
    }
    // Redirects are ours to follow: WinINet would follow them anywhere.
    const DWORD dwFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                          INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_KEEP_CONNECTION |
                          INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                          INTERNET_FLAG_NO_AUTO_REDIRECT | (bSecure ? INTERNET_FLAG_SECURE : 0);
    static const char* const kAcceptTypes[] = {"*/*", nullptr};
    CInternetHandle request;
    if (!OnHandles([&] {
            request.Reset(::HttpOpenRequestA(hConnect, "GET", strObject.c_str(),
                                             /*lpszVersion=*/nullptr, /*lpszReferrer=*/nullptr,
                                             const_cast<LPCSTR*>(kAcceptTypes), dwFlags,
                                             /*dwContext=*/0));
            return request.IsValid();
        })) {
        DWORD dwError = ::GetLastError();
        request.Reset();
        if (const Failure eEnded = Ended(isCancelled, pstrWhy); eEnded != Failure::kNone)
            return eEnded;
        *pstrWhy = ErrorText("HttpOpenRequest", dwError);
        return Failure::kNetwork;
    }
    const HINTERNET hRequest = request.Get();
    if (!Adopt(std::move(request))) {
        // Adopt refuses only a transfer that was stopped or expired.
        const Failure eEnded = Ended(isCancelled, pstrWhy);
        return eEnded != Failure::kNone ? eEnded : Failure::kNetwork;
    }

    // The digest is of the file's own bytes: a compressed body is not asked for.
    const std::string strAllHeaders = "Accept-Encoding: identity\r\n" + strHeaders;
    if (!OnHandles([&] {
            return ::HttpSendRequestA(hRequest, strAllHeaders.c_str(),
                                      static_cast<DWORD>(strAllHeaders.size()),
                                      /*lpOptional=*/nullptr, /*dwOptionalLength=*/0) != FALSE;
        })) {
        DWORD dwError = ::GetLastError();
        if (const Failure eEnded = Ended(isCancelled, pstrWhy); eEnded != Failure::kNone)
            return eEnded;
        *pstrWhy = ErrorText("HttpSendRequest", dwError);
        // A kept connection may have been closed by the server meanwhile:
        // the next attempt starts afresh.
        std::lock_guard<std::mutex> lock(m_mutex);
        DropHandles();
        return Failure::kNetwork;
    }
    *phRequest = hRequest;
    return Failure::kNone;
}

Failure CWinInetTransport::Request(const std::string& strUrl, const std::string& strHeaders,
                                   HINTERNET* phRequest, DWORD* pdwStatus,
                                   const std::function<bool()>& isCancelled, std::string* pstrWhy) {
    if (!IsHttpAddress(strUrl)) {
        *pstrWhy = "not an http or https address";
        return Failure::kRefused;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_guard.Start(::GetTickCount());
        m_eExpired = CProgressGuard::Verdict::kOk;
    }
    std::string strCurrent = strUrl;
    HINTERNET hRequest = nullptr;
    DWORD dwStatus = 0;
    for (unsigned nRedirects = 0;; ++nRedirects) {
        Failure eOpened = Open(strCurrent, strHeaders, &hRequest, isCancelled, pstrWhy);
        if (eOpened != Failure::kNone)
            return eOpened;
        DWORD cbStatus = sizeof(dwStatus);
        if (!OnHandles([&] {
                return ::HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                        &dwStatus, &cbStatus, /*lpdwIndex=*/nullptr) != FALSE;
            })) {
            DWORD dwError = ::GetLastError();
            if (const Failure eEnded = Ended(isCancelled, pstrWhy); eEnded != Failure::kNone)
                return eEnded;
            *pstrWhy = ErrorText("HttpQueryInfo(status)", dwError);
            return Failure::kNetwork;
        }
        if (!IsRedirect(dwStatus))
            break;
        std::string strLocation;
        if (!OnHandles([&] { return QueryHeader(hRequest, HTTP_QUERY_LOCATION, &strLocation); })) {
            if (const Failure eEnded = Ended(isCancelled, pstrWhy); eEnded != Failure::kNone)
                return eEnded;
            *pstrWhy = "HTTP status " + std::to_string(dwStatus) + " without a Location";
            return Failure::kServer;
        }
        char szNext[2048] = {};
        DWORD cchNext = sizeof(szNext);
        if (!::InternetCombineUrlA(strCurrent.c_str(), strLocation.c_str(), szNext, &cchNext,
                                   ICU_NO_ENCODE)) {
            *pstrWhy = "unusable redirect to " + strLocation;
            return Failure::kRefused;
        }
        if (nRedirects >= kMaxRedirects) {
            *pstrWhy =
                "more than " + std::to_string(kMaxRedirects) + " redirects, the last to " + szNext;
            return Failure::kRefused;
        }
        if (!RedirectAllowed(strCurrent, szNext, pstrWhy))
            return Failure::kRefused;
        if (m_log) {
            m_log("redirect " + std::to_string(dwStatus) + ": " + strCurrent + " -> " + szNext);
        }
        strCurrent = szNext;
        CloseRequest();
    }
    *phRequest = hRequest;
    *pdwStatus = dwStatus;
    return Failure::kNone;
}

Failure CWinInetTransport::BodyLength(HINTERNET hRequest, bool* pbHasLength,
                                      std::uint64_t* pnLength,
                                      const std::function<bool()>& isCancelled,
                                      std::string* pstrWhy) {
    // The digest is of the file's own bytes: an encoded body is of no use.
    std::string strEncoding;
    if (OnHandles(
            [&] { return QueryHeader(hRequest, HTTP_QUERY_CONTENT_ENCODING, &strEncoding); }) &&
        strEncoding != "identity") {
        *pstrWhy = "body sent with Content-Encoding " + strEncoding;
        return Failure::kContent;
    }
    std::string strLength;
    *pbHasLength =
        OnHandles([&] { return QueryHeader(hRequest, HTTP_QUERY_CONTENT_LENGTH, &strLength); }) &&
        ParseContentLength(strLength, pnLength);
    // A header read that failed may have been a stop or the watchdog.
    return Ended(isCancelled, pstrWhy);
}

std::string CWinInetTransport::AnswerValidator(HINTERNET hRequest) {
    // A strong ETag names one version of the file; without one, the time of
    // its last change does (If-Range takes either).
    std::string strValue;
    if (OnHandles([&] { return QueryHeader(hRequest, HTTP_QUERY_ETAG, &strValue); }) &&
        strValue.compare(0, 2, "W/") != 0)
        return strValue;
    if (OnHandles([&] { return QueryHeader(hRequest, HTTP_QUERY_LAST_MODIFIED, &strValue); }))
        return strValue;
    return std::string();
}

Failure CWinInetTransport::GetRange(const std::string& strUrl, std::uint64_t nFirst,
                                    std::uint64_t nLength, bool bMayEndEarly,
                                    std::string* pstrValidator, std::uint64_t* pnTotal,
                                    CWritePipe::ITarget& sink,
                                    const std::function<bool()>& isCancelled,
                                    std::string* pstrWhy) {
    const RequestCloser closer{this};
    const std::uint64_t nLast = nFirst + nLength - 1;
    const std::string strHeaders =
        RangeHeaders(std::to_string(nFirst) + "-" + std::to_string(nLast),
                     pstrValidator != nullptr ? *pstrValidator : std::string());
    HINTERNET hRequest = nullptr;
    DWORD dwStatus = 0;
    const Failure eRequest =
        Request(strUrl, strHeaders, &hRequest, &dwStatus, isCancelled, pstrWhy);
    if (eRequest != Failure::kNone)
        return eRequest;
    if (dwStatus == 200) {
        *pstrWhy = "a range answered with the whole file";
        return Failure::kServer;
    }
    if (dwStatus != 206) {
        // A 416 is the server's fault here: every range asked lies inside the file.
        const Failure eFailure = StatusFailure(dwStatus, pstrWhy);
        return dwStatus == 416 ? Failure::kServer : eFailure;
    }
    std::string strType, strRange;
    if (OnHandles([&] { return QueryHeader(hRequest, HTTP_QUERY_CONTENT_TYPE, &strType); }) &&
        strType.compare(0, 10, "multipart/") == 0) {
        *pstrWhy = "a multipart answer to one range";
        return Failure::kServer;
    }
    std::uint64_t nGotFirst = 0, nGotLast = 0, nTotal = 0;
    if (!OnHandles([&] { return QueryHeader(hRequest, HTTP_QUERY_CONTENT_RANGE, &strRange); }) ||
        !ParseContentRange(strRange, &nGotFirst, &nGotLast, &nTotal) || nGotFirst != nFirst ||
        !(nGotLast == nLast || (bMayEndEarly && nGotLast < nLast && nGotLast + 1 == nTotal))) {
        if (const Failure eEnded = Ended(isCancelled, pstrWhy); eEnded != Failure::kNone)
            return eEnded;
        *pstrWhy = "asked for bytes " + std::to_string(nFirst) + "-" + std::to_string(nLast) +
                   ", answered \"" + strRange + "\"";
        return Failure::kServer;
    }
    bool bHasLength = false;
    std::uint64_t nBody = 0;
    if (const Failure eBody = BodyLength(hRequest, &bHasLength, &nBody, isCancelled, pstrWhy);
        eBody != Failure::kNone)
        return eBody;
    if (bHasLength && nBody != nGotLast - nGotFirst + 1) {
        *pstrWhy = "a range of " + std::to_string(nGotLast - nGotFirst + 1) + " bytes announced " +
                   std::to_string(nBody);
        return Failure::kServer;
    }
    if (pstrValidator != nullptr) {
        const std::string strValidator = AnswerValidator(hRequest);
        if (pstrValidator->empty()) {
            *pstrValidator = strValidator;
        } else if (strValidator != *pstrValidator) {
            *pstrWhy = "the file changed on the server between two ranges";
            return Failure::kServer;
        }
    }
    *pnTotal = nTotal;
    nBody = nGotLast - nGotFirst + 1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_guard.SetLength(nBody);
    }
    // A short body is a cut transfer, as for a whole file.
    CBufferSink buffer(m_buffer, sink, /*pDigest=*/nullptr);
    return Receive(hRequest, /*bHasLength=*/true, nBody, nBody, buffer, isCancelled, pstrWhy);
}

Failure CWinInetTransport::Receive(HINTERNET hRequest, bool bHasLength, std::uint64_t nLength,
                                   std::uint64_t nMaxBytes, IBodySink& sink,
                                   const std::function<bool()>& isCancelled, std::string* pstrWhy) {
    // The bytes land in the sink's buffer, each filled before it is handed over.
    std::size_t cbBuffer = 0, cbFilled = 0;
    char* pBuffer = sink.Next(&cbBuffer);
    auto handOver = [&]() -> bool {
        if (cbFilled == 0)
            return true;
        const std::size_t cb = cbFilled;
        cbFilled = 0;
        if (!sink.Put(cb, pstrWhy))
            return false;
        pBuffer = sink.Next(&cbBuffer);
        return pBuffer != nullptr;
    };
    // A sink that fails has its own way to say why; the caller takes it.
    if (pBuffer == nullptr)
        return Failure::kLocal;

    std::uint64_t nReceived = 0;
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        if (isCancelled())
            return Failure::kCancelled;
        // InternetReadFile returns only once it has all it was asked for,
        // and under Wine no closed handle ends it early: a read asks for
        // what has arrived (WinINet's buffer of 8 KiB at most), so that a
        // dripping server cannot hold it. Only a link that has shown it is
        // fast is asked for more, an eighth of a second at its pace so far:
        // under Wine every trip to the socket costs several to the Wine
        // server, and a 512 MiB body read 8 KiB at a time took 65,000.
        DWORD cbAvailable = 0;
        bool bOk = OnHandles([&] {
            return ::InternetQueryDataAvailable(hRequest, &cbAvailable, /*dwFlags=*/0,
                                                /*dwContext=*/0) != FALSE;
        });
        DWORD cbRead = 0;
        if (bOk) {
            const std::uint64_t nAgeMs = ::GetTickCount() - dwStart;
            std::uint64_t nWant = nReceived * 1000 / (nAgeMs + kPaceBaseMs) / 8;
            if (nWant > kReadAhead)
                nWant = kReadAhead;
            if (nWant < cbAvailable)
                nWant = cbAvailable;
            if (nWant == 0)
                nWant = 1;
            if (nWant > cbBuffer - cbFilled)
                nWant = cbBuffer - cbFilled;
            bOk = OnHandles([&] {
                return ::InternetReadFile(hRequest, pBuffer + cbFilled, static_cast<DWORD>(nWant),
                                          &cbRead) != FALSE;
            });
        }
        DWORD dwError = bOk ? ERROR_SUCCESS : ::GetLastError();
        if (const Failure eEnded = Ended(isCancelled, pstrWhy); eEnded != Failure::kNone)
            return eEnded;
        if (!bOk) {
            *pstrWhy = ErrorText("InternetReadFile", dwError) + " after " +
                       std::to_string(nReceived) + " bytes";
            return Failure::kNetwork;
        }
        if (cbRead == 0)
            break;
        nReceived += cbRead;
        if (bHasLength && nReceived > nLength) {
            *pstrWhy = "more than the announced " + std::to_string(nLength) + " bytes";
            return Failure::kContent;
        }
        if (nReceived > nMaxBytes) {
            *pstrWhy = "more than the limit of " + std::to_string(nMaxBytes) + " bytes";
            return Failure::kContent;
        }
        cbFilled += cbRead;
        if (cbFilled == cbBuffer && !handOver())
            return Failure::kLocal;
        const CProgressGuard::Verdict eVerdict = Progress(cbRead);
        if (eVerdict != CProgressGuard::Verdict::kOk) {
            std::lock_guard<std::mutex> lock(m_mutex);
            *pstrWhy = m_guard.Describe(eVerdict);
            return Failure::kNetwork;
        }
    }
    if (!handOver())
        return Failure::kLocal;
    if (bHasLength && nReceived != nLength) {
        // The connection ended early: a transfer cut mid-body.
        *pstrWhy =
            "cut after " + std::to_string(nReceived) + " of " + std::to_string(nLength) + " bytes";
        return Failure::kNetwork;
    }
    return Failure::kNone;
}

}  // namespace pellowd
