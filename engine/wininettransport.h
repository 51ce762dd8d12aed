// ITransport over WinINet and the Windows file system: HTTP and HTTPS with
// the user's proxy settings, no cache, a Content-Length and digest check,
// and the final replace in one step.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "transfer.h"

namespace pellowd {

class CWinInetTransport;

// The transports that run right now. The engine's stop closes their request
// handles, which makes a blocked read return. A watchdog thread does the same
// to a transfer that has received nothing for the timeout: WinINet's own
// receive timeout is not honoured everywhere (Wine ignores it for the body),
// and a stalled server must not hold a worker for ever.
class CAbortList {
public:
    explicit CAbortList(DWORD dwTimeoutMs);
    ~CAbortList();  // ends the watchdog
    CAbortList(const CAbortList&) = delete;
    CAbortList& operator=(const CAbortList&) = delete;

    void Add(CWinInetTransport* pTransport);
    void Remove(CWinInetTransport* pTransport);
    // Closes every running request and refuses new ones from then on.
    void AbortAll();
    DWORD TimeoutMs() const { return m_dwTimeoutMs; }

private:
    void Watch();

    const DWORD m_dwTimeoutMs;
    std::mutex m_mutex;
    std::condition_variable m_cvQuit;
    std::set<CWinInetTransport*> m_running;
    bool m_bAborted = false;
    bool m_bQuit = false;
    std::thread m_watchdog;
};

// One object per transfer, on the worker thread that runs it.
class CWinInetTransport : public ITransport {
public:
    // hSession: a handle of InternetOpenA shared by all transfers; it must
    // outlive the object, and so must aborts.
    CWinInetTransport(HINTERNET hSession, CAbortList& aborts);
    ~CWinInetTransport() override;

    CWinInetTransport(const CWinInetTransport&) = delete;
    CWinInetTransport& operator=(const CWinInetTransport&) = delete;

    bool PrepareFolders(const std::string& strTarget, std::string* pstrWhy) override;
    Failure Fetch(const std::string& strUrl, const std::string& strTemp, const std::string& strMD5,
                  const std::function<bool()>& isCancelled, std::string* pstrWhy) override;
    bool Replace(const std::string& strTemp, const std::string& strTarget,
                 std::string* pstrWhy) override;
    void Remove(const std::string& strTemp) override;

    // From CAbortList, on another thread: close the running request for
    // good (Abort) or because it stalled (Expire, when idle longer than
    // dwTimeoutMs at dwNow).
    void Abort();
    void Expire(DWORD dwNow, DWORD dwTimeoutMs);

private:
    // False when aborted meanwhile (the handles are closed then).
    bool Adopt(HINTERNET hConnect, HINTERNET hRequest);
    void CloseRequest();
    void CloseHandles();  // with m_mutex held
    bool Expired();

    void Touch() { m_dwLastProgress = ::GetTickCount(); }

    HINTERNET m_hSession;
    CAbortList& m_aborts;
    std::mutex m_mutex;
    HINTERNET m_hConnect = nullptr;
    HINTERNET m_hRequest = nullptr;
    bool m_bAborted = false;
    bool m_bExpired = false;
    std::atomic<DWORD> m_dwLastProgress{0};
};

// A session handle with the engine's settings: the preconfigured proxy,
// timeouts of dwTimeoutMs for connect, send and receive. Null on failure.
HINTERNET OpenSession(DWORD dwTimeoutMs);

}  // namespace pellowd
