// ITransport over WinINet and the Windows file system: HTTP and HTTPS with
// the user's proxy settings, no cache, redirects under the engine's rule,
// a 200 answer only, size bounds, a Content-Length and digest check, and the
// final replace in one step.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "abortlist.h"
#include "chunkreuse.h"
#include "foldermemo.h"
#include "kelmar/md5.h"
#include "templates/winhandle.h"
#include "transfer.h"
#include "writepipe.h"

namespace pellowd {

class IBodySink;

// One object per worker thread, used for one transfer at a time. It keeps
// what the next transfer can use again: the connection handle to the last
// server, the receive buffer, the free space last read on the target's disk.
class CWinInetTransport : public ITransport {
public:
    // hSession: a handle of InternetOpenA shared by all transfers; it must
    // outlive the object, and so must aborts and folders. log takes the
    // lines worth keeping even when the transfer succeeds (redirects, swept
    // files).
    CWinInetTransport(HINTERNET hSession, CAbortList& aborts, CFolderMemo& folders,
                      std::function<void(const std::string&)> log);
    ~CWinInetTransport() override;

    CWinInetTransport(const CWinInetTransport&) = delete;
    CWinInetTransport& operator=(const CWinInetTransport&) = delete;

    bool PrepareFolders(const std::string& strTarget, std::string* pstrWhy) override;
    void SweepStaleTemps(const std::string& strFolder) override;
    Failure Fetch(const std::string& strUrl, const std::string& strTemp,
                  const std::string& strTarget, const std::string& strMD5, std::uint64_t nMaxBytes,
                  bool bReuse, const std::function<bool()>& isCancelled,
                  std::string* pstrWhy) override;
    bool WrittenSha256(std::string* pstrSha256, std::uint64_t* pnSize,
                       std::string* pstrWhy) override;
    void DropKept() override;
    std::unique_ptr<IStagedFile> Stage(const std::string& strTemp,
                                       const std::string& strTarget) override;
    void Remove(const std::string& strTemp) override;

    // From CAbortList, on another thread: end the running request for good
    // (Abort) or when it breaks the rate limits now (Expire). The handles
    // are closed here only while a WinINet call runs on them (the close ends
    // that call); otherwise the worker closes them before its next call.
    void Abort();
    void Expire();

    // One request for bytes [nFirst, nFirst + nLength) of strUrl, its body
    // to sink. kNone only for a 206 whose Content-Range is exactly that
    // range (or, with bMayEndEarly, that range cut at the end of the
    // resource) and whose body came whole; *pnTotal is then the resource's
    // size. With pstrValidator, the answer must carry the same ETag or date
    // as the first one (which sets it), and later requests ask If-Range.
    Failure GetRange(const std::string& strUrl, std::uint64_t nFirst, std::uint64_t nLength,
                     bool bMayEndEarly, std::string* pstrValidator, std::uint64_t* pnTotal,
                     CWritePipe::ITarget& sink, const std::function<bool()>& isCancelled,
                     std::string* pstrWhy);

    // Whether nBytes fit on the disk of strPath's folder.
    bool RoomForFile(const std::string& strPath, std::uint64_t nBytes, std::string* pstrWhy);

private:
    // Connects (or takes the connection kept from the last transfer), sends
    // the request for strUrl with strHeaders (each ending in CRLF) besides
    // our own, and leaves its handle adopted.
    Failure Open(const std::string& strUrl, const std::string& strHeaders, HINTERNET* phRequest,
                 const std::function<bool()>& isCancelled, std::string* pstrWhy);
    // Open, then redirects followed under the engine's rule: the final
    // answer's handle (adopted) and status.
    Failure Request(const std::string& strUrl, const std::string& strHeaders, HINTERNET* phRequest,
                    DWORD* pdwStatus, const std::function<bool()>& isCancelled,
                    std::string* pstrWhy);
    // Refuses an encoded body; the announced length, if any.
    Failure BodyLength(HINTERNET hRequest, bool* pbHasLength, std::uint64_t* pnLength,
                       const std::function<bool()>& isCancelled, std::string* pstrWhy);
    // The answer's strong ETag, else its Last-Modified date, else empty.
    std::string AnswerValidator(HINTERNET hRequest);
    // The whole file from strUrl. With strPartial (a release file with a
    // digest), a large file is written there and kept when the transfer is
    // cut, and a partial that exists is continued by a range.
    Failure FetchWhole(const std::string& strUrl, const std::string& strTemp,
                       const std::string& strMD5, std::uint64_t nMaxBytes,
                       const std::string& strPartial, const std::function<bool()>& isCancelled,
                       std::string* pstrWhy);

