// Where the receive loop puts a body: one kind of buffer to fill and hand
// over, whether the bytes are written at once or passed to other threads.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "writepipe.h"

class MD5;

namespace pellowd {

class IBodySink {
public:
    virtual ~IBodySink() = default;
    // The buffer to fill next and its size; null when the sink failed
    // (its reason is then its own to give).
    virtual char* Next(std::size_t* pcbBuffer) = 0;
    // The first cb bytes of the buffer Next gave are filled.
    virtual bool Put(std::size_t cb, std::string* pstrWhy) = 0;
};

// One buffer of the caller's, written to target (and fed to pDigest, which
// may be null) each time it is handed over.
class CBufferSink : public IBodySink {
public:
    CBufferSink(std::vector<char>& buffer, CWritePipe::ITarget& target, MD5* pDigest)
        : m_buffer(buffer), m_target(target), m_pDigest(pDigest) {}
    char* Next(std::size_t* pcbBuffer) override;
    bool Put(std::size_t cb, std::string* pstrWhy) override;

private:
    std::vector<char>& m_buffer;
    CWritePipe::ITarget& m_target;
    MD5* const m_pDigest;
};

// The buffers of a pipe, written and hashed on its threads; a failure of
// theirs is told by the pipe's Close.
class CPipeSink : public IBodySink {
public:
    explicit CPipeSink(CWritePipe& pipe) : m_pipe(pipe) {}
    char* Next(std::size_t* pcbBuffer) override;
    bool Put(std::size_t cb, std::string* pstrWhy) override;

private:
    CWritePipe& m_pipe;
};

}  // namespace pellowd
