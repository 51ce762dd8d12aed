// The transports that run right now, and the watchdog over them.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "transfer.h"

namespace pellowd {

class CWinInetTransport;

// The engine's stop closes the running transports' request handles, which
// makes a blocked read return. A watchdog thread does the same to a transfer
// that breaks the engine's RateLimits: WinINet's own receive timeout is not
// honoured everywhere (Wine ignores it for the body), and a stalled or
// dripping server must not hold a worker for ever.
class CAbortList {
public:
    // dwTimeoutMs: WinINet's connect, send and receive timeouts.
    CAbortList(DWORD dwTimeoutMs, const RateLimits& limits);
    ~CAbortList();  // ends the watchdog
    CAbortList(const CAbortList&) = delete;
    CAbortList& operator=(const CAbortList&) = delete;

    void Add(CWinInetTransport* pTransport);
    void Remove(CWinInetTransport* pTransport);
    // Closes every running request and refuses new ones from then on.
    void AbortAll();
    DWORD TimeoutMs() const { return m_dwTimeoutMs; }
    const RateLimits& Limits() const { return m_limits; }

private:
    void Watch();

    const DWORD m_dwTimeoutMs;
    const RateLimits m_limits;
    std::mutex m_mutex;
    std::condition_variable m_cvQuit;
    std::set<CWinInetTransport*> m_running;
    bool m_bAborted = false;
    bool m_bQuit = false;
    std::thread m_watchdog;
};

}  // namespace pellowd
