#include "chunkreuse.h"

#include <cstring>
#include <map>
#include <vector>

#include "chunks/chunkindex.h"
#include "chunks/deltaplan.h"
#include "kelmar/md5.h"

namespace pellowd {

namespace {

using chunks::ChunkEntry;
using chunks::IndexHeader;
using chunks::SpanEntry;

// The first request for the index asks this much: the header and the span
// table of any file up to a gigabyte or so, in one round trip.
const std::uint64_t kIndexHead = 4 * 1024;
const std::size_t kCopyBuffer = 256 * 1024;

// A sink's refusal comes back as a local failure; for the index it is the
// server's fault, never the disk's.
Failure IndexFailure(Failure eFailure) {
    return eFailure == Failure::kLocal ? Failure::kContent : eFailure;
}

// Collects an answer into memory, refusing more than was asked.
IChunkIo::Sink Collect(std::vector<unsigned char>* pBytes, std::uint64_t nMax) {
    return [pBytes, nMax](const unsigned char* p, std::size_t cb, std::string* pstrWhy) {
        if (pBytes->size() + cb > nMax) {
            *pstrWhy = "more bytes than the range asked for";
            return false;
        }
        pBytes->insert(pBytes->end(), p, p + cb);
        return true;
    };
}

class CRebuild {
public:
    CRebuild(IChunkIo& io, std::uint64_t nMaxBytes, ReuseStats& stats)
        : m_io(io), m_nMaxBytes(nMaxBytes), m_stats(stats) {}

    Failure Run(const std::string& strMD5, std::string* pstrWhy);

private:
    Failure ReadIndex(const unsigned char (&md5)[16], std::string* pstrWhy);
    Failure ScanSources(std::string* pstrWhy);
    Failure Refine(std::map<std::uint32_t, std::vector<ChunkEntry>>* pRefined,
                   std::string* pstrWhy);
    Failure Copy(const chunks::Segment& segment, std::string* pstrWhy);
    Failure Fetch(const chunks::Segment& segment, std::string* pstrWhy);
    bool Emit(const unsigned char* p, std::size_t cb, std::string* pstrWhy);

