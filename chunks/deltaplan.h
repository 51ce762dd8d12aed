// How a new file is built from the chunks an older copy of it holds: which
// byte ranges come from local files and which must be fetched. Pure data in,
// data out; the engine does the reading, fetching and writing.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "chunks/chunkindex.h"
#include "chunks/fastcdc.h"

namespace chunks {

// The chunks and spans of the local files (the installed older file, a
// partial of a cut run), found by their hash.
class CLocalChunks {
public:
    struct Piece {
        Hash128 hash;
        std::uint64_t nOffset = 0;
        std::uint32_t nLength = 0;
        std::uint32_t nSource = 0;
    };
    void AddChunk(std::uint32_t nSource, const Chunk& chunk);
    void AddSpan(std::uint32_t nSource, const Span& span);
    // After the last Add, before any Find.
    void Seal();
    // The local piece with this hash and length, or null.
    const Piece* FindChunk(const Hash128& hash, std::uint32_t nLength) const;
    const Piece* FindSpan(const Hash128& hash, std::uint32_t nLength) const;
    std::size_t ChunkCount() const { return m_chunks.size(); }

private:
    std::vector<Piece> m_chunks;
    std::vector<Piece> m_spans;
};

// The spans of the index that no local span matches, ascending: their chunk
// records are needed.
std::vector<std::uint32_t> SpansToRefine(const std::vector<SpanEntry>& spans,
                                         const CLocalChunks& local);

// A run of the new file: copied from a local file, or fetched (then the
// chunks it covers, each checked as it arrives).
struct Segment {
    bool bFetch = false;
    std::uint64_t nOffset = 0;  // in the new file
    std::uint64_t nLength = 0;
    std::uint32_t nSource = 0;  // copied: from where
    std::uint64_t nSourceOffset = 0;
    std::vector<ChunkEntry> chunks;  // fetched: what it holds
};

// The new file, front to back, as segments. refined holds the chunk records
// of every span SpansToRefine named. Fetched runs separated by no more than
// nMergeGap bytes of local chunks become one: a short gap costs less to
// fetch than a second request. Spans found whole locally are never fetched.
std::vector<Segment> PlanSegments(const std::vector<SpanEntry>& spans,
                                  const std::map<std::uint32_t, std::vector<ChunkEntry>>& refined,
                                  const CLocalChunks& local, std::uint64_t nMergeGap);

}  // namespace chunks