    // The steps of a whole-file fetch (wholefetch.cpp).
    struct WholeFile;  // what is fetched, and where to
    struct Body;       // what the answer announced of its body
    // One request for the file, or for its rest after the nHave bytes of
    // the partial. *pbAgain when the kept bytes proved unusable and are
    // gone: then the first round is run again from the first byte.
    Failure FetchRound(const WholeFile& file, bool bFirst, std::uint64_t* pnHave, bool* pbAgain,
                       const std::function<bool()>& isCancelled, std::string* pstrWhy);
    // A 206 to a resume: whether its Content-Range is exactly the rest
    // after nHave; the file's size then.
    bool RestOfFile(HINTERNET hRequest, std::uint64_t nHave, std::uint64_t* pnTotal,
                    std::string* pstrRange);
    // The body's length from the headers and the range, held to the size
    // limit and the free space; the watchdog's deadline follows it.
    Failure CheckBody(HINTERNET hRequest, const WholeFile& file, Body* pBody,
                      const std::function<bool()>& isCancelled, std::string* pstrWhy);
    // Creates the file a body that is not a resume goes to: the partial
    // when it is kept, else the temporary file.
    Failure OpenOutput(HINTERNET hRequest, const WholeFile& file, bool bKeep, std::string* pstrWhy);
    // The body into the open file: a large one through a pipe.
    Failure ReceiveBody(HINTERNET hRequest, const Body& body, std::uint64_t nMaxBytes, MD5* pDigest,
                        const std::function<bool()>& isCancelled, std::string* pstrWhy);

    // Chunk reuse and partial files (chunkfiles.cpp).
    // Whether an older target or a partial may hold chunks of the new file.
    bool ReuseWorthTrying(const std::string& strTarget, const std::string& strPartial);
    // Builds the file in strPartial from the local chunks and ranges of
    // strUrl, by its chunk index; see RebuildFromChunks for the failures.
    Failure FetchByChunks(const std::string& strUrl, const std::string& strTemp,
                          const std::string& strTarget, const std::string& strPartial,
                          const std::string& strMD5, std::uint64_t nMaxBytes,
                          const std::function<bool()>& isCancelled, ReuseStats* pStats,
                          std::string* pstrWhy);
    // Opens the partial for writing at nFrom (cutting what lies past it)
    // after feeding its first nFrom bytes to pDigest (may be null).
    bool OpenPartialAt(const std::string& strPartial, std::uint64_t nFrom, MD5* pDigest,
                       std::string* pstrWhy);
    // Takes the partial as the fetched file when it is whole: its digest is strMD5.
    bool AdoptWholePartial(const std::string& strPartial, const std::string& strMD5);
    // Deletes the partial (closing it first when it is the file being written).
    void DropPartial(const std::string& strPartial);
    // Gives up the claim on the partial of the last fetch.
    void ReleasePartial();
    // The body of the answer, checked against the announced length and
    // nMaxBytes, into sink (httpexchange.cpp).
    Failure Receive(HINTERNET hRequest, bool bHasLength, std::uint64_t nLength,
                    std::uint64_t nMaxBytes, IBodySink& sink,
                    const std::function<bool()>& isCancelled, std::string* pstrWhy);
    // Whether nLength bytes fit on the disk of strFolder.
    bool RoomFor(const std::string& strFolder, std::uint64_t nLength, std::string* pstrWhy);
    // False when aborted meanwhile (the handle is closed then).
    bool Adopt(CInternetHandle request);
    // Runs call, a WinINet call on the transfer's handles, so that no
    // handle is used once closed: WinINet may already have given a closed
    // handle's value to another worker's new request. False, with
    // ERROR_INTERNET_OPERATION_CANCELLED, when the transfer was aborted or
    // expired before the call or during it; the handles are closed then
    // and none may be used again.
    template <class Call>
    bool OnHandles(Call call);
    void CloseRequest();
    void DropHandles();  // with m_mutex held
    // Closes the request of a fetch or a range however it ends.
    struct RequestCloser {
        CWinInetTransport* p;
        ~RequestCloser() { p->CloseRequest(); }
    };
    void CloseFile();
    // Counts cb new bytes; the verdict of the rate limits right after.
    CProgressGuard::Verdict Progress(DWORD cb);
    // The verdict that made the watchdog close the request, or kOk; with
    // its description.
    CProgressGuard::Verdict Expired(std::string* pstrWhy);
    // kCancelled after a stop, kNetwork (with the reason) once the watchdog
    // ended the transfer, else kNone: what a failed call may have been.
    Failure Ended(const std::function<bool()>& isCancelled, std::string* pstrWhy);

