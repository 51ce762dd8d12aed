#include "stagedfile.h"

#include "filetarget.h"
#include "errortext.h"

namespace pellowd {

namespace {

// A move over a target another process holds for a moment is tried this
// often, waiting 50, 100, 150 and 200 ms between the tries.
const int kMoveTries = 5;
const DWORD kMoveRetryMs = 50;

}  // namespace

CStagedFile::CStagedFile(CFileHandle file, std::string strTemp, std::string strTarget,
                         std::function<void()> onGone)
    : m_file(std::move(file)),
      m_strTemp(std::move(strTemp)),
      m_strTarget(std::move(strTarget)),
      m_onGone(std::move(onGone)) {}

CStagedFile::~CStagedFile() {
    m_file.Reset();  // before the delete, which an open handle would forbid
    if (!m_bReplaced)
        ::DeleteFileA(m_strTemp.c_str());
    if (m_onGone)
        m_onGone();
}

bool CStagedFile::Flush(std::string* pstrWhy) {
    // The handle goes with the flush: the move opens the file itself,
    // which our unshared handle would forbid.
    const BOOL bFlushed = FlushFile(m_file.Get());
    const DWORD dwError = ::GetLastError();
    const bool bClosed = m_file.Close();
    if (!bFlushed || !bClosed) {
        *pstrWhy = ErrorText("flushing " + m_strTemp, bFlushed ? ::GetLastError() : dwError);
        return false;
    }
    return true;
}

bool CStagedFile::Replace(std::string* pstrWhy) {
    if (m_file.IsValid()) {
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
            *pstrWhy = ErrorText("MoveFileEx to " + m_strTarget, dwError);
            return false;
        }
        ::Sleep(kMoveRetryMs * nTry);
    }
    m_bReplaced = true;
    return true;
}

}  // namespace pellowd
