#include "chunks/deltaplan.h"

#include <algorithm>

namespace chunks {

namespace {

bool PieceLess(const CLocalChunks::Piece& a, const CLocalChunks::Piece& b) {
    if (a.hash != b.hash)
        return a.hash < b.hash;
    return a.nLength < b.nLength;
}

const CLocalChunks::Piece* Find(const std::vector<CLocalChunks::Piece>& pieces, const Hash128& hash,
                                std::uint32_t nLength) {
    CLocalChunks::Piece key;
    key.hash = hash;
    key.nLength = nLength;
    auto it = std::lower_bound(pieces.begin(), pieces.end(), key, PieceLess);
    if (it == pieces.end() || it->hash != hash || it->nLength != nLength)
        return nullptr;
    return &*it;
}

// One piece of the new file before segments are formed.
struct Item {
    enum Kind { kSpanLocal, kChunkLocal, kChunkFetch } eKind;
    std::uint64_t nOffset;
    std::uint64_t nLength;
    std::uint32_t nSource;
    std::uint64_t nSourceOffset;
    ChunkEntry chunk;  // the chunk kinds
};

}  // namespace

void CLocalChunks::AddChunk(std::uint32_t nSource, const Chunk& chunk) {
    Piece piece;
    piece.hash = chunk.hash;
    piece.nOffset = chunk.nOffset;
    piece.nLength = chunk.nLength;
    piece.nSource = nSource;
    m_chunks.push_back(piece);
}

void CLocalChunks::AddSpan(std::uint32_t nSource, const Span& span) {
    Piece piece;
    piece.hash = span.hash;
    piece.nOffset = span.nOffset;
    piece.nLength = static_cast<std::uint32_t>(span.nLength);
    piece.nSource = nSource;
    m_spans.push_back(piece);
}

void CLocalChunks::Seal() {
    // Stable: of equal pieces the first source added (the installed file)
    // serves, as the plan's reads then stay in one file.
    std::stable_sort(m_chunks.begin(), m_chunks.end(), PieceLess);
    std::stable_sort(m_spans.begin(), m_spans.end(), PieceLess);
}

const CLocalChunks::Piece* CLocalChunks::FindChunk(const Hash128& hash,
                                                   std::uint32_t nLength) const {
    return Find(m_chunks, hash, nLength);
}

const CLocalChunks::Piece* CLocalChunks::FindSpan(const Hash128& hash,
                                                  std::uint32_t nLength) const {
    return Find(m_spans, hash, nLength);
}

std::vector<std::uint32_t> SpansToRefine(const std::vector<SpanEntry>& spans,
                                         const CLocalChunks& local) {
    std::vector<std::uint32_t> refine;
    for (std::uint32_t i = 0; i < spans.size(); ++i) {
        if (local.FindSpan(spans[i].hash, spans[i].nLength) == nullptr)
            refine.push_back(i);
    }
    return refine;
}

std::vector<Segment> PlanSegments(const std::vector<SpanEntry>& spans,
                                  const std::map<std::uint32_t, std::vector<ChunkEntry>>& refined,
                                  const CLocalChunks& local, std::uint64_t nMergeGap) {
    std::vector<Item> items;
    for (std::uint32_t i = 0; i < spans.size(); ++i) {
        const SpanEntry& span = spans[i];
        auto it = refined.find(i);
        if (it == refined.end()) {
            const CLocalChunks::Piece* pPiece = local.FindSpan(span.hash, span.nLength);
            if (pPiece == nullptr)
                return {};  // the caller skipped a span it had to refine
            items.push_back(Item{Item::kSpanLocal, span.nOffset, span.nLength, pPiece->nSource,
                                 pPiece->nOffset, ChunkEntry()});
            continue;
        }
        for (const ChunkEntry& chunk : it->second) {
            const CLocalChunks::Piece* pPiece = local.FindChunk(chunk.hash, chunk.nLength);
            if (pPiece != nullptr) {
                items.push_back(Item{Item::kChunkLocal, chunk.nOffset, chunk.nLength,
                                     pPiece->nSource, pPiece->nOffset, chunk});
            } else {
                items.push_back(Item{Item::kChunkFetch, chunk.nOffset, chunk.nLength, 0, 0, chunk});
            }
        }
    }

    // Fill short gaps of local chunks between two fetched runs.
    std::size_t nLastFetch = items.size();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].eKind != Item::kChunkFetch)
            continue;
        if (nLastFetch != items.size() && nLastFetch + 1 < i) {
            std::uint64_t nGap = 0;
            bool bChunksOnly = true;
            for (std::size_t j = nLastFetch + 1; j < i; ++j) {
                nGap += items[j].nLength;
                bChunksOnly = bChunksOnly && items[j].eKind == Item::kChunkLocal;
            }
            if (bChunksOnly && nGap <= nMergeGap) {
                for (std::size_t j = nLastFetch + 1; j < i; ++j)
                    items[j].eKind = Item::kChunkFetch;
            }
        }
        nLastFetch = i;
    }

    std::vector<Segment> segments;
    for (const Item& item : items) {
        const bool bFetch = item.eKind == Item::kChunkFetch;
        Segment* pLast = segments.empty() ? nullptr : &segments.back();
        const bool bJoins =
            pLast != nullptr && pLast->bFetch == bFetch &&
            (bFetch || (pLast->nSource == item.nSource &&
                        pLast->nSourceOffset + pLast->nLength == item.nSourceOffset));
        if (!bJoins) {
            segments.emplace_back();
            pLast = &segments.back();
            pLast->bFetch = bFetch;
            pLast->nOffset = item.nOffset;
            pLast->nSource = item.nSource;
            pLast->nSourceOffset = item.nSourceOffset;
        }
        pLast->nLength += item.nLength;
        if (bFetch)
            pLast->chunks.push_back(item.chunk);
    }
    return segments;
}

}  // namespace chunks