    IChunkIo& m_io;
    const std::uint64_t m_nMaxBytes;
    ReuseStats& m_stats;
    IndexHeader m_header;
    std::vector<SpanEntry> m_spans;
    chunks::CLocalChunks m_local;
    MD5 m_digest;
    std::vector<unsigned char> m_buffer;
};

Failure CRebuild::Run(const std::string& strMD5, std::string* pstrWhy) {
    unsigned char md5[16];
    if (!chunks::DigestBytes(strMD5, md5)) {
        *pstrWhy = "no digest to name the chunk index by";
        return Failure::kContent;
    }
    Failure eFailure = ReadIndex(md5, pstrWhy);
    if (eFailure != Failure::kNone)
        return eFailure;
    m_stats.nFileBytes = m_header.nFileSize;
    m_buffer.resize(kCopyBuffer);
    if ((eFailure = ScanSources(pstrWhy)) != Failure::kNone)
        return eFailure;
    std::map<std::uint32_t, std::vector<ChunkEntry>> refined;
    if ((eFailure = Refine(&refined, pstrWhy)) != Failure::kNone)
        return eFailure;
    const std::vector<chunks::Segment> segments =
        chunks::PlanSegments(m_spans, refined, m_local, kMergeGapBytes);
    if (!m_io.Reserve(m_header.nFileSize, pstrWhy))
        return Failure::kLocal;
    for (const chunks::Segment& segment : segments) {
        if (m_io.Cancelled())
            return Failure::kCancelled;
        eFailure = segment.bFetch ? Fetch(segment, pstrWhy) : Copy(segment, pstrWhy);
        if (eFailure != Failure::kNone)
            return eFailure;
    }
    const std::string strActual = m_digest.toString();
    if (!DigestMatches(strMD5, strActual)) {
        *pstrWhy = "rebuilt from chunks, digest " +
                   (strActual.empty() ? std::string("unavailable") : strActual) + ", expected " +
                   strMD5;
        return Failure::kContent;
    }
    return Failure::kNone;
}

Failure CRebuild::ReadIndex(const unsigned char (&md5)[16], std::string* pstrWhy) {
    std::vector<unsigned char> head;
    std::uint64_t nTotal = 0;
    ++m_stats.nRequests;
    Failure eFailure = m_io.GetRange(IChunkIo::Resource::kIndex, 0, kIndexHead, &nTotal,
                                     Collect(&head, kIndexHead), pstrWhy);
    m_stats.nIndexBytes += head.size();
    if (eFailure != Failure::kNone)
        return IndexFailure(eFailure);
    if (!chunks::ParseHeader(head.data(), head.size(), m_nMaxBytes, &m_header, pstrWhy))
        return Failure::kContent;
    if (std::memcmp(m_header.md5, md5, sizeof(md5)) != 0) {
        *pstrWhy = "chunk index of another file";
        return Failure::kContent;
    }
    if (nTotal != m_header.IndexBytes()) {
        *pstrWhy = "chunk index of " + std::to_string(nTotal) + " bytes, its counts say " +
                   std::to_string(m_header.IndexBytes());
        return Failure::kContent;
    }
    const std::uint64_t nTableEnd = m_header.ChunkTableOffset();
    if (head.size() < nTableEnd) {
        const std::uint64_t nMissing = nTableEnd - head.size();
        std::vector<unsigned char> rest;
        ++m_stats.nRequests;
        eFailure = m_io.GetRange(IChunkIo::Resource::kIndex, head.size(), nMissing, &nTotal,
                                 Collect(&rest, nMissing), pstrWhy);
        m_stats.nIndexBytes += rest.size();
        if (eFailure != Failure::kNone)
            return IndexFailure(eFailure);
        if (rest.size() != nMissing || nTotal != m_header.IndexBytes()) {
            *pstrWhy = "chunk index changed between two ranges";
            return Failure::kContent;
        }
        head.insert(head.end(), rest.begin(), rest.end());
    }
    if (!chunks::ParseSpans(head.data() + chunks::kHeaderBytes, m_header.SpanTableBytes(), m_header,
                            &m_spans, pstrWhy))
        return Failure::kContent;
    return Failure::kNone;
}

Failure CRebuild::ScanSources(std::string* pstrWhy) {
    for (std::uint32_t nSource = 0; nSource < m_io.SourceCount(); ++nSource) {
        chunks::CChunker chunker(
            [&](const chunks::Chunk& chunk) { m_local.AddChunk(nSource, chunk); },
            [&](const chunks::Span& span) { m_local.AddSpan(nSource, span); });
        std::uint64_t nOffset = 0;
        for (;;) {
            if (m_io.Cancelled())
                return Failure::kCancelled;
            std::size_t cbRead = 0;
            if (!m_io.ReadSource(nSource, nOffset, m_buffer.data(), m_buffer.size(), &cbRead,
                                 pstrWhy))
                return Failure::kContent;  // an unreadable old file: fetch the new one whole
            if (cbRead == 0)
                break;
            chunker.Feed(m_buffer.data(), cbRead);
            nOffset += cbRead;
        }
        chunker.Finish();
    }
    m_local.Seal();
    return Failure::kNone;
}

Failure CRebuild::Refine(std::map<std::uint32_t, std::vector<ChunkEntry>>* pRefined,
                         std::string* pstrWhy) {
    const std::vector<std::uint32_t> refine = chunks::SpansToRefine(m_spans, m_local);
    // Neighbouring spans share one range of the chunk table.
    for (std::size_t i = 0; i < refine.size();) {
        std::size_t j = i + 1;
        while (j < refine.size() && refine[j] == refine[j - 1] + 1)
            ++j;
        const SpanEntry& first = m_spans[refine[i]];
        const SpanEntry& last = m_spans[refine[j - 1]];
        const std::uint64_t nRecords = last.nFirstChunk + last.nChunks - first.nFirstChunk;
        const std::uint64_t nBytes = nRecords * chunks::kChunkRecordBytes;
        std::vector<unsigned char> records;
        std::uint64_t nTotal = 0;
        ++m_stats.nRequests;
        const Failure eFailure =
            m_io.GetRange(IChunkIo::Resource::kIndex,
                          m_header.ChunkTableOffset() +
                              std::uint64_t(first.nFirstChunk) * chunks::kChunkRecordBytes,
                          nBytes, &nTotal, Collect(&records, nBytes), pstrWhy);
        m_stats.nIndexBytes += records.size();
        if (eFailure != Failure::kNone)
            return IndexFailure(eFailure);
        if (records.size() != nBytes || nTotal != m_header.IndexBytes()) {
            *pstrWhy = "chunk index changed between two ranges";
            return Failure::kContent;
        }
        const unsigned char* p = records.data();
        for (std::size_t k = i; k < j; ++k) {
            const SpanEntry& span = m_spans[refine[k]];
            const std::size_t cb = std::size_t(span.nChunks) * chunks::kChunkRecordBytes;
            if (!chunks::ParseSpanChunks(p, cb, span, refine[k] + 1 == m_spans.size(),
                                         &(*pRefined)[refine[k]], pstrWhy))
                return Failure::kContent;
            p += cb;
        }
        i = j;
    }
    return Failure::kNone;
}

bool CRebuild::Emit(const unsigned char* p, std::size_t cb, std::string* pstrWhy) {
    if (!m_io.Write(p, cb, pstrWhy))
        return false;
    m_digest.update(p, static_cast<unsigned int>(cb));
    return true;
}

Failure CRebuild::Copy(const chunks::Segment& segment, std::string* pstrWhy) {
    std::uint64_t nDone = 0;
    while (nDone < segment.nLength) {
        std::size_t cbWant = m_buffer.size();
        if (cbWant > segment.nLength - nDone)
            cbWant = static_cast<std::size_t>(segment.nLength - nDone);
        std::size_t cbRead = 0;
        if (!m_io.ReadSource(segment.nSource, segment.nSourceOffset + nDone, m_buffer.data(),
                             cbWant, &cbRead, pstrWhy))
            return Failure::kContent;
        if (cbRead == 0) {
            *pstrWhy = "the local file shrank while it was read";
            return Failure::kContent;
        }
        if (!Emit(m_buffer.data(), cbRead, pstrWhy))
            return Failure::kLocal;
        nDone += cbRead;
    }
    m_stats.nReused += segment.nLength;
    return Failure::kNone;
}

Failure CRebuild::Fetch(const chunks::Segment& segment, std::string* pstrWhy) {
    // Each chunk is gathered, checked against the index and only then
    // written: a wrong byte never reaches the new file.
    std::vector<unsigned char> chunk;
    chunk.reserve(chunks::kMaxChunk);
    std::size_t nChunk = 0;
    bool bLocalFailure = false;
    auto sink = [&](const unsigned char* p, std::size_t cb, std::string* pstrSinkWhy) {
        while (cb > 0) {
            if (nChunk >= segment.chunks.size()) {
                *pstrSinkWhy = "more bytes than the range asked for";
                return false;
            }
            const ChunkEntry& want = segment.chunks[nChunk];
            std::size_t n = want.nLength - chunk.size();
            if (n > cb)
                n = cb;
            chunk.insert(chunk.end(), p, p + n);
            p += n;
            cb -= n;
            if (chunk.size() < want.nLength)
                continue;
            if (chunks::HashBytes(chunk.data(), chunk.size()) != want.hash) {
                *pstrSinkWhy =
                    "fetched chunk at " + std::to_string(want.nOffset) + " does not match its hash";
                return false;
            }
            if (!Emit(chunk.data(), chunk.size(), pstrSinkWhy)) {
                bLocalFailure = true;
                return false;
            }
            chunk.clear();
            ++nChunk;
        }
        return true;
    };
    std::uint64_t nTotal = 0;
    ++m_stats.nRequests;
    const Failure eFailure = m_io.GetRange(IChunkIo::Resource::kFile, segment.nOffset,
                                           segment.nLength, &nTotal, sink, pstrWhy);
    if (bLocalFailure)
        return Failure::kLocal;
    if (eFailure != Failure::kNone)
        return eFailure == Failure::kLocal ? Failure::kContent : eFailure;
    if (nChunk != segment.chunks.size() || nTotal != m_header.nFileSize) {
        *pstrWhy = "the release file is not the one the chunk index describes";
        return Failure::kContent;
    }
    m_stats.nFetched += segment.nLength;
    return Failure::kNone;
}

}  // namespace

Failure RebuildFromChunks(IChunkIo& io, const std::string& strMD5, std::uint64_t nMaxBytes,
                          ReuseStats* pStats, std::string* pstrWhy) {
    ReuseStats stats;
    CRebuild rebuild(io, nMaxBytes, stats);
    const Failure eFailure = rebuild.Run(strMD5, pstrWhy);
    if (pStats != nullptr)
        *pStats = stats;
    return eFailure;
}

}  // namespace pellowd
