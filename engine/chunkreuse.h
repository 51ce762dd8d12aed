// Rebuilding a large file from the chunks the disk already holds: the
// portable half of the engine's chunk reuse. It reads the published chunk
// index by ranges, scans the local files, plans, copies what it may and
// fetches the rest of the plain release file by ranges, checking every
// fetched chunk against the index and the whole result against its digest.
// The network and the disk sit behind IChunkIo: WinINet and Win32 files in
// the engine, memory in the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "transfer.h"

namespace pellowd {

class IChunkIo {
public:
    enum class Resource { kIndex, kFile };
    // Receives the bytes of one answer in order; false (with a reason)
    // stops the transfer.
    typedef std::function<bool(const unsigned char* p, std::size_t cb, std::string* pstrWhy)> Sink;

    virtual ~IChunkIo() = default;
    // One request for bytes [nFirst, nFirst + nLength) of the release file
    // or of its index. kNone only for a 206 answer whose range is exactly
    // the one asked for and whose body arrived whole; the index alone may
    // answer a range that reaches past its end with the part up to its end.
    // *pnTotal is the size of the whole resource the answer named. A 404 of
    // the index is kRefused.
    virtual Failure GetRange(Resource eWhat, std::uint64_t nFirst, std::uint64_t nLength,
                             std::uint64_t* pnTotal, const Sink& sink, std::string* pstrWhy) = 0;
    // The local files that may hold chunks of the new file.
    virtual std::uint32_t SourceCount() = 0;
    // Up to cb bytes of source nSource at nOffset; *pcbRead is 0 at its end.
    virtual bool ReadSource(std::uint32_t nSource, std::uint64_t nOffset, unsigned char* p,
                            std::size_t cb, std::size_t* pcbRead, std::string* pstrWhy) = 0;
    // Whether the new file, nBytes long, fits on its disk; asked before the
    // first Write.
    virtual bool Reserve(std::uint64_t nBytes, std::string* pstrWhy) = 0;
    // Appends to the new file.
    virtual bool Write(const unsigned char* p, std::size_t cb, std::string* pstrWhy) = 0;
    virtual bool Cancelled() = 0;
};

struct ReuseStats {
    std::uint64_t nFileBytes = 0;
    std::uint64_t nReused = 0;      // copied from local files
    std::uint64_t nFetched = 0;     // file bytes fetched
    std::uint64_t nIndexBytes = 0;  // index bytes fetched
    unsigned nRequests = 0;
};

// Fetched runs separated by at most this many bytes of local chunks become
// one request: the gap costs less than another round trip.
const std::uint64_t kMergeGapBytes = 32 * 1024;

// Builds the file whose digest is strMD5 (at most nMaxBytes) into io's new
// file. kNone: it holds exactly that file. kCancelled and kLocal end the
// request as they would any fetch. Any other failure means the index or the
// server's ranges could not be used (missing, malformed, hostile, answered
// whole or otherwise than asked, chunks that do not match): the caller
// fetches the whole file, so a server that misbehaves costs bytes, never
// correctness. The new file then holds an unknown part of what was planned.
Failure RebuildFromChunks(IChunkIo& io, const std::string& strMD5, std::uint64_t nMaxBytes,
                          ReuseStats* pStats, std::string* pstrWhy);

}  // namespace pellowd
