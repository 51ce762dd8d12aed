#include "wininettransport.h"

#include <cstring>
#include <memory>
#include <vector>

#include "chunks/fastcdc.h"
#include "kelmar/md5.h"
#include "savepath.h"
#include "writepipe.h"

namespace pellowd {

namespace {

const DWORD kChunk = 64 * 1024;

std::string ErrorText(const char* pszWhat, DWORD dwError) {
    return std::string(pszWhat) + " failed, error " + std::to_string(dwError);
}

// A find handle; invalid at INVALID_HANDLE_VALUE.
class CFind {
public:
    explicit CFind(HANDLE h) : m_h(h) {}
    ~CFind() {
        if (m_h != INVALID_HANDLE_VALUE)
            ::FindClose(m_h);
    }
    CFind(const CFind&) = delete;
    CFind& operator=(const CFind&) = delete;
    HANDLE Get() const { return m_h; }
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h;
};

// A process handle; invalid at null.
class CProcess {
public:
    explicit CProcess(HANDLE h) : m_h(h) {}
    ~CProcess() {
        if (m_h != nullptr)
            ::CloseHandle(m_h);
    }
    CProcess(const CProcess&) = delete;
    CProcess& operator=(const CProcess&) = delete;
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};

// False only when the process has surely ended: a process we may not open
// still runs, and a temporary file is never taken from a live writer.
bool ProcessMayRun(DWORD dwProcessId) {
    if (dwProcessId == ::GetCurrentProcessId())
        return true;
    CProcess process(::OpenProcess(SYNCHRONIZE, /*bInheritHandle=*/FALSE, dwProcessId));
    if (process.Get() == nullptr)
        return ::GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    return ::WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

bool IsRedirect(DWORD dwStatus) {
    return dwStatus == 301 || dwStatus == 302 || dwStatus == 303 || dwStatus == 307 ||
           dwStatus == 308;
}

// A response header as text; false when it is missing.
bool QueryHeader(HINTERNET hRequest, DWORD dwInfo, std::string* pstrValue) {
    char szValue[2048] = {};
    DWORD cbValue = sizeof(szValue);
    if (!::HttpQueryInfoA(hRequest, dwInfo, szValue, &cbValue, /*lpdwIndex=*/nullptr))
        return false;
    *pstrValue = szValue;
    return true;
}

void SetTimeouts(HINTERNET hInternet, DWORD dwTimeoutMs) {
    for (DWORD dwOption : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                           INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        ::InternetSetOptionA(hInternet, dwOption, &dwTimeoutMs, sizeof(dwTimeoutMs));
    }
}

// A status other than the one asked for: a 4xx says the file is not there,
// anything else is a fault of the server.
Failure StatusFailure(DWORD dwStatus, std::string* pstrWhy) {
    *pstrWhy = "HTTP status " + std::to_string(dwStatus);
    return dwStatus >= 400 && dwStatus < 500 ? Failure::kRefused : Failure::kServer;
}

bool IsHttpAddress(const std::string& strUrl) {
    const std::string strScheme = UrlScheme(strUrl);
    return strScheme == "http" || strScheme == "https";
}

}  // namespace

CAbortList::CAbortList(DWORD dwTimeoutMs, const RateLimits& limits)
    : m_dwTimeoutMs(dwTimeoutMs), m_limits(limits) {
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
        const DWORD dwTick = m_limits.nWindowMs / 4 < 250 ? m_limits.nWindowMs / 4 + 1 : 250;
        while (!m_cvQuit.wait_for(lock, std::chrono::milliseconds(dwTick),
                                  [this] { return m_bQuit; })) {
            for (CWinInetTransport* pTransport : m_running)
                pTransport->Expire();
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

bool CFolderMemo::Known(const std::string& strFolder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_known.count(strFolder) != 0;
}

void CFolderMemo::Learn(const std::string& strFolder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_known.insert(strFolder);
}

bool CFolderMemo::FirstSweep(const std::string& strFolder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_swept.insert(strFolder).second;
}

void CFolderMemo::Want(const std::string& strMD5) {
    std::string strPrefix;
    if (!ParsePartialName(PartialPathFor("x", strMD5), &strPrefix))
        return;  // not a digest: no partial is ever named after it
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wanted.insert(strPrefix);
}

bool CFolderMemo::Wanted(const std::string& strDigestPrefix) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wanted.count(strDigestPrefix) != 0;
}

bool CFolderMemo::Claim(const std::string& strPartial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_claimed.insert(strPartial).second;
}

void CFolderMemo::Release(const std::string& strPartial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_claimed.erase(strPartial);
}

void CFolderMemo::SetValidator(const std::string& strPartial, const std::string& strValidator) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (strValidator.empty())
        m_validators.erase(strPartial);
    else
        m_validators[strPartial] = strValidator;
}

std::string CFolderMemo::Validator(const std::string& strPartial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_validators.find(strPartial);
    return it == m_validators.end() ? std::string() : it->second;
}

namespace {

// A move over a target another process holds for a moment is tried this
// often, waiting 50, 100, 150 and 200 ms between the tries.
const int kMoveTries = 5;
const DWORD kMoveRetryMs = 50;

// Flushes a file's bytes to disk; a build for the benchmark alone skips it.
BOOL FlushFile(HANDLE hFile) {
#ifdef PELLOWD_BENCH_NO_FLUSH
    (void)hFile;
    return TRUE;
#else
    return ::FlushFileBuffers(hFile);
#endif
}

// A fetched temporary file, still open from its writing: flushed through
// that handle, then closed and moved over its target.
class CStagedFile : public IStagedFile {
public:
    // onGone runs once the file is moved or deleted (may be empty).
    CStagedFile(HANDLE hFile, std::string strTemp, std::string strTarget,
                std::function<void()> onGone)
        : m_hFile(hFile),
          m_strTemp(std::move(strTemp)),
          m_strTarget(std::move(strTarget)),
          m_onGone(std::move(onGone)) {}
    ~CStagedFile() override {
        if (m_hFile != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_hFile);
        if (!m_bReplaced)
            ::DeleteFileA(m_strTemp.c_str());
        if (m_onGone)
            m_onGone();
    }
    CStagedFile(const CStagedFile&) = delete;
    CStagedFile& operator=(const CStagedFile&) = delete;

