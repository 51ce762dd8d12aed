// The chunk index published beside a large release file: what the file is
// made of, in two levels. The span table (a few bytes per half megabyte) is
// read whole; the chunk records of a span are read, by a range of the index,
// only when the reader holds no span with the same hash. The layout is in
// CHUNK_INDEX.md. Readers take every index as hostile: every parse checks
// the counts and lengths against each other and against the limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chunks/fastcdc.h"

namespace chunks {

const std::size_t kHeaderBytes = 64;
const std::size_t kSpanRecordBytes = 24;

// What the header says, with the offsets a reader needs.
struct IndexHeader {
    std::uint64_t nFileSize = 0;
    unsigned char md5[16] = {};
    std::uint32_t nSpans = 0;
    std::uint32_t nChunks = 0;
    std::uint64_t SpanTableBytes() const { return std::uint64_t(nSpans) * kSpanRecordBytes; }
    std::uint64_t ChunkTableOffset() const { return kHeaderBytes + SpanTableBytes(); }
    std::uint64_t IndexBytes() const {
        return ChunkTableOffset() + std::uint64_t(nChunks) * kChunkRecordBytes;
    }
};

struct SpanEntry {
    std::uint64_t nOffset = 0;  // in the file, from the lengths before it
    std::uint32_t nLength = 0;
    std::uint32_t nChunks = 0;
    std::uint32_t nFirstChunk = 0;  // its first record in the chunk table
    Hash128 hash;
};

struct ChunkEntry {
    std::uint64_t nOffset = 0;  // in the file
    std::uint32_t nLength = 0;
    Hash128 hash;
};

// The name of a file's index: the file's own name with this appended. It
// carries the digest, so a cache can keep an index for ever: a new file
// has a new index name. Example: ".0cc175b9c0f1b6a831c399e269772661.cix".
std::string IndexSuffix(const std::string& strMD5Hex);
// True when strName ends the way an index name does (any case).
bool LooksLikeIndexName(const std::string& strName);

// Collects what a CChunker reports and writes the index of the stream.
class CIndexWriter {
public:
    CIndexWriter();
    CChunker& Chunker() { return m_chunker; }
    // After Chunker().Finish(): the index bytes. md5 is the file's digest.
    std::string Finish(const unsigned char (&md5)[16]) const;

private:
    std::vector<Span> m_spans;
    std::vector<Chunk> m_chunks;
    CChunker m_chunker;
};

// The first kHeaderBytes of an index. False with the reason for another
// format or version, other chunking parameters, a file past nMaxFileBytes,
// or counts that cannot belong together.
bool ParseHeader(const unsigned char* p, std::size_t cb, std::uint64_t nMaxFileBytes,
                 IndexHeader* pHeader, std::string* pstrWhy);
// The span table (exactly header.SpanTableBytes() bytes): false unless the
// spans add up to the file's size and the header's chunk count, and each
// is long enough for its chunks.
bool ParseSpans(const unsigned char* p, std::size_t cb, const IndexHeader& header,
                std::vector<SpanEntry>* pSpans, std::string* pstrWhy);
// The chunk records of one span (exactly span.nChunks records): false
// unless their lengths are legal chunk lengths that add up to the span's.
// bLastSpan: the span ends the file, so its last chunk may be short.
bool ParseSpanChunks(const unsigned char* p, std::size_t cb, const SpanEntry& span, bool bLastSpan,
                     std::vector<ChunkEntry>* pChunks, std::string* pstrWhy);

// The digest text as its 16 bytes; false unless it is 32 hexadecimal digits.
bool DigestBytes(const std::string& strHex, unsigned char (&md5)[16]);

}  // namespace chunks
