// One request's way from the addresses to its saved file: the retry policy
// and the steps around each attempt (temporary file, checks, the final
// replace). The network and the file system sit behind ITransport, so the
// rules run natively in tests and over WinINet in the engine.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "downloadservice.h"

namespace pellowd {

// Why an attempt failed; the policy decides from it what to try next.
enum class Failure {
    kNone,
    kNetwork,    // no connection, timeout, cut transfer, bad response
    kRefused,    // the server answered 4xx: the file is not there
    kServer,     // the server answered 5xx or another non-success status
    kContent,    // the body is shorter or longer than announced, or its digest differs
    kLocal,      // the local file or folder could not be written or replaced
    kCancelled,  // the engine stops or the batch was given up
};

const char* FailureName(Failure eFailure);

// Addresses and attempts of one request: szUrl, then szUrlReserve (when it
// is not empty), each at most nPerAddress times. A "not there" answer or bad
// content (a wrong digest or size: a wrong file, or a captive portal's page
// served as the file) moves to the next address at once, since asking the
// same address again brings the same bytes; a local failure or a
// cancellation ends the request (no address helps).
class CRetryPolicy {
public:
    CRetryPolicy(const std::string& strUrl, const std::string& strReserve, unsigned nPerAddress);

    // The address of the next attempt; false when there is none left.
    bool Next(std::string* pstrUrl);
    // The outcome of the attempt Next gave.
    void Report(Failure eFailure);

private:
    std::string m_strAddress[2];
    unsigned m_nAddresses = 0;
    unsigned m_nCurrent = 0;
    unsigned m_nTriedHere = 0;
    unsigned m_nPerAddress;
    bool m_bDone = false;
};

// The largest manifest the engine accepts (commands 2 and 5): far above any
// real one, and a bound for a server that never stops sending.
const std::uint64_t kMaxManifestBytes = 16ull * 1024 * 1024;
// The default bound for any other file.
const std::uint64_t kDefaultMaxFileBytes = 4ull * 1024 * 1024 * 1024;
// Redirects followed per attempt.
const unsigned kMaxRedirects = 5;

// How slow a transfer may be. A transfer is cut when it received fewer than
// nMinBytesPerSecond on average over the last nWindowMs, or when it is still
// running nBaseDeadlineMs plus its announced length at nMinBytesPerSecond
// after its request was sent (a body of unknown length gets the base only).
// So a slow but steady link gets its files however long they take, and a
// drip or an endless body ends in bounded time.
struct RateLimits {
    std::uint32_t nWindowMs = 30000;
    std::uint32_t nMinBytesPerSecond = 1024;
    std::uint32_t nBaseDeadlineMs = 300000;
};

// The rule above over one transfer, fed with millisecond tick counts (which
// may wrap) that never go back. Not thread-safe: the caller locks.
class CProgressGuard {
public:
    enum class Verdict { kOk, kTooSlow, kPastDeadline };

    explicit CProgressGuard(const RateLimits& limits) : m_limits(limits) {}
    // The request is sent: the clocks start, and nothing of an earlier transfer counts.
    void Start(std::uint32_t dwNow);
    // The announced length, which extends the deadline.
    void SetLength(std::uint64_t nLength) { m_nLength = nLength; }
    // cb bytes arrived at dwNow.
    void Add(std::uint32_t dwNow, std::uint64_t cb);
    Verdict Check(std::uint32_t dwNow);
    // Why Check said what it said, for the log.
    std::string Describe(Verdict eVerdict) const;

private:
    struct Sample {
        std::uint32_t dwTime;
        std::uint64_t nTotal;  // bytes received up to dwTime
    };
    void Prune(std::uint32_t dwNow);

