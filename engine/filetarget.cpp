#include "filetarget.h"

#include "errortext.h"

namespace pellowd {

BOOL FlushFile(HANDLE hFile) {
#ifdef PELLOWD_BENCH_NO_FLUSH
    (void)hFile;
    return TRUE;
#else
    return ::FlushFileBuffers(hFile);
#endif
}

bool CFileTarget::Write(const char* pData, std::size_t cb, std::string* pstrWhy) {
    DWORD cbWritten = 0;
    if (!::WriteFile(m_hFile, pData, static_cast<DWORD>(cb), &cbWritten,
                     /*lpOverlapped=*/nullptr) ||
        cbWritten != cb) {
        *pstrWhy = ErrorText("WriteFile " + m_strPath, ::GetLastError());
        return false;
    }
    return true;
}

bool CFileTarget::Flush(std::string* pstrWhy) {
    if (!FlushFile(m_hFile)) {
        *pstrWhy = ErrorText("flushing " + m_strPath, ::GetLastError());
        return false;
    }
    return true;
}

}  // namespace pellowd
