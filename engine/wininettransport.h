// ITransport over WinINet and the Windows file system: HTTP and HTTPS with
// the user's proxy settings, no cache, redirects under the engine's rule,
// a 200 answer only, size bounds, a Content-Length and digest check, and the
// final replace in one step.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "chunkreuse.h"
#include "kelmar/md5.h"
#include "transfer.h"
#include "writepipe.h"

namespace pellowd {

class CWinInetTransport;

// The transports that run right now. The engine's stop closes their request
// handles, which makes a blocked read return. A watchdog thread does the same
// to a transfer that breaks the engine's RateLimits: WinINet's own receive
// timeout is not honoured everywhere (Wine ignores it for the body), and a
// stalled or dripping server must not hold a worker for ever.
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

// What the workers of one engine learn about the disk and share: folders
// that exist and folders already swept of stale temporary files. Folders do
// not vanish under a running update, and one sweep per folder finds every
// file a dead run left. Also the partial files: which digests the queued
// requests want (a partial of any other is swept), which partial a worker
// is writing, and the validator each was started with.
class CFolderMemo {
public:
    bool Known(const std::string& strFolder);
    void Learn(const std::string& strFolder);
    // True the first time it is asked for strFolder.
    bool FirstSweep(const std::string& strFolder);

    // A request for a file with this digest was queued.
    void Want(const std::string& strMD5);
    // Whether a queued request wants a partial with this name's digest.
    bool Wanted(const std::string& strDigestPrefix);
    // One worker at a time writes a partial file; false when another does.
    bool Claim(const std::string& strPartial);
    void Release(const std::string& strPartial);
    // The ETag or date the server gave the file a partial was started
    // from; empty when unknown (a partial left by an earlier run).
    void SetValidator(const std::string& strPartial, const std::string& strValidator);
    std::string Validator(const std::string& strPartial);

private:
    std::mutex m_mutex;
    std::set<std::string> m_known;
    std::set<std::string> m_swept;
    std::set<std::string> m_wanted;  // digest prefixes, lower case
    std::set<std::string> m_claimed;
    std::map<std::string, std::string> m_validators;
};

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
    // The body of the answer into the temporary file: written to pTarget and
    // fed to pDigest here, or handed to pPipe's threads (the others null).
    Failure Receive(HINTERNET hRequest, bool bHasLength, std::uint64_t nLength,
                    std::uint64_t nMaxBytes, CWritePipe::ITarget* pTarget, MD5* pDigest,
                    CWritePipe* pPipe, const std::function<bool()>& isCancelled,
                    std::string* pstrWhy);
    // Whether nLength bytes fit on the disk of strFolder.
    bool RoomFor(const std::string& strFolder, std::uint64_t nLength, std::string* pstrWhy);
    // False when aborted meanwhile (the handle is closed then).
    bool Adopt(HINTERNET hRequest);
    // Runs call, a WinINet call on the transfer's handles, so that no
    // handle is used once closed: WinINet may already have given a closed
    // handle's value to another worker's new request. False, with
    // ERROR_INTERNET_OPERATION_CANCELLED, when the transfer was aborted or
    // expired before the call or during it; the handles are closed then
    // and none may be used again.
    template <class Call>
    bool OnHandles(Call call);
    void CloseRequest();
    void CloseHandles();  // with m_mutex held
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
    HINTERNET m_hConnect = nullptr;  // to m_strHost:m_nPort, kept between transfers
    std::string m_strHost;
    INTERNET_PORT m_nPort = 0;
    HINTERNET m_hRequest = nullptr;
    bool m_bAborted = false;
    bool m_bInCall = false;  // a WinINet call runs on the handles
    CProgressGuard m_guard;  // with m_mutex held
    CProgressGuard::Verdict m_eExpired = CProgressGuard::Verdict::kOk;

    // The worker's own, unlocked.
    HANDLE m_hFile = INVALID_HANDLE_VALUE;  // the temporary file being written
    std::string m_strWritten;               // its path: the temporary or the partial file
    std::string m_strClaimed;               // the partial this worker may write
    std::vector<char> m_buffer;
    std::string m_strFreeFolder;  // where m_nFree was read, at m_dwFreeTick
    std::uint64_t m_nFree = 0;
    DWORD m_dwFreeTick = 0;
};

// The size of a file; 0 when it is missing or unreadable.
std::uint64_t FileSizeOf(const std::string& strPath);

// A session handle with the engine's settings: the preconfigured proxy,
// timeouts of dwTimeoutMs for connect, send and receive. Null on failure.
HINTERNET OpenSession(DWORD dwTimeoutMs);

}  // namespace pellowd