    RateLimits m_limits;
    std::uint32_t m_dwStart = 0;
    std::uint64_t m_nLength = 0;
    std::uint64_t m_nTotal = 0;
    std::deque<Sample> m_samples;
};

// The scheme of an address in lower case ("http", "https", "ftp"), or empty
// when it has none.
std::string UrlScheme(const std::string& strUrl);

// Whether a redirect from strFrom to strTo may be followed: only to http or
// https, and never from https down to http (whoever chose an https address
// chose privacy and integrity on the way; a server must not give them up for
// us). False with the reason in *pstrWhy.
bool RedirectAllowed(const std::string& strFrom, const std::string& strTo, std::string* pstrWhy);

// A fetched and checked temporary file on its way to its target: its bytes
// are written but perhaps not yet on disk. Used by one thread at a time.
class IStagedFile {
public:
    // Removes the temporary file unless Replace moved it.
    virtual ~IStagedFile() = default;
    // Puts the file's bytes on disk.
    virtual bool Flush(std::string* pstrWhy) = 0;
    // Moves the file over its target in one step (replacing it); only after Flush.
    virtual bool Replace(std::string* pstrWhy) = 0;
};

// The network and file system seen by RunTransfer. Called on a worker thread;
// an implementation serves one transfer at a time per object.
class ITransport {
public:
    virtual ~ITransport() = default;
    // Creates the missing folders of strPath's parent. False on failure, with a reason.
    virtual bool PrepareFolders(const std::string& strTarget, std::string* pstrWhy) = 0;
    // Deletes the temporary files of this engine in strFolder whose writing
    // process has ended (a killed or crashed run).
    virtual void SweepStaleTemps(const std::string& strFolder) = 0;
    // Fetches strUrl into strTemp (which must not exist yet), checks the
    // length against Content-Length and nMaxBytes and, when strMD5 is not
    // empty, the digest. The file need not be on disk yet. On failure strTemp
    // may be left behind; RunTransfer removes it. bReuse: a release file
    // with its digest, for strTarget; the transport may then build it from
    // what the disk holds (the older target, a cut run's partial file) and
    // keep what arrives for a later attempt, in a file of its own.
    virtual Failure Fetch(const std::string& strUrl, const std::string& strTemp,
                          const std::string& strTarget, const std::string& strMD5,
                          std::uint64_t nMaxBytes, bool bReuse,
                          const std::function<bool()>& isCancelled, std::string* pstrWhy) = 0;
    // The SHA-256 (lower-case hexadecimal) and size of the file the fetch
    // that just succeeded wrote; false with a reason when it cannot be read.
    virtual bool WrittenSha256(std::string* pstrSha256, std::uint64_t* pnSize,
                               std::string* pstrWhy) = 0;
    // The file of the fetch that just succeeded proved wrong: nothing of it
    // may be kept for a later attempt (RunTransfer removes it after).
    virtual void DropKept() = 0;
    // Takes over the file of the fetch that just succeeded, for strTarget.
    virtual std::unique_ptr<IStagedFile> Stage(const std::string& strTemp,
                                               const std::string& strTarget) = 0;
    virtual void Remove(const std::string& strTemp) = 0;
};

struct TransferJob {
    unsigned nTaskId = 0;
    unsigned nBatchId = 0;
    int nCommandCode = 0;
    DownLoadRequest request{};
    // What the updater said of the file beyond its MD5 (IDownLoadExpect):
    // its size (kDownLoadSizeUnknown when it said nothing) and SHA-256.
    std::uint64_t nExpectedSize = kDownLoadSizeUnknown;
    std::string strSha256;
};

struct TransferResult {
    TransferJob job;
    Failure eFailure = Failure::kNone;  // kNone when the file was saved
    unsigned nAttempts = 0;
    std::string strLocalPath;
    std::string strLog;  // one line per failed attempt, for the engine's log
    // A fetched file that waits for CommitGroup; the target is untouched until then.
    std::shared_ptr<IStagedFile> staged;
};

// What RunTransfer needs beside the job: attempts per address, the parts of
// the temporary names (see TempPathFor) and the size bound of files that are
// not manifests.
struct TransferSettings {
    unsigned nPerAddress = 2;
    std::uint32_t nProcessId = 0;
    std::uint32_t nNonce = 0;
    std::uint64_t nMaxFileBytes = kDefaultMaxFileBytes;
};

// Fetches one request with the policy above for szSaveDir\szSaveName. The
// target's folder is swept of stale temporary files first. A success leaves
// the complete, checked file staged in the result, for CommitGroup; on
// failure no temporary file of this transfer remains.
TransferResult RunTransfer(const TransferJob& job, ITransport& transport,
                           const TransferSettings& settings,
                           const std::function<bool()>& isCancelled);

// Puts the staged files of these results in place: every file is flushed
// before any is moved, so that one journal commit of the file system can
// carry the whole group instead of one commit per file. A file that cannot
// be flushed or moved turns its result into a local failure with its reason
// and leaves its target untouched. The staged files are gone afterwards.
void CommitGroup(const std::vector<TransferResult*>& results);

// Expected digest text against the computed one (lower-case hexadecimal);
// the expected text is compared without regard to case.
bool DigestMatches(const std::string& strExpected, const std::string& strActual);

// A Content-Length header value as an unsigned decimal number (blanks around
// it allowed); false for anything else, including overflow.
bool ParseContentLength(const std::string& strValue, std::uint64_t* pnLength);

// A Content-Range header value "bytes FIRST-LAST/TOTAL" (blanks around it
// allowed); false for anything else, an unknown total ("*") included, and
// for a range that does not lie inside its total.
bool ParseContentRange(const std::string& strValue, std::uint64_t* pnFirst, std::uint64_t* pnLast,
                       std::uint64_t* pnTotal);

// The text of a fixed-size record field, up to its first zero byte or its end.
std::string FieldText(const char* pszField, std::size_t cbField);

}  // namespace pellowd