    bool Flush(std::string* pstrWhy) override {
        // The handle goes with the flush: the move opens the file itself,
        // which our unshared handle would forbid.
        const BOOL bFlushed = FlushFile(m_hFile);
        const DWORD dwError = ::GetLastError();
        const BOOL bClosed = ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
        if (!bFlushed || !bClosed) {
            *pstrWhy =
                ErrorText(("flushing " + m_strTemp).c_str(), bFlushed ? ::GetLastError() : dwError);
            return false;
        }
        return true;
    }

    bool Replace(std::string* pstrWhy) override {
        if (m_hFile != INVALID_HANDLE_VALUE) {
            *pstrWhy = "replace before flush";
            return false;
        }
        // Another process that replaces or reads the same target at this
        // moment (a second engine, a virus scanner) makes the move fail for
        // a moment: it is tried again a few times before it counts.
        for (int nTry = 1;; ++nTry) {
            if (::MoveFileExA(m_strTemp.c_str(), m_strTarget.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                break;
            const DWORD dwError = ::GetLastError();
            const bool bMomentary = dwError == ERROR_ACCESS_DENIED ||
                                    dwError == ERROR_SHARING_VIOLATION ||
                                    dwError == ERROR_LOCK_VIOLATION;
            if (!bMomentary || nTry >= kMoveTries) {
                *pstrWhy = ErrorText(("MoveFileEx to " + m_strTarget).c_str(), dwError);
                return false;
            }
            ::Sleep(kMoveRetryMs * nTry);
        }
        m_bReplaced = true;
        return true;
    }

private:
    HANDLE m_hFile;
    const std::string m_strTemp;
    const std::string m_strTarget;
    const std::function<void()> m_onGone;
    bool m_bReplaced = false;
};

// The writer thread's side of a large body: the temporary file.
class CFileTarget : public CWritePipe::ITarget {
public:
    CFileTarget(HANDLE hFile, const std::string& strTemp) : m_hFile(hFile), m_strTemp(strTemp) {}
    bool Write(const char* pData, std::size_t cb, std::string* pstrWhy) override {
        DWORD cbWritten = 0;
        if (!::WriteFile(m_hFile, pData, static_cast<DWORD>(cb), &cbWritten,
                         /*lpOverlapped=*/nullptr) ||
            cbWritten != cb) {
            *pstrWhy = ErrorText(("WriteFile " + m_strTemp).c_str(), ::GetLastError());
            return false;
        }
        return true;
    }
    bool Flush(std::string* pstrWhy) override {
        if (!FlushFile(m_hFile)) {
            *pstrWhy = ErrorText(("flushing " + m_strTemp).c_str(), ::GetLastError());
            return false;
        }
        return true;
    }

private:
    const HANDLE m_hFile;
    const std::string& m_strTemp;
};

// A body at least this long is written and hashed beside its receiving.
const std::uint64_t kPipeFrom = 4ull * 1024 * 1024;
const std::size_t kPipeBuffer = 256 * 1024;
const unsigned kPipeBuffers = 8;
// So that the flush at the commit covers only the tail of a large file.
const std::uint64_t kFlushEvery = 64ull * 1024 * 1024;
// The most asked of WinINet in one read, and the time added to a
// transfer's age when its pace is judged, so that its first quick reads do
// not pass for a fast link.
const std::uint64_t kReadAhead = 256 * 1024;
const std::uint64_t kPaceBaseMs = 100;
// A free-space reading is trusted this long for the files that fit in it.
const DWORD kFreeSpaceMs = 1000;

}  // namespace

CWinInetTransport::CWinInetTransport(HINTERNET hSession, CAbortList& aborts, CFolderMemo& folders,
                                     std::function<void(const std::string&)> log)
    : m_hSession(hSession),
      m_aborts(aborts),
      m_folders(folders),
      m_log(std::move(log)),
      m_guard(aborts.Limits()),
      m_buffer(kChunk) {
    m_guard.Start(::GetTickCount());
    m_aborts.Add(this);
}

CWinInetTransport::~CWinInetTransport() {
    m_aborts.Remove(this);
    CloseFile();
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseHandles();
}

// Lock order: the abort list, then the transport; never the other way.
void CWinInetTransport::Abort() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = true;
    if (m_bInCall)
        CloseHandles();
}

void CWinInetTransport::Expire() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_hRequest == nullptr)
        return;
    // The time is taken under the lock: a read counted meanwhile must not
    // lie in the future of the check.
    CProgressGuard::Verdict eVerdict = m_guard.Check(::GetTickCount());
    if (eVerdict != CProgressGuard::Verdict::kOk) {
        m_eExpired = eVerdict;
        // The connection goes too: a server that stalls is not asked again
        // over the same socket.
        if (m_bInCall)
            CloseHandles();
    }
}

template <class Call>
bool CWinInetTransport::OnHandles(Call call) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bAborted || m_eExpired != CProgressGuard::Verdict::kOk) {
            CloseHandles();
            ::SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
            return false;
        }
        m_bInCall = true;
    }
    const bool bOk = call();
    const DWORD dwError = ::GetLastError();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bInCall = false;
    if (m_bAborted || m_eExpired != CProgressGuard::Verdict::kOk) {
        CloseHandles();
        ::SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        return false;
    }
    ::SetLastError(dwError);
    return bOk;
}

