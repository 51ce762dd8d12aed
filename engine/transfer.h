// One request's way from the addresses to its saved file: the retry policy
// and the steps around each attempt (temporary file, checks, the final
// replace). The network and the file system sit behind ITransport, so the
// rules run natively in tests and over WinINet in the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
// is not empty), each at most nPerAddress times. A "not there" answer moves
// to the next address at once (asking again will not make the file appear);
// a local failure or a cancellation ends the request (no address helps).
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

// The network and file system seen by RunTransfer. Called on a worker thread;
// an implementation serves one transfer at a time per object.
class ITransport {
public:
    virtual ~ITransport() = default;
    // Creates the missing folders of strPath's parent. False on failure, with a reason.
    virtual bool PrepareFolders(const std::string& strTarget, std::string* pstrWhy) = 0;
    // Fetches strUrl into strTemp (created or truncated), checks the length
    // against Content-Length and, when strMD5 is not empty, the digest.
    // On failure strTemp may be left behind; RunTransfer removes it.
    virtual Failure Fetch(const std::string& strUrl, const std::string& strTemp,
                          const std::string& strMD5, const std::function<bool()>& isCancelled,
                          std::string* pstrWhy) = 0;
    // Moves strTemp over strTarget in one step (replacing it).
    virtual bool Replace(const std::string& strTemp, const std::string& strTarget,
                         std::string* pstrWhy) = 0;
    virtual void Remove(const std::string& strTemp) = 0;
};

struct TransferJob {
    unsigned nTaskId = 0;
    unsigned nBatchId = 0;
    int nCommandCode = 0;
    DownLoadRequest request{};
};

struct TransferResult {
    TransferJob job;
    Failure eFailure = Failure::kNone;  // kNone when the file was saved
    unsigned nAttempts = 0;
    std::string strLocalPath;
    std::string strLog;  // one line per failed attempt, for the engine's log
};

// Fetches one request with the policy above (nPerAddress attempts per
// address) and saves it as szSaveDir\szSaveName. The target is replaced only
// by a complete, checked file; on failure it is untouched and no temporary
// file remains.
TransferResult RunTransfer(const TransferJob& job, ITransport& transport, unsigned nPerAddress,
                           const std::function<bool()>& isCancelled);

// Expected digest text against the computed one (lower-case hexadecimal);
// the expected text is compared without regard to case.
bool DigestMatches(const std::string& strExpected, const std::string& strActual);

// A Content-Length header value as an unsigned decimal number (blanks around
// it allowed); false for anything else, including overflow.
bool ParseContentLength(const std::string& strValue, std::uint64_t* pnLength);

// The text of a fixed-size record field, up to its first zero byte or its end.
std::string FieldText(const char* pszField, std::size_t cbField);

}  // namespace pellowd
