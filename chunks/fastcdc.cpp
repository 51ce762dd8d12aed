#include "chunks/fastcdc.h"

#include <cstring>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace chunks {

namespace {

// The gear table: 256 pseudo-random words from splitmix64 with a fixed seed,
// made once. A table in the source would be 256 lines of noise; the seed and
// the generator are the format.
struct GearTable {
    std::uint64_t value[256];
    GearTable() {
        std::uint64_t x = 0x5A49564348554E4Bull;  // "ZIVCHUNK"
        for (std::uint64_t& v : value) {
            x += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            v = z ^ (z >> 31);
        }
    }
};
const GearTable kGear;

// The gear hash shifts one bit a byte, so its high bits see the last 64
// bytes and its low bits only the last few: the masks take the high bits.
// Before the average length a cut needs 15 clear bits, after it 11, which
// pulls lengths towards the average (normalized chunking, level 2).
const std::uint64_t kMaskSmall = 0xFFFCull << 48;  // 14 bits
const std::uint64_t kMaskLarge = 0xFFC0ull << 48;  // 10 bits

void PutLe64(std::uint64_t v, unsigned char* p) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

Hash128 HashBytes(const void* pData, std::size_t cb) {
    const XXH128_hash_t h = XXH3_128bits(pData, cb);
    Hash128 hash;
    hash.lo = h.low64;
    hash.hi = h.high64;
    return hash;
}

std::size_t FindCut(const unsigned char* p, std::size_t cb) {
    if (cb <= kMinChunk)
        return cb;
    const std::size_t nNormal = cb < kAvgChunk ? cb : kAvgChunk;
    const std::size_t nEnd = cb < kMaxChunk ? cb : kMaxChunk;
    std::uint64_t fp = 0;
    std::size_t i = kMinChunk;
    for (; i < nNormal; ++i) {
        fp = (fp << 1) + kGear.value[p[i]];
        if ((fp & kMaskSmall) == 0)
            return i + 1;
    }
    for (; i < nEnd; ++i) {
        fp = (fp << 1) + kGear.value[p[i]];
        if ((fp & kMaskLarge) == 0)
            return i + 1;
    }
    return nEnd;
}

void PutChunkRecord(std::uint32_t nLength, const Hash128& hash, unsigned char* pOut) {
    for (int i = 0; i < 4; ++i)
        pOut[i] = static_cast<unsigned char>(nLength >> (8 * i));
    PutLe64(hash.lo, pOut + 4);
    PutLe64(hash.hi, pOut + 12);
}

CChunker::CChunker(ChunkSink onChunk, SpanSink onSpan)
    : m_onChunk(std::move(onChunk)), m_onSpan(std::move(onSpan)), m_buffer(8 * kMaxChunk) {
    m_spanRecords.reserve(kSpanMaxChunks * kChunkRecordBytes);
}

void CChunker::Feed(const void* pData, std::size_t cb) {
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    m_nFed += cb;
    while (cb > 0) {
        if (m_nFilled == m_buffer.size()) {
            Cut(false);
            // Keep the unfinished chunk at the front for the next bytes.
            std::memmove(m_buffer.data(), m_buffer.data() + m_nStart, m_nFilled - m_nStart);
            m_nFilled -= m_nStart;
            m_nStart = 0;
        }
        std::size_t n = m_buffer.size() - m_nFilled;
        if (n > cb)
            n = cb;
        std::memcpy(m_buffer.data() + m_nFilled, p, n);
        m_nFilled += n;
        p += n;
        cb -= n;
    }
}

void CChunker::Finish() {
    Cut(true);
    EndSpan();
}

void CChunker::Cut(bool bFinal) {
    // Without the end of the stream a cut needs a whole maximal chunk at
    // hand, or it could fall where more bytes would have moved it.
    while (m_nFilled > m_nStart && (bFinal || m_nFilled - m_nStart >= kMaxChunk)) {
        const unsigned char* p = m_buffer.data() + m_nStart;
        const std::size_t n = FindCut(p, m_nFilled - m_nStart);
        AddChunk(static_cast<std::uint32_t>(n), p);
        m_nStart += n;
    }
}

void CChunker::AddChunk(std::uint32_t nLength, const unsigned char* p) {
    Chunk chunk;
    chunk.nOffset = m_nOffset;
    chunk.nLength = nLength;
    chunk.hash = HashBytes(p, nLength);
    m_nOffset += nLength;
    if (m_onChunk)
        m_onChunk(chunk);
    if (m_span.nChunks == 0)
        m_span.nOffset = chunk.nOffset;
    m_span.nLength += nLength;
    ++m_span.nChunks;
    unsigned char record[kChunkRecordBytes];
    PutChunkRecord(nLength, chunk.hash, record);
    m_spanRecords.insert(m_spanRecords.end(), record, record + sizeof(record));
    if ((chunk.hash.lo & kSpanMask) == 0 || m_span.nChunks == kSpanMaxChunks)
        EndSpan();
}

void CChunker::EndSpan() {
    if (m_span.nChunks == 0)
        return;
    m_span.hash = HashBytes(m_spanRecords.data(), m_spanRecords.size());
    if (m_onSpan)
        m_onSpan(m_span);
    m_span = Span();
    m_spanRecords.clear();
}

}  // namespace chunks