Failure CWinInetTransport::Ended(const std::function<bool()>& isCancelled, std::string* pstrWhy) {
    if (isCancelled())
        return Failure::kCancelled;
    if (Expired(pstrWhy) != CProgressGuard::Verdict::kOk)
        return Failure::kNetwork;
    return Failure::kNone;
}

CProgressGuard::Verdict CWinInetTransport::Progress(DWORD cb) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const DWORD dwNow = ::GetTickCount();
    m_guard.Add(dwNow, cb);
    return m_guard.Check(dwNow);
}

CProgressGuard::Verdict CWinInetTransport::Expired(std::string* pstrWhy) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_eExpired != CProgressGuard::Verdict::kOk)
        *pstrWhy = m_guard.Describe(m_eExpired);
    return m_eExpired;
}

bool CWinInetTransport::Adopt(HINTERNET hRequest) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bAborted || m_eExpired != CProgressGuard::Verdict::kOk) {
        ::InternetCloseHandle(hRequest);
        return false;
    }
    m_hRequest = hRequest;
    return true;
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
    if (m_hRequest != nullptr)
        ::InternetCloseHandle(m_hRequest);
    m_hRequest = nullptr;
}

void CWinInetTransport::CloseFile() {
    if (m_hFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}

bool CWinInetTransport::PrepareFolders(const std::string& strTarget, std::string* pstrWhy) {
    // Most files of a batch share folders that exist already: one look
    // instead of a failed creation of every folder on the way, and none for
    // a folder this engine has seen.
    const std::string strParent = ParentFolder(strTarget);
    if (strParent.empty() || m_folders.Known(strParent))
        return true;
    DWORD dwAttributes = ::GetFileAttributesA(strParent.c_str());
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        m_folders.Learn(strParent);
        return true;
    }
    for (const std::string& strFolder : FoldersToCreate(strTarget)) {
        if (::CreateDirectoryA(strFolder.c_str(), /*lpSecurityAttributes=*/nullptr))
            continue;
        DWORD dwError = ::GetLastError();
        dwAttributes = ::GetFileAttributesA(strFolder.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        *pstrWhy = ErrorText(("CreateDirectory " + strFolder).c_str(), dwError);
        return false;
    }
    m_folders.Learn(strParent);
    return true;
}

void CWinInetTransport::SweepStaleTemps(const std::string& strFolder) {
    if (!m_folders.FirstSweep(strFolder))
        return;
    WIN32_FIND_DATAA fd;
    CFind find(::FindFirstFileA((strFolder + "\\~PellowD-*").c_str(), &fd));
    if (!find.Valid())
        return;
    do {
        std::uint32_t nProcessId = 0;
        std::string strDigest;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        // A partial that no queued request wants belongs to a release gone by.
        if (ParsePartialName(fd.cFileName, &strDigest)) {
            if (m_folders.Wanted(strDigest))
                continue;
        } else if (!ParseTempName(fd.cFileName, &nProcessId) || ProcessMayRun(nProcessId)) {
            continue;
        }
        const std::string strPath = strFolder + "\\" + fd.cFileName;
        if (::DeleteFileA(strPath.c_str()) && m_log)
            m_log("removed the stale temporary file " + strPath);
    } while (::FindNextFileA(find.Get(), &fd));
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
        if (m_hConnect != nullptr && (m_strHost != szHost || m_nPort != uc.nPort)) {
            ::InternetCloseHandle(m_hConnect);
            m_hConnect = nullptr;
        }
        hConnect = m_hConnect;
    }
    if (hConnect == nullptr) {
        hConnect = ::InternetConnectA(m_hSession, szHost, uc.nPort, /*lpszUserName=*/nullptr,
                                      /*lpszPassword=*/nullptr, INTERNET_SERVICE_HTTP,
                                      /*dwFlags=*/0, /*dwContext=*/0);
        if (hConnect == nullptr) {
            *pstrWhy = ErrorText("InternetConnect", ::GetLastError());
            return Failure::kNetwork;
        }
        // Requests take their timeouts from here: they must be set before a
        // request is sent, or Wine waits for a stalled body for ever.
        SetTimeouts(hConnect, m_aborts.TimeoutMs());
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bAborted) {
            ::InternetCloseHandle(hConnect);
            return Failure::kCancelled;
        }
        m_hConnect = hConnect;
        m_strHost = szHost;
        m_nPort = uc.nPort;
    }
    // Redirects are ours to follow: WinINet would follow them anywhere.
    const DWORD dwFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                          INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_KEEP_CONNECTION |
                          INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                          INTERNET_FLAG_NO_AUTO_REDIRECT | (bSecure ? INTERNET_FLAG_SECURE : 0);
    static const char* const kAcceptTypes[] = {"*/*", nullptr};
    HINTERNET hRequest = nullptr;
    if (!OnHandles([&] {
            hRequest = ::HttpOpenRequestA(hConnect, "GET", strObject.c_str(),
                                          /*lpszVersion=*/nullptr, /*lpszReferrer=*/nullptr,
                                          const_cast<LPCSTR*>(kAcceptTypes), dwFlags,
                                          /*dwContext=*/0);
            return hRequest != nullptr;
        })) {
        DWORD dwError = ::GetLastError();
        if (hRequest != nullptr)
            ::InternetCloseHandle(hRequest);
        if (isCancelled())
            return Failure::kCancelled;
        *pstrWhy = ErrorText("HttpOpenRequest", dwError);
        return Failure::kNetwork;
    }
    if (!Adopt(hRequest)) {
        if (isCancelled())
            return Failure::kCancelled;
        Expired(pstrWhy);
        return Failure::kNetwork;
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
        CloseHandles();
        return Failure::kNetwork;
    }
    *phRequest = hRequest;
    return Failure::kNone;
}

