// Content-defined chunking of a byte stream (FastCDC: a gear hash with
// normalized chunking) and the grouping of chunks into spans. Boundaries
// depend only on the bytes, so an edit moves the boundaries near it and no
// others: the chunks of an older file that the new one still holds are found
// wherever they now lie.
//
// Every number here is part of the published index format (CHUNK_INDEX.md):
// the publisher and the engine must cut every file the same way on every
// build, or nothing matches. Change one only with a new format version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace chunks {

const std::uint32_t kFormatVersion = 1;
// A two-level index pays for the fine list only where a file changed, so
// chunks can be smaller than a one-level index could afford: an edit costs
// about one chunk beyond the bytes it touched, and at 8 KiB on average an
// update of scattered 64 KiB edits moved more bytes than zsync's 4 KiB blocks.
const std::uint32_t kMinChunk = 1024;
const std::uint32_t kAvgChunk = 4 * 1024;
const std::uint32_t kMaxChunk = 16 * 1024;
// A span ends after a chunk whose hash has these low bits clear (one chunk
// in 64 on average, so about 300 KiB), or after kSpanMaxChunks chunks.
const std::uint64_t kSpanMask = 63;
const std::uint32_t kSpanMaxChunks = 256;
// Files below this size get no index: their whole fetch costs less than
// asking for one.
const std::uint64_t kIndexThreshold = 1024 * 1024;

// XXH3, 128 bits. It only has to tell chunks apart, not resist an attacker:
// the whole file is checked against its digest at the end.
struct Hash128 {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
};
inline bool operator==(const Hash128& a, const Hash128& b) {
    return a.lo == b.lo && a.hi == b.hi;
}
inline bool operator!=(const Hash128& a, const Hash128& b) {
    return !(a == b);
}
inline bool operator<(const Hash128& a, const Hash128& b) {
    return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
}
Hash128 HashBytes(const void* pData, std::size_t cb);

// The length of the chunk that starts at p, given the cb bytes at hand.
// When cb < kMaxChunk the caller must have no more bytes to give (the end of
// the stream): the cut may then fall at cb.
std::size_t FindCut(const unsigned char* p, std::size_t cb);

struct Chunk {
    std::uint64_t nOffset = 0;
    std::uint32_t nLength = 0;
    Hash128 hash;
};

struct Span {
    std::uint64_t nOffset = 0;
    std::uint64_t nLength = 0;
    std::uint32_t nChunks = 0;
    Hash128 hash;  // of the span's chunk records (length and hash of each)
};

// The span's hash input for one chunk: its length and hash, little-endian.
const std::size_t kChunkRecordBytes = 20;
void PutChunkRecord(std::uint32_t nLength, const Hash128& hash, unsigned char* pOut);

// Cuts a stream fed in pieces of any size into chunks and spans, reported in
// stream order as they complete. Memory stays at one fixed buffer whatever
// the stream's length. Not thread-safe.
class CChunker {
public:
    typedef std::function<void(const Chunk&)> ChunkSink;
    typedef std::function<void(const Span&)> SpanSink;
    // Either sink may be empty.
    CChunker(ChunkSink onChunk, SpanSink onSpan);
    void Feed(const void* pData, std::size_t cb);
    // The stream has ended: the rest becomes the last chunk and span.
    void Finish();
    std::uint64_t BytesFed() const { return m_nFed; }

private:
    void Cut(bool bFinal);
    void AddChunk(std::uint32_t nLength, const unsigned char* p);
    void EndSpan();

    ChunkSink m_onChunk;
    SpanSink m_onSpan;
    std::vector<unsigned char> m_buffer;
    std::size_t m_nStart = 0;   // first byte not yet in a chunk
    std::size_t m_nFilled = 0;  // bytes held
    std::uint64_t m_nFed = 0;
    std::uint64_t m_nOffset = 0;  // stream offset of m_buffer[m_nStart]
    Span m_span;
    std::vector<unsigned char> m_spanRecords;
};

}  // namespace chunks
