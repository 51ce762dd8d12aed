// The chunk boundaries are a published format: the publisher's build and
// every engine build must cut the same bytes the same way. The index is read
// from any server, so every field is tried hostile.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "chunks/chunkindex.h"
#include "chunks/fastcdc.h"

namespace chunks {
namespace {

std::vector<unsigned char> Pseudo(std::size_t n, std::uint64_t seed) {
    std::vector<unsigned char> bytes(n);
    std::uint64_t x = seed;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        bytes[i] = static_cast<unsigned char>(x >> 56);
    }
    return bytes;
}

struct Cut {
    std::vector<Chunk> chunks;
    std::vector<Span> spans;
};

// The stream fed in pieces of nPiece bytes: where it is cut must not depend on that.
Cut CutStream(const std::vector<unsigned char>& bytes, std::size_t nPiece) {
    Cut cut;
    CChunker chunker([&](const Chunk& c) { cut.chunks.push_back(c); },
                     [&](const Span& s) { cut.spans.push_back(s); });
    for (std::size_t i = 0; i < bytes.size(); i += nPiece)
        chunker.Feed(bytes.data() + i, std::min(nPiece, bytes.size() - i));
    chunker.Finish();
    return cut;
}

TEST(Chunker, BoundariesArePinnedAndIndependentOfFeeding) {
    const std::vector<unsigned char> bytes = Pseudo(4 * 1024 * 1024, 20261209);
    const Cut whole = CutStream(bytes, bytes.size());
    // Pinned: a change here is a new format version, never a silent one.
    const std::vector<std::uint64_t> wantFirstEnds = {2447,  7636,  16000, 20520,
                                                      27418, 32915, 38826, 43097};
    ASSERT_GE(whole.chunks.size(), wantFirstEnds.size());
    for (std::size_t i = 0; i < wantFirstEnds.size(); ++i)
        EXPECT_EQ(wantFirstEnds[i], whole.chunks[i].nOffset + whole.chunks[i].nLength) << i;
    EXPECT_EQ(900u, whole.chunks.size());
    EXPECT_EQ(16u, whole.spans.size());
    EXPECT_EQ(0x657c15cfe039869cull, whole.spans.back().hash.lo);

    std::uint64_t nOffset = 0;
    for (const Chunk& c : whole.chunks) {
        EXPECT_EQ(nOffset, c.nOffset);
        EXPECT_LE(c.nLength, kMaxChunk);
        if (&c != &whole.chunks.back()) {
            EXPECT_GE(c.nLength, kMinChunk);
        }
        nOffset += c.nLength;
    }
    EXPECT_EQ(bytes.size(), nOffset);
    for (std::size_t nPiece : {1u, 4095u, 65536u, 300000u}) {
        const Cut fed = CutStream(bytes, nPiece);
        ASSERT_EQ(whole.chunks.size(), fed.chunks.size()) << nPiece;
        for (std::size_t i = 0; i < whole.chunks.size(); ++i)
            ASSERT_EQ(whole.chunks[i].hash, fed.chunks[i].hash) << nPiece << " chunk " << i;
        ASSERT_EQ(whole.spans.size(), fed.spans.size()) << nPiece;
    }
}

TEST(Chunker, AnEditMovesOnlyTheBoundariesNearIt) {
    std::vector<unsigned char> bytes = Pseudo(2 * 1024 * 1024, 7);
    const Cut before = CutStream(bytes, bytes.size());
    const std::vector<unsigned char> inserted = Pseudo(1000, 8);
    bytes.insert(bytes.begin() + 1000000, inserted.begin(), inserted.end());
    const Cut after = CutStream(bytes, bytes.size());
    std::size_t nShared = 0;
    for (const Chunk& a : after.chunks) {
        for (const Chunk& b : before.chunks)
            nShared += a.hash == b.hash ? 1 : 0;
    }
    // At most the chunk with the insertion and its neighbour are new.
    EXPECT_GE(nShared + 3, after.chunks.size());
}

// An index of n pseudo-random bytes.
std::string IndexOf(const std::vector<unsigned char>& bytes, unsigned char (&md5)[16]) {
    CIndexWriter writer;
    writer.Chunker().Feed(bytes.data(), bytes.size());
    writer.Chunker().Finish();
    std::memset(md5, 0x5A, sizeof(md5));
    return writer.Finish(md5);
}

void PutLe32At(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

TEST(ChunkIndex, RoundTripAndHostileFields) {
    unsigned char md5[16];
    const std::vector<unsigned char> bytes = Pseudo(3 * 1024 * 1024 + 17, 3);
    const std::string good = IndexOf(bytes, md5);
    const Cut cut = CutStream(bytes, bytes.size());
    struct Case {
        const char* pszName;
        std::function<void(std::string&)> mangle;
        std::uint64_t nMaxFile;
        bool bOk;
    };
    const std::size_t nSpan0 = kHeaderBytes;
    const Case cases[] = {
        {"as written", [](std::string&) {}, 1ull << 32, true},
        {"other magic", [](std::string& s) { s[0] = 'X'; }, 1ull << 32, false},
        {"version 2", [](std::string& s) { PutLe32At(s, 4, 2); }, 1ull << 32, false},
        {"other average", [](std::string& s) { PutLe32At(s, 12, 16384); }, 1ull << 32, false},
        {"file past the cap", [](std::string&) {}, 1024 * 1024, false},
        {"more chunks than the size allows", [](std::string& s) { PutLe32At(s, 60, 0x7FFFFFFF); },
         1ull << 32, false},
        {"no spans", [](std::string& s) { PutLe32At(s, 56, 0); }, 1ull << 32, false},
        {"a span longer than its chunks can be",
         [&](std::string& s) { PutLe32At(s, nSpan0, 300 * kMaxChunk); }, 1ull << 32, false},
        {"a span with no chunk", [&](std::string& s) { PutLe32At(s, nSpan0 + 4, 0); }, 1ull << 32,
         false},
        {"spans past the file's size",
         [&](std::string& s) { PutLe32At(s, nSpan0, cut.spans[0].nLength + 1); }, 1ull << 32,
         false},
    };
    for (const Case& c : cases) {
        std::string index = good;
        c.mangle(index);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(index.data());
        IndexHeader header;
        std::vector<SpanEntry> spans;
        std::string strWhy;
        const bool bOk =
            ParseHeader(p, index.size(), c.nMaxFile, &header, &strWhy) &&
            index.size() >= header.ChunkTableOffset() &&
            ParseSpans(p + kHeaderBytes, header.SpanTableBytes(), header, &spans, &strWhy);
        EXPECT_EQ(c.bOk, bOk) << c.pszName << ": " << strWhy;
        if (!bOk || !c.bOk)
            continue;
        EXPECT_EQ(good.size(), header.IndexBytes()) << c.pszName;
        EXPECT_EQ(bytes.size(), header.nFileSize) << c.pszName;
        ASSERT_EQ(cut.spans.size(), spans.size()) << c.pszName;
        std::size_t nChunk = 0;
        for (std::size_t i = 0; i < spans.size(); ++i) {
            EXPECT_EQ(cut.spans[i].hash, spans[i].hash) << i;
            std::vector<ChunkEntry> entries;
            const unsigned char* pRecords =
                p + header.ChunkTableOffset() + spans[i].nFirstChunk * kChunkRecordBytes;
            ASSERT_TRUE(ParseSpanChunks(pRecords, spans[i].nChunks * kChunkRecordBytes, spans[i],
                                        i + 1 == spans.size(), &entries, &strWhy))
                << strWhy;
            for (const ChunkEntry& entry : entries) {
                EXPECT_EQ(cut.chunks[nChunk].hash, entry.hash) << nChunk;
                EXPECT_EQ(cut.chunks[nChunk].nOffset, entry.nOffset) << nChunk;
                ++nChunk;
            }
        }
        EXPECT_EQ(cut.chunks.size(), nChunk);
        // A chunk record of an impossible length in the middle of a span.
        std::vector<unsigned char> records(
            p + header.ChunkTableOffset(),
            p + header.ChunkTableOffset() + spans[0].nChunks * kChunkRecordBytes);
        records[0] = 1, records[1] = 0, records[2] = 0, records[3] = 0;
        std::vector<ChunkEntry> entries;
        EXPECT_FALSE(
            ParseSpanChunks(records.data(), records.size(), spans[0], false, &entries, &strWhy));
    }
}

TEST(ChunkIndex, Names) {
    EXPECT_EQ(".0cc175b9c0f1b6a831c399e269772661.cix",
              IndexSuffix("0CC175B9C0F1B6A831C399E269772661"));
    EXPECT_TRUE(LooksLikeIndexName("data\\big.pak.0cc175b9c0f1b6a831c399e269772661.CIX"));
    EXPECT_FALSE(LooksLikeIndexName("big.pak.0cc175b9c0f1b6a831c399e26977266.cix"));
    EXPECT_FALSE(LooksLikeIndexName("big.pak.0cc175b9c0f1b6a831c399e26977266x.cix"));
    EXPECT_FALSE(LooksLikeIndexName("big.cix"));
}

}  // namespace
}  // namespace chunks