bool CWinInetTransport::RoomFor(const std::string& strFolder, std::uint64_t nLength,
                                std::string* pstrWhy) {
    // Reading the free space costs three trips to the Wine server; a reading
    // of a moment ago still answers for files that fit in what it left.
    const DWORD dwNow = ::GetTickCount();
    if (strFolder == m_strFreeFolder && dwNow - m_dwFreeTick < kFreeSpaceMs && nLength <= m_nFree) {
        m_nFree -= nLength;
        return true;
    }
    ULARGE_INTEGER freeBytes = {};
    if (!::GetDiskFreeSpaceExA(strFolder.empty() ? nullptr : (strFolder + "\\").c_str(), &freeBytes,
                               /*lpTotalNumberOfBytes=*/nullptr,
                               /*lpTotalNumberOfFreeBytes=*/nullptr)) {
        m_strFreeFolder.clear();
        return true;  // unknown: the writes will tell
    }
    m_strFreeFolder = strFolder;
    m_dwFreeTick = dwNow;
    m_nFree = freeBytes.QuadPart;
    if (m_nFree < nLength) {
        *pstrWhy = std::to_string(nLength) + " bytes announced, " + std::to_string(m_nFree) +
                   " free on the disk";
        return false;
    }
    m_nFree -= nLength;
    return true;
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
            if (isCancelled())
                return Failure::kCancelled;
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

Failure CWinInetTransport::Fetch(const std::string& strUrl, const std::string& strTemp,
                                 const std::string& strTarget, const std::string& strMD5,
                                 std::uint64_t nMaxBytes, bool bReuse,
                                 const std::function<bool()>& isCancelled, std::string* pstrWhy) {
    CloseFile();
    ReleasePartial();
    m_strWritten = strTemp;
    if (!bReuse)
        return FetchWhole(strUrl, strTemp, strMD5, nMaxBytes, std::string(), isCancelled, pstrWhy);
    // Two requests of one batch may want the same bytes in the same folder:
    // the first has the partial file, the other fetches as if it had none.
    const std::string strPartial = PartialPathFor(strTarget, strMD5);
    if (!m_folders.Claim(strPartial))
        return FetchWhole(strUrl, strTemp, strMD5, nMaxBytes, std::string(), isCancelled, pstrWhy);
    m_strClaimed = strPartial;
    if (ReuseWorthTrying(strTarget, strPartial)) {
        ReuseStats stats;
        std::string strWhyNot;
        const Failure eFailure = FetchByChunks(strUrl, strTemp, strTarget, strPartial, strMD5,
                                               nMaxBytes, isCancelled, &stats, &strWhyNot);
        if (eFailure == Failure::kNone) {
            if (m_log)
                m_log("chunk reuse for " + strTarget + ": " + std::to_string(stats.nReused) +
                      " of " + std::to_string(stats.nFileBytes) + " bytes from the disk, " +
                      std::to_string(stats.nFetched) + " fetched, " +
                      std::to_string(stats.nIndexBytes) + " of index, in " +
                      std::to_string(stats.nRequests) + " requests");
            return eFailure;
        }
        if (eFailure == Failure::kCancelled || eFailure == Failure::kLocal) {
            *pstrWhy = strWhyNot;
            return eFailure;
        }
        if (m_log)
            m_log("chunk reuse for " + strTarget + " not possible (" + strWhyNot +
                  "): fetching the whole file");
    }
    return FetchWhole(strUrl, strTemp, strMD5, nMaxBytes, strPartial, isCancelled, pstrWhy);
}

Failure CWinInetTransport::FetchWhole(const std::string& strUrl, const std::string& strTemp,
                                      const std::string& strMD5, std::uint64_t nMaxBytes,
                                      const std::string& strPartial,
                                      const std::function<bool()>& isCancelled,
                                      std::string* pstrWhy) {
    struct Closer {
        CWinInetTransport* p;
        ~Closer() { p->CloseRequest(); }
    } closer{this};
    CloseFile();
    m_strWritten = strTemp;
    std::uint64_t nHave = strPartial.empty() ? 0 : FileSizeOf(strPartial);
    // A second round only when the bytes kept from before proved unusable:
    // then the whole file is fetched afresh, once.
    for (int nRound = 0;; ++nRound) {
        std::string strHeaders;
        if (nHave > 0) {
            strHeaders = "Range: bytes=" + std::to_string(nHave) + "-\r\n";
            const std::string strValidator = m_folders.Validator(strPartial);
            if (!strValidator.empty())
                strHeaders += "If-Range: " + strValidator + "\r\n";
        }
        HINTERNET hRequest = nullptr;
        DWORD dwStatus = 0;
        const Failure eRequest =
            Request(strUrl, strHeaders, &hRequest, &dwStatus, isCancelled, pstrWhy);
        if (eRequest != Failure::kNone)
            return eRequest;
        bool bResumed = false;
        std::uint64_t nRangeTotal = 0;
        if (nHave > 0 && dwStatus == 416) {
            // The last run may have been cut between the file's last byte and
            // its move: then the partial file is the whole file.
            CloseRequest();
            if (nRound == 0 && AdoptWholePartial(strPartial, strMD5))
                return Failure::kNone;
            DropPartial(strPartial);
            nHave = 0;
            if (nRound == 0)
                continue;
            *pstrWhy = "HTTP status 416";
            return Failure::kServer;
        }
        if (nHave > 0 && dwStatus == 206) {
            std::string strRange;
            std::uint64_t nFirst = 0, nLast = 0, nTotal = 0;
            if (!OnHandles(
                    [&] { return QueryHeader(hRequest, HTTP_QUERY_CONTENT_RANGE, &strRange); }) ||
                !ParseContentRange(strRange, &nFirst, &nLast, &nTotal) || nFirst != nHave ||
                nLast + 1 != nTotal) {
                if (const Failure eEnded = Ended(isCancelled, pstrWhy); eEnded != Failure::kNone)
                    return eEnded;
                // Not the rest of the file: what was kept cannot be trusted.
                CloseRequest();
                DropPartial(strPartial);
                nHave = 0;
                if (nRound == 0)
                    continue;
                *pstrWhy = "answered the rest of the file with the range " + strRange;
                return Failure::kServer;
            }
            bResumed = true;
            nRangeTotal = nTotal;
        } else if (dwStatus != 200) {
            // Only a whole file counts: a 206 not asked for is part of one,
            // a 204 is none at all.
            return StatusFailure(dwStatus, pstrWhy);
        }
        // A 200 to a resume is the whole file: it is never appended.
        bool bHasLength = false;
        std::uint64_t nLength = 0;
        if (const Failure eBody = BodyLength(hRequest, &bHasLength, &nLength, isCancelled, pstrWhy);
            eBody != Failure::kNone)
            return eBody;
        const std::uint64_t nFrom = bResumed ? nHave : 0;
        if (bResumed) {
            if (bHasLength && nLength != nRangeTotal - nFrom) {
                *pstrWhy = "the rest of the file announced as " + std::to_string(nLength) +
                           " bytes, its range says " + std::to_string(nRangeTotal - nFrom);
                return Failure::kServer;
            }
            bHasLength = true;
            nLength = nRangeTotal - nFrom;
        }
        if (bHasLength) {
            if (nFrom + nLength > nMaxBytes) {
                *pstrWhy = std::to_string(nFrom + nLength) +
                           " bytes announced, more than the limit of " + std::to_string(nMaxBytes);
                return Failure::kContent;
            }
            if (!RoomFor(ParentFolder(strTemp), nLength, pstrWhy))
                return Failure::kLocal;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_guard.SetLength(nLength);
        }
        // Keep what arrives of a large file for a later attempt.
        const bool bKeep =
            !strPartial.empty() && (bResumed || (bHasLength && nLength >= chunks::kIndexThreshold));
        std::unique_ptr<MD5> digest;
        if (!strMD5.empty())
            digest.reset(new MD5());
        if (bResumed) {
            if (!OpenPartialAt(strPartial, nFrom, digest.get(), pstrWhy)) {
                CloseRequest();
                DropPartial(strPartial);
                nHave = 0;
                if (nRound == 0)
                    continue;
                return Failure::kLocal;
            }
        } else {
            // CREATE_NEW: a temporary name that exists belongs to someone else.
            const std::string& strPath = bKeep ? strPartial : strTemp;
            // Readable too: a file held to a SHA-256 is read back before its move.
            m_hFile =
                ::CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                              /*lpSecurityAttributes=*/nullptr, bKeep ? CREATE_ALWAYS : CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                              /*hTemplateFile=*/nullptr);
            if (m_hFile == INVALID_HANDLE_VALUE) {
                *pstrWhy = ErrorText(("CreateFile " + strPath).c_str(), ::GetLastError());
                return Failure::kLocal;
            }
            if (bKeep)
                m_folders.SetValidator(strPartial, AnswerValidator(hRequest));
        }
        m_strWritten = bKeep ? strPartial : strTemp;

        CFileTarget target(m_hFile, m_strWritten);
        Failure eReceived;
        if (bHasLength && nLength >= kPipeFrom) {
            CWritePipe pipe(target, digest.get(), kPipeBuffer, kPipeBuffers, kFlushEvery);
            eReceived = Receive(hRequest, bHasLength, nLength, nMaxBytes, nullptr, nullptr, &pipe,
                                isCancelled, pstrWhy);
            // A writer that failed stopped the receiving too, with kLocal and
            // no reason of its own.
            std::string strWhy;
            if (!pipe.Close(&strWhy) &&
                (eReceived == Failure::kNone || eReceived == Failure::kLocal)) {
                *pstrWhy = strWhy;
                eReceived = Failure::kLocal;
            }
        } else {
            eReceived = Receive(hRequest, bHasLength, nLength, nMaxBytes, &target, digest.get(),
                                nullptr, isCancelled, pstrWhy);
        }
        if (eReceived != Failure::kNone) {
            // A cut or a stop keeps what arrived; wrong bytes or a full disk do not.
            if (bKeep && eReceived != Failure::kNetwork && eReceived != Failure::kCancelled)
                DropPartial(strPartial);
            return eReceived;
        }
        // Checked before the file is flushed: a wrong file costs no disk write.
        if (digest) {
            std::string strActual = digest->toString();
            if (!DigestMatches(strMD5, strActual)) {
                if (bKeep)
                    DropPartial(strPartial);
                if (bResumed && nRound == 0) {
                    CloseRequest();
                    nHave = 0;
                    continue;
                }
                *pstrWhy = "digest " +
                           (strActual.empty() ? std::string("unavailable") : strActual) +
                           ", expected " + strMD5;
                return Failure::kContent;
            }
        }
        return Failure::kNone;
    }
}

