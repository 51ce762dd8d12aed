// Rebuilding a file from local chunks against a scripted server: what is
// fetched, and that a server or index that misbehaves ends in a fallback
// (the whole-file fetch), never in a wrong file.
#include "chunkreuse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "chunks/chunkindex.h"
#include "kelmar/md5.h"

namespace pellowd {
namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Pseudo(std::size_t n, std::uint64_t seed) {
    Bytes bytes(n);
    std::uint64_t x = seed;
    for (unsigned char& b : bytes) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        b = static_cast<unsigned char>(x >> 56);
    }
    return bytes;
}

std::string Md5Of(const Bytes& bytes) {
    MD5 md5;
    md5.update(bytes.data(), static_cast<unsigned int>(bytes.size()));
    return md5.toString();
}

std::string IndexOf(const Bytes& bytes) {
    chunks::CIndexWriter writer;
    writer.Chunker().Feed(bytes.data(), bytes.size());
    writer.Chunker().Finish();
    unsigned char md5[16];
    chunks::DigestBytes(Md5Of(bytes), md5);
    return writer.Finish(md5);
}

// The server's faults, each one a way an index or a range can go wrong.
enum class Fault {
    kNone,
    kNoIndex,
    kIndexOfOther,
    kIndexCut,
    kRangeFails,
    kBytesDiffer,
    kChangesMidway
};

class FakeIo : public IChunkIo {
public:
    Bytes file;
    std::string index;
    Fault eFault = Fault::kNone;
    std::vector<Bytes> sources;
    Bytes written;
    std::uint64_t nFileBytesServed = 0;
    unsigned nFileRanges = 0;

    Failure GetRange(Resource eWhat, std::uint64_t nFirst, std::uint64_t nLength,
                     std::uint64_t* pnTotal, const Sink& sink, std::string* pstrWhy) override {
        std::string strBody;
        if (eWhat == Resource::kIndex) {
            if (eFault == Fault::kNoIndex) {
                *pstrWhy = "HTTP status 404";
                return Failure::kRefused;
            }
            const std::string& text = index;
            if (nFirst >= text.size())
                return Failure::kServer;
            strBody = text.substr(nFirst, nLength);
            *pnTotal = text.size();
        } else {
            ++nFileRanges;
            if (eFault == Fault::kRangeFails) {
                *pstrWhy = "range answered with the whole file";
                return Failure::kServer;
            }
            if (eFault == Fault::kChangesMidway && nFileRanges == 2)
                file.push_back(0);  // a new release went up
            if (nFirst + nLength > file.size()) {
                *pstrWhy = "HTTP status 416";
                return Failure::kServer;
            }
            strBody.assign(reinterpret_cast<const char*>(file.data()) + nFirst, nLength);
            *pnTotal = file.size();
            nFileBytesServed += nLength;
        }
        // Handed over in uneven pieces, as a network does.
        for (std::size_t i = 0; i < strBody.size(); i += 3001) {
            const std::size_t n = std::min<std::size_t>(3001, strBody.size() - i);
            if (!sink(reinterpret_cast<const unsigned char*>(strBody.data()) + i, n, pstrWhy))
                return Failure::kLocal;
        }
        return Failure::kNone;
    }
    std::uint32_t SourceCount() override { return static_cast<std::uint32_t>(sources.size()); }
    bool ReadSource(std::uint32_t nSource, std::uint64_t nOffset, unsigned char* p, std::size_t cb,
                    std::size_t* pcbRead, std::string*) override {
        const Bytes& source = sources.at(nSource);
        *pcbRead =
            nOffset >= source.size()
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(cb, source.size() - nOffset));
        std::memcpy(p, source.data() + nOffset, *pcbRead);
        return true;
    }
    bool Reserve(std::uint64_t nBytes, std::string* pstrWhy) override {
        if (nBytes <= nFreeBytes)
            return true;
        *pstrWhy = "disk full";
        return false;
    }
    std::uint64_t nFreeBytes = UINT64_MAX;
    bool Write(const unsigned char* p, std::size_t cb, std::string*) override {
        written.insert(written.end(), p, p + cb);
        return true;
    }
    bool Cancelled() override { return false; }
};

