#include "wininettransport.h"

#include <cstring>
#include <memory>
#include <vector>

#include "kelmar/md5.h"
#include "savepath.h"

namespace pellowd {

namespace {

const DWORD kChunk = 64 * 1024;

std::string ErrorText(const char* pszWhat, DWORD dwError) {
    return std::string(pszWhat) + " failed, error " + std::to_string(dwError);
}

// A file handle that closes itself; invalid at INVALID_HANDLE_VALUE.
class CFile {
public:
    explicit CFile(HANDLE h) : m_h(h) {}
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    HANDLE Get() const { return m_h; }
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE; }
    bool Close() {
        if (m_h == INVALID_HANDLE_VALUE)
            return true;
        BOOL bOk = ::CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
        return bOk != FALSE;
    }

private:
    HANDLE m_h;
};

void SetTimeouts(HINTERNET hInternet, DWORD dwTimeoutMs) {
    for (DWORD dwOption : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                           INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        ::InternetSetOptionA(hInternet, dwOption, &dwTimeoutMs, sizeof(dwTimeoutMs));
    }
}

bool IsHttpAddress(const std::string& strUrl) {
    auto starts = [&](const char* pszScheme) {
        std::size_t n = std::strlen(pszScheme);
        if (strUrl.size() < n)
            return false;
        for (std::size_t i = 0; i < n; ++i) {
            char c = strUrl[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != pszScheme[i])
                return false;
        }
        return true;
    };
    return starts("http://") || starts("https://");
}

}  // namespace

CAbortList::CAbortList(DWORD dwTimeoutMs) : m_dwTimeoutMs(dwTimeoutMs) {
    m_watchdog = std::thread([this] { Watch(); });
}

CAbortList::~CAbortList() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
    }
    m_cvQuit.notify_all();
    if (m_watchdog.joinable())
        m_watchdog.join();
}

void CAbortList::Watch() {
    try {
        std::unique_lock<std::mutex> lock(m_mutex);
        const DWORD dwTick = m_dwTimeoutMs / 4 < 250 ? m_dwTimeoutMs / 4 : 250;
        while (!m_cvQuit.wait_for(lock, std::chrono::milliseconds(dwTick),
                                  [this] { return m_bQuit; })) {
            const DWORD dwNow = ::GetTickCount();
            for (CWinInetTransport* pTransport : m_running)
                pTransport->Expire(dwNow, m_dwTimeoutMs);
        }
    } catch (...) {
        // A thread entry lets nothing escape.
    }
}

void CAbortList::Add(CWinInetTransport* pTransport) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running.insert(pTransport);
    if (m_bAborted)
        pTransport->Abort();
}

void CAbortList::Remove(CWinInetTransport* pTransport) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running.erase(pTransport);
}

void CAbortList::AbortAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = true;
    for (CWinInetTransport* pTransport : m_running)
        pTransport->Abort();
}

CWinInetTransport::CWinInetTransport(HINTERNET hSession, CAbortList& aborts)
    : m_hSession(hSession), m_aborts(aborts) {
    Touch();
    m_aborts.Add(this);
}

CWinInetTransport::~CWinInetTransport() {
    m_aborts.Remove(this);
    CloseRequest();
}

// Lock order: the abort list, then the transport; never the other way.
void CWinInetTransport::Abort() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = true;
    CloseHandles();
}

void CWinInetTransport::Expire(DWORD dwNow, DWORD dwTimeoutMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_hRequest != nullptr && dwNow - m_dwLastProgress > dwTimeoutMs) {
        m_bExpired = true;
        CloseHandles();
    }
}

bool CWinInetTransport::Adopt(HINTERNET hConnect, HINTERNET hRequest) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Touch();
    m_bExpired = false;
    if (m_bAborted) {
        ::InternetCloseHandle(hRequest);
        ::InternetCloseHandle(hConnect);
        return false;
    }
    m_hConnect = hConnect;
    m_hRequest = hRequest;
    return true;
}

bool CWinInetTransport::Expired() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bExpired;
}

void CWinInetTransport::CloseHandles() {
    if (m_hRequest != nullptr)
        ::InternetCloseHandle(m_hRequest);
    if (m_hConnect != nullptr)
        ::InternetCloseHandle(m_hConnect);
    m_hRequest = nullptr;
    m_hConnect = nullptr;
}

