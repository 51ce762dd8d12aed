// A large body received on one thread and written and hashed on others. The
// receiving thread fills the buffers of a fixed ring and hands them over in
// order; one consumer thread writes them to the file, flushing every so many
// bytes so that the flush before the commit covers only the tail, and
// another feeds the digest. A buffer is free again once both have passed it,
// so memory stays the size of the ring whatever the size of the file.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MD5;

namespace pellowd {

class CWritePipe {
public:
    // Where the bytes go. Called on the writer thread only.
    class ITarget {
    public:
        virtual ~ITarget() = default;
        virtual bool Write(const char* pData, std::size_t cb, std::string* pstrWhy) = 0;
        virtual bool Flush(std::string* pstrWhy) = 0;
    };

    // pDigest may be null (no digest asked for). nFlushEvery 0: no flushes
    // on the way. Throws std::system_error when a thread cannot start.
    CWritePipe(ITarget& target, MD5* pDigest, std::size_t cbBuffer, unsigned nBuffers,
               std::uint64_t nFlushEvery);
    // Stops the consumers, dropping what they have not taken yet.
    ~CWritePipe();
    CWritePipe(const CWritePipe&) = delete;
    CWritePipe& operator=(const CWritePipe&) = delete;

    // Receiving thread: the buffer to fill next, BufferSize() bytes; waits
    // while the ring is full. Null once a consumer failed: Close says why.
    char* Next();
    std::size_t BufferSize() const { return m_cbBuffer; }
    // Hands over the first cb bytes of the buffer Next gave.
    void Put(std::size_t cb);
    // Waits until everything handed over is written and hashed. False with
    // the first failure's reason. Called once.
    bool Close(std::string* pstrWhy);

private:
    enum Consumer { kWriter, kHasher, kConsumers };
    void Consume(Consumer eWho);
    // Raises *pbFlag (closing: finish what was handed over; abandoned: stop
    // at once) and joins the consumers.
    void EndThreads(bool CWritePipe::*pbFlag);
    // The fewest buffers any running consumer has passed.
    std::uint64_t Slowest() const;

    ITarget& m_target;
    MD5* const m_pDigest;
    const std::size_t m_cbBuffer;
    const std::uint64_t m_nFlushEvery;
    std::vector<std::vector<char>> m_buffers;
    std::vector<std::size_t> m_sizes;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::uint64_t m_nPut = 0;                // buffers handed over
    std::uint64_t m_nDone[kConsumers] = {};  // buffers each consumer has passed
    bool m_bClosing = false;                 // nothing more will be handed over
    bool m_bAbandoned = false;               // stop at once
    bool m_bFailed = false;
    std::string m_strWhy;
    std::thread m_threads[kConsumers];
};

}  // namespace pellowd
