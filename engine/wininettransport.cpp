#include "wininettransport.h"

#include "bodysink.h"
#include "savepath.h"
#include "stagedfile.h"
#include "errortext.h"

namespace pellowd {

namespace {

const DWORD kChunk = 64 * 1024;
// A free-space reading is trusted this long for the files that fit in it.
const DWORD kFreeSpaceMs = 1000;

// False only when the process has surely ended: a process we may not open
// still runs, and a temporary file is never taken from a live writer.
bool ProcessMayRun(DWORD dwProcessId) {
    if (dwProcessId == ::GetCurrentProcessId())
        return true;
    CKernelHandle process(::OpenProcess(SYNCHRONIZE, /*bInheritHandle=*/FALSE, dwProcessId));
    if (!process.IsValid())
        return ::GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    return ::WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

}  // namespace

void SetTimeouts(HINTERNET hInternet, DWORD dwTimeoutMs) {
    for (DWORD dwOption : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                           INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        ::InternetSetOptionA(hInternet, dwOption, &dwTimeoutMs, sizeof(dwTimeoutMs));
    }
}

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
    DropHandles();
}

// Lock order: the abort list, then the transport; never the other way.
void CWinInetTransport::Abort() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = true;
    if (m_bInCall)
        DropHandles();
}

void CWinInetTransport::Expire() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_request.IsValid())
        return;
    // The time is taken under the lock: a read counted meanwhile must not
    // lie in the future of the check.
    CProgressGuard::Verdict eVerdict = m_guard.Check(::GetTickCount());
    if (eVerdict != CProgressGuard::Verdict::kOk) {
        m_eExpired = eVerdict;
        // The connection goes too: a server that stalls is not asked again
        // over the same socket.
        if (m_bInCall)
            DropHandles();
    }
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

bool CWinInetTransport::Adopt(CInternetHandle request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bAborted || m_eExpired != CProgressGuard::Verdict::kOk) {
        request.Reset();
        return false;
    }
    m_request = std::move(request);
    return true;
}

void CWinInetTransport::DropHandles() {
    m_request.Reset();
    m_connect.Reset();
}

void CWinInetTransport::CloseRequest() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_request.Reset();
}

void CWinInetTransport::CloseFile() {
    m_file.Reset();
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
        *pstrWhy = ErrorText("CreateDirectory " + strFolder, dwError);
        return false;
    }
    m_folders.Learn(strParent);
    return true;
}

void CWinInetTransport::SweepStaleTemps(const std::string& strFolder) {
    if (!m_folders.FirstSweep(strFolder))
        return;
    WIN32_FIND_DATAA fd;
    CFindHandle find(::FindFirstFileA((strFolder + "\\~PellowD-*").c_str(), &fd));
    if (!find.IsValid())
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

bool CWinInetTransport::RoomForFile(const std::string& strPath, std::uint64_t nBytes,
                                    std::string* pstrWhy) {
    return RoomFor(ParentFolder(strPath), nBytes, pstrWhy);
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
        new CStagedFile(std::move(m_file), m_strWritten, strTarget, std::move(onGone)));
    ReleasePartial();
    return staged;
}

void CWinInetTransport::Remove(const std::string& strTemp) {
    CloseFile();
    ::DeleteFileA(strTemp.c_str());
    ReleasePartial();
}

CInternetHandle OpenSession(DWORD dwTimeoutMs) {
    CInternetHandle session(::InternetOpenA("PellowD/1.0", INTERNET_OPEN_TYPE_PRECONFIG,
                                            /*lpszProxy=*/nullptr, /*lpszProxyBypass=*/nullptr,
                                            /*dwFlags=*/0));
    if (!session.IsValid())
        return session;
    SetTimeouts(session.Get(), dwTimeoutMs);
    DWORD dwRetries = 1;
    ::InternetSetOptionA(session.Get(), INTERNET_OPTION_CONNECT_RETRIES, &dwRetries,
                         sizeof(dwRetries));
    return session;
}

}  // namespace pellowd