void CWinInetTransport::CloseRequest() {
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseHandles();
}

bool CWinInetTransport::PrepareFolders(const std::string& strTarget, std::string* pstrWhy) {
    // Most files of a batch share folders that exist already: one look
    // instead of a failed creation of every folder on the way.
    const std::string strParent = ParentFolder(strTarget);
    if (!strParent.empty()) {
        DWORD dwAttributes = ::GetFileAttributesA(strParent.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return true;
    }
    for (const std::string& strFolder : FoldersToCreate(strTarget)) {
        if (::CreateDirectoryA(strFolder.c_str(), /*lpSecurityAttributes=*/nullptr))
            continue;
        DWORD dwError = ::GetLastError();
        DWORD dwAttributes = ::GetFileAttributesA(strFolder.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        *pstrWhy = ErrorText(("CreateDirectory " + strFolder).c_str(), dwError);
        return false;
    }
    return true;
}

Failure CWinInetTransport::Fetch(const std::string& strUrl, const std::string& strTemp,
                                 const std::string& strMD5,
                                 const std::function<bool()>& isCancelled, std::string* pstrWhy) {
    if (!IsHttpAddress(strUrl)) {
        *pstrWhy = "not an http or https address";
        return Failure::kRefused;
    }
    // Connection and request handles of our own rather than InternetOpenUrl:
    // the timeouts must be on them before the request is sent, or Wine
    // waits for a stalled body for ever.
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

    HINTERNET hConnect = ::InternetConnectA(m_hSession, szHost, uc.nPort, /*lpszUserName=*/nullptr,
                                            /*lpszPassword=*/nullptr, INTERNET_SERVICE_HTTP,
                                            /*dwFlags=*/0, /*dwContext=*/0);
    if (hConnect == nullptr) {
        *pstrWhy = ErrorText("InternetConnect", ::GetLastError());
        return Failure::kNetwork;
    }
    SetTimeouts(hConnect, m_aborts.TimeoutMs());
    const DWORD dwFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                          INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_KEEP_CONNECTION |
                          INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                          (bSecure ? INTERNET_FLAG_SECURE : 0);
    static const char* const kAcceptTypes[] = {"*/*", nullptr};
    HINTERNET hRequest = ::HttpOpenRequestA(hConnect, "GET", strObject.c_str(),
                                            /*lpszVersion=*/nullptr, /*lpszReferrer=*/nullptr,
                                            const_cast<LPCSTR*>(kAcceptTypes), dwFlags,
                                            /*dwContext=*/0);
    if (hRequest == nullptr) {
        *pstrWhy = ErrorText("HttpOpenRequest", ::GetLastError());
        ::InternetCloseHandle(hConnect);
        return Failure::kNetwork;
    }
    SetTimeouts(hRequest, m_aborts.TimeoutMs());
    if (!Adopt(hConnect, hRequest))
        return Failure::kCancelled;

    struct Closer {
        CWinInetTransport* p;
        ~Closer() { p->CloseRequest(); }
    } closer{this};

    if (!::HttpSendRequestA(hRequest, /*lpszHeaders=*/nullptr, /*dwHeadersLength=*/0,
                            /*lpOptional=*/nullptr, /*dwOptionalLength=*/0)) {
        DWORD dwError = ::GetLastError();
        if (isCancelled())
            return Failure::kCancelled;
        *pstrWhy = ErrorText("HttpSendRequest", dwError);
        return Failure::kNetwork;
    }
    Touch();

    DWORD dwStatus = 0;
    DWORD cbStatus = sizeof(dwStatus);
    if (!::HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus,
                          &cbStatus, /*lpdwIndex=*/nullptr)) {
        DWORD dwError = ::GetLastError();
        if (isCancelled())
            return Failure::kCancelled;
        *pstrWhy = ErrorText("HttpQueryInfo(status)", dwError);
        return Failure::kNetwork;
    }
    if (dwStatus >= 400 && dwStatus < 500) {
        *pstrWhy = "HTTP status " + std::to_string(dwStatus);
        return Failure::kRefused;
    }
    if (dwStatus < 200 || dwStatus > 299) {
        *pstrWhy = "HTTP status " + std::to_string(dwStatus);
        return Failure::kServer;
    }

    std::uint64_t nLength = 0;
    bool bHasLength = false;
    char szLength[32] = {};
    DWORD cbLength = sizeof(szLength);
    if (::HttpQueryInfoA(hRequest, HTTP_QUERY_CONTENT_LENGTH, szLength, &cbLength,
                         /*lpdwIndex=*/nullptr)) {
        bHasLength = ParseContentLength(szLength, &nLength);
    }

    CFile file(::CreateFileA(strTemp.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                             /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                             /*hTemplateFile=*/nullptr));
    if (!file.Valid()) {
        *pstrWhy = ErrorText(("CreateFile " + strTemp).c_str(), ::GetLastError());
        return Failure::kLocal;
    }

    std::unique_ptr<MD5> digest;
    if (!strMD5.empty())
        digest.reset(new MD5());
    std::vector<char> buffer(kChunk);
    std::uint64_t nReceived = 0;
    for (;;) {
        if (isCancelled())
            return Failure::kCancelled;
        DWORD cbRead = 0;
        BOOL bRead = ::InternetReadFile(hRequest, buffer.data(), kChunk, &cbRead);
        DWORD dwError = bRead ? ERROR_SUCCESS : ::GetLastError();
        if (isCancelled())
            return Failure::kCancelled;
        if (Expired()) {
            *pstrWhy = "no data for " + std::to_string(m_aborts.TimeoutMs()) + " ms after " +
                       std::to_string(nReceived) + " bytes";
            return Failure::kNetwork;
        }
        if (!bRead) {
            *pstrWhy = ErrorText("InternetReadFile", dwError) + " after " +
                       std::to_string(nReceived) + " bytes";
            return Failure::kNetwork;
        }
        Touch();
        if (cbRead == 0)
            break;
        nReceived += cbRead;
        if (bHasLength && nReceived > nLength) {
            *pstrWhy = "more than the announced " + std::to_string(nLength) + " bytes";
            return Failure::kContent;
        }
        DWORD cbWritten = 0;
        if (!::WriteFile(file.Get(), buffer.data(), cbRead, &cbWritten, /*lpOverlapped=*/nullptr) ||
            cbWritten != cbRead) {
            *pstrWhy = ErrorText(("WriteFile " + strTemp).c_str(), ::GetLastError());
            return Failure::kLocal;
        }
        if (digest)
            digest->update(buffer.data(), cbRead);
    }
    if (bHasLength && nReceived != nLength) {
        // The connection ended early: a transfer cut mid-body.
        *pstrWhy =
            "cut after " + std::to_string(nReceived) + " of " + std::to_string(nLength) + " bytes";
        return Failure::kNetwork;
    }
    // The file must be on disk before it replaces the installed one.
    if (!::FlushFileBuffers(file.Get()) || !file.Close()) {
        *pstrWhy = ErrorText(("flushing " + strTemp).c_str(), ::GetLastError());
        return Failure::kLocal;
    }
    if (digest) {
        std::string strActual = digest->toString();
        if (!DigestMatches(strMD5, strActual)) {
            *pstrWhy = "digest " + (strActual.empty() ? std::string("unavailable") : strActual) +
                       ", expected " + strMD5;
            return Failure::kContent;
        }
    }
    return Failure::kNone;
}

bool CWinInetTransport::Replace(const std::string& strTemp, const std::string& strTarget,
                                std::string* pstrWhy) {
    if (::MoveFileExA(strTemp.c_str(), strTarget.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    *pstrWhy = ErrorText(("MoveFileEx to " + strTarget).c_str(), ::GetLastError());
    return false;
}

void CWinInetTransport::Remove(const std::string& strTemp) {
    ::DeleteFileA(strTemp.c_str());
}

HINTERNET OpenSession(DWORD dwTimeoutMs) {
    HINTERNET hSession = ::InternetOpenA("PellowD/1.0", INTERNET_OPEN_TYPE_PRECONFIG,
                                         /*lpszProxy=*/nullptr, /*lpszProxyBypass=*/nullptr,
                                         /*dwFlags=*/0);
    if (hSession == nullptr)
        return nullptr;
    SetTimeouts(hSession, dwTimeoutMs);
    DWORD dwRetries = 1;
    ::InternetSetOptionA(hSession, INTERNET_OPTION_CONNECT_RETRIES, &dwRetries, sizeof(dwRetries));
    return hSession;
}

}  // namespace pellowd
