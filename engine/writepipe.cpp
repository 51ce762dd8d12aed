#include "writepipe.h"

#include "kelmar/md5.h"

namespace pellowd {

CWritePipe::CWritePipe(ITarget& target, MD5* pDigest, std::size_t cbBuffer, unsigned nBuffers,
                       std::uint64_t nFlushEvery)
    : m_target(target),
      m_pDigest(pDigest),
      m_cbBuffer(cbBuffer == 0 ? 1 : cbBuffer),
      m_nFlushEvery(nFlushEvery),
      m_buffers(nBuffers < 2 ? 2 : nBuffers, std::vector<char>(m_cbBuffer)),
      m_sizes(m_buffers.size()) {
    // Without a digest the hasher has nothing to do: it counts as done.
    m_threads[kWriter] = std::thread([this] { Consume(kWriter); });
    if (m_pDigest != nullptr) {
        try {
            m_threads[kHasher] = std::thread([this] { Consume(kHasher); });
        } catch (...) {
            EndThreads(&CWritePipe::m_bAbandoned);
            throw;
        }
    }
}

CWritePipe::~CWritePipe() {
    EndThreads(&CWritePipe::m_bAbandoned);
}

void CWritePipe::EndThreads(bool CWritePipe::*pbFlag) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        this->*pbFlag = true;
    }
    m_cv.notify_all();
    for (std::thread& t : m_threads) {
        if (t.joinable())
            t.join();
    }
}

std::uint64_t CWritePipe::Slowest() const {
    std::uint64_t n = m_nDone[kWriter];
    if (m_pDigest != nullptr && m_nDone[kHasher] < n)
        n = m_nDone[kHasher];
    return n;
}

char* CWritePipe::Next() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_bFailed || m_nPut - Slowest() < m_buffers.size(); });
    if (m_bFailed)
        return nullptr;
    return m_buffers[m_nPut % m_buffers.size()].data();
}

void CWritePipe::Put(std::size_t cb) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sizes[m_nPut % m_buffers.size()] = cb;
        ++m_nPut;
    }
    m_cv.notify_all();
}

bool CWritePipe::Close(std::string* pstrWhy) {
    EndThreads(&CWritePipe::m_bClosing);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bFailed)
        *pstrWhy = m_strWhy;
    return !m_bFailed;
}

void CWritePipe::Consume(Consumer eWho) {
    std::uint64_t nSinceFlush = 0;
    std::string strWhy;
    for (;;) {
        const char* pData = nullptr;
        std::size_t cb = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] {
                return m_bAbandoned || m_bFailed || m_nDone[eWho] < m_nPut || m_bClosing;
            });
            if (m_bAbandoned || m_bFailed || m_nDone[eWho] == m_nPut)
                return;
            const std::size_t nSlot = m_nDone[eWho] % m_buffers.size();
            pData = m_buffers[nSlot].data();
            cb = m_sizes[nSlot];
        }
        // The slot is ours until m_nDone moves past it: the receiver never
        // refills a slot that a consumer has not passed.
        bool bOk = true;
        try {
            if (eWho == kHasher) {
                m_pDigest->update(pData, static_cast<unsigned int>(cb));
            } else {
                bOk = m_target.Write(pData, cb, &strWhy);
                nSinceFlush += cb;
                if (bOk && m_nFlushEvery != 0 && nSinceFlush >= m_nFlushEvery) {
                    bOk = m_target.Flush(&strWhy);
                    nSinceFlush = 0;
                }
            }
        } catch (...) {
            bOk = false;
            strWhy = "internal error while writing";
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!bOk && !m_bFailed) {
                m_bFailed = true;
                m_strWhy = strWhy;
            }
            ++m_nDone[eWho];
        }
        m_cv.notify_all();
        if (!bOk)
            return;
    }
}

}  // namespace pellowd