TEST(ChunkReuse, FetchesWhatChangedAndFallsBackOnAnyFault) {
    const std::size_t kSize = 3 * 1024 * 1024;
    const Bytes old = Pseudo(kSize, 1);
    // The new release: four regions rewritten, 30 KiB inserted, 10 KiB removed.
    Bytes now = old;
    for (std::size_t at : {100000u, 900000u, 1700000u, 2500000u}) {
        const Bytes fresh = Pseudo(20000, at);
        std::copy(fresh.begin(), fresh.end(), now.begin() + at);
    }
    const Bytes inserted = Pseudo(30000, 99);
    now.insert(now.begin() + 1300000, inserted.begin(), inserted.end());
    now.erase(now.begin() + 2100000, now.begin() + 2110000);
    const Bytes partial(now.begin(), now.begin() + 2000000);  // a cut run's verified prefix

    struct Case {
        const char* pszName;
        std::vector<Bytes> sources;
        Fault eFault;
        bool bRebuilt;
        std::uint64_t nMostFetched;  // file bytes, when rebuilt
        std::uint64_t nFree = UINT64_MAX;
    };
    const Case cases[] = {
        {"older file", {old}, Fault::kNone, true, 4 * 20000 + 30000 + 8 * chunks::kMaxChunk},
        {"older file and a partial",
         {old, partial},
         Fault::kNone,
         true,
         2 * 20000 + 8 * chunks::kMaxChunk},
        {"the same file", {now}, Fault::kNone, true, 0},
        {"nothing local", {}, Fault::kNone, true, kSize + 30000},
        {"no index", {old}, Fault::kNoIndex, false, 0},
        {"index of another file", {old}, Fault::kIndexOfOther, false, 0},
        {"index cut short", {old}, Fault::kIndexCut, false, 0},
        {"ranges refused", {old}, Fault::kRangeFails, false, 0},
        {"served bytes differ from the index", {old}, Fault::kBytesDiffer, false, 0},
        {"file replaced between two ranges", {old}, Fault::kChangesMidway, false, 0},
        {"no room on the disk", {old}, Fault::kNone, false, 0, kSize},
    };
    const std::string strIndex = IndexOf(now);
    for (const Case& c : cases) {
        FakeIo io;
        io.file = now;
        io.index = strIndex;
        io.sources = c.sources;
        io.eFault = c.eFault;
        io.nFreeBytes = c.nFree;
        if (c.eFault == Fault::kIndexOfOther)
            io.index = IndexOf(old);
        if (c.eFault == Fault::kIndexCut)
            io.index.resize(io.index.size() - chunks::kChunkRecordBytes);
        if (c.eFault == Fault::kBytesDiffer)
            io.file[1730100] ^= 1;  // in a rewritten region: fetched
        ReuseStats stats;
        std::string strWhy;
        const Failure eFailure = RebuildFromChunks(io, Md5Of(now), 1ull << 32, &stats, &strWhy);
        if (c.bRebuilt) {
            EXPECT_EQ(Failure::kNone, eFailure) << c.pszName << ": " << strWhy;
            EXPECT_TRUE(io.written == now) << c.pszName;
            EXPECT_LE(io.nFileBytesServed, c.nMostFetched) << c.pszName;
            EXPECT_EQ(stats.nFetched + stats.nReused, now.size()) << c.pszName;
        } else if (c.nFree != UINT64_MAX) {
            // A full disk ends the request as it would a whole fetch, before a byte is written.
            EXPECT_EQ(Failure::kLocal, eFailure) << c.pszName;
            EXPECT_TRUE(io.written.empty()) << c.pszName;
        } else {
            EXPECT_NE(Failure::kNone, eFailure) << c.pszName;
            EXPECT_NE(Failure::kLocal, eFailure) << c.pszName << ": " << strWhy;
            EXPECT_NE(Failure::kCancelled, eFailure) << c.pszName;
            EXPECT_FALSE(strWhy.empty()) << c.pszName;
        }
    }
}

}  // namespace
}  // namespace pellowd