Failure CWinInetTransport::GetRange(const std::string& strUrl, std::uint64_t nFirst,
                                    std::uint64_t nLength, bool bMayEndEarly,
                                    std::string* pstrValidator, std::uint64_t* pnTotal,
                                    CWritePipe::ITarget& sink,
                                    const std::function<bool()>& isCancelled,
                                    std::string* pstrWhy) {
    struct Closer {
        CWinInetTransport* p;
        ~Closer() { p->CloseRequest(); }
    } closer{this};
    const std::uint64_t nLast = nFirst + nLength - 1;
    std::string strHeaders =
        "Range: bytes=" + std::to_string(nFirst) + "-" + std::to_string(nLast) + "\r\n";
    if (pstrValidator != nullptr && !pstrValidator->empty())
        strHeaders += "If-Range: " + *pstrValidator + "\r\n";
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
    return Receive(hRequest, /*bHasLength=*/true, nBody, nBody, &sink, nullptr, nullptr,
                   isCancelled, pstrWhy);
}

Failure CWinInetTransport::Receive(HINTERNET hRequest, bool bHasLength, std::uint64_t nLength,
                                   std::uint64_t nMaxBytes, CWritePipe::ITarget* pTarget,
                                   MD5* pDigest, CWritePipe* pPipe,
                                   const std::function<bool()>& isCancelled, std::string* pstrWhy) {
    // Through a pipe the bytes land in its buffers, each filled before it is
    // handed over; otherwise in our own buffer, written at once.
    char* pBuffer = nullptr;
    std::size_t cbBuffer = 0, cbFilled = 0;
    auto nextBuffer = [&]() -> bool {
        if (pPipe == nullptr) {
            pBuffer = m_buffer.data();
            cbBuffer = m_buffer.size();
            return true;
        }
        pBuffer = pPipe->Next();
        cbBuffer = pPipe->BufferSize();
        return pBuffer != nullptr;
    };
    auto handOver = [&]() -> bool {
        if (cbFilled == 0)
            return true;
        const std::size_t cb = cbFilled;
        cbFilled = 0;
        if (pPipe != nullptr) {
            pPipe->Put(cb);
            return nextBuffer();
        }
        if (!pTarget->Write(pBuffer, cb, pstrWhy))
            return false;
        if (pDigest != nullptr)
            pDigest->update(pBuffer, static_cast<unsigned int>(cb));
        return true;
    };
    // A pipe that fails has its reason for Close; the caller takes it.
    if (!nextBuffer())
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

std::unique_ptr<IStagedFile> CWinInetTransport::Stage(const std::string& /*strTemp*/,
                                                      const std::string& strTarget) {
    // A partial file keeps its claim until it is moved or deleted: no
    // other worker may start writing it meanwhile.
    std::function<void()> onGone;
    if (!m_strClaimed.empty() && m_strWritten == m_strClaimed) {
        CFolderMemo& folders = m_folders;
        const std::string strPartial = m_strClaimed;
        onGone = [&folders, strPartial] {
            folders.SetValidator(strPartial, std::string());
            folders.Release(strPartial);
        };
        m_strClaimed.clear();
    }
    std::unique_ptr<IStagedFile> staged(
        new CStagedFile(m_hFile, m_strWritten, strTarget, std::move(onGone)));
    m_hFile = INVALID_HANDLE_VALUE;
    ReleasePartial();
    return staged;
}

void CWinInetTransport::Remove(const std::string& strTemp) {
    CloseFile();
    ::DeleteFileA(strTemp.c_str());
    ReleasePartial();
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
