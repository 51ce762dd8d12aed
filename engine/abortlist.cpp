#include "abortlist.h"

#include <chrono>

#include "wininettransport.h"

namespace pellowd {

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

}  // namespace pellowd