    HINTERNET m_hSession;
    CAbortList& m_aborts;
    CFolderMemo& m_folders;
    const std::function<void(const std::string&)> m_log;
    std::mutex m_mutex;
    CInternetHandle m_connect;  // to m_strHost:m_nPort, kept between transfers
    std::string m_strHost;
    INTERNET_PORT m_nPort = 0;
    CInternetHandle m_request;
    bool m_bAborted = false;
    bool m_bInCall = false;  // a WinINet call runs on the handles
    CProgressGuard m_guard;  // with m_mutex held
    CProgressGuard::Verdict m_eExpired = CProgressGuard::Verdict::kOk;

    // The worker's own, unlocked.
    CFileHandle m_file;        // the temporary file being written
    std::string m_strWritten;  // its path: the temporary or the partial file
    std::string m_strClaimed;  // the partial this worker may write
    std::vector<char> m_buffer;
    std::string m_strFreeFolder;  // where m_nFree was read, at m_dwFreeTick
    std::uint64_t m_nFree = 0;
    DWORD m_dwFreeTick = 0;
};

// The size of a file; 0 when it is missing or unreadable.
std::uint64_t FileSizeOf(const std::string& strPath);

// A session handle with the engine's settings: the preconfigured proxy,
// timeouts of dwTimeoutMs for connect, send and receive. Null on failure.
CInternetHandle OpenSession(DWORD dwTimeoutMs);

template <class Call>
bool CWinInetTransport::OnHandles(Call call) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bAborted || m_eExpired != CProgressGuard::Verdict::kOk) {
            DropHandles();
            ::SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
            return false;
        }
        m_bInCall = true;
    }
    const bool bOk = call();
    const DWORD dwError = ::GetLastError();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bInCall = false;
    if (m_bAborted || m_eExpired != CProgressGuard::Verdict::kOk) {
        DropHandles();
        ::SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        return false;
    }
    ::SetLastError(dwError);
    return bOk;
}

// Connect, send and receive timeouts of dwTimeoutMs on a WinINet handle.
void SetTimeouts(HINTERNET hInternet, DWORD dwTimeoutMs);

// A status other than the one asked for: a 4xx says the file is not there,
// anything else is a fault of the server.
Failure StatusFailure(DWORD dwStatus, std::string* pstrWhy);

// A response header as text; false when it is missing.
bool QueryHeader(HINTERNET hRequest, DWORD dwInfo, std::string* pstrValue);

// The headers that ask for the bytes strBytes ("N-" or "N-M") of the
// version strValidator names, or of any version when it is empty.
std::string RangeHeaders(const std::string& strBytes, const std::string& strValidator);

}  // namespace pellowd
