#include "bodysink.h"

#include "kelmar/md5.h"

namespace pellowd {

char* CBufferSink::Next(std::size_t* pcbBuffer) {
    *pcbBuffer = m_buffer.size();
    return m_buffer.data();
}

bool CBufferSink::Put(std::size_t cb, std::string* pstrWhy) {
    if (!m_target.Write(m_buffer.data(), cb, pstrWhy))
        return false;
    if (m_pDigest != nullptr)
        m_pDigest->update(m_buffer.data(), static_cast<unsigned int>(cb));
    return true;
}

char* CPipeSink::Next(std::size_t* pcbBuffer) {
    *pcbBuffer = m_pipe.BufferSize();
    return m_pipe.Next();
}

bool CPipeSink::Put(std::size_t cb, std::string* /*pstrWhy*/) {
    m_pipe.Put(cb);
    return true;
}

}  // namespace pellowd
