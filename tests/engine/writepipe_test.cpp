// The receive-write-hash pipe with a target in memory: bytes arrive whole
// and in order, flushes fall every so many bytes, the digest covers the
// bytes, and a failing target stops the receiver instead of blocking it.
#include "writepipe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "kelmar/md5.h"

namespace pellowd {
namespace {

class MemoryTarget : public CWritePipe::ITarget {
public:
    std::string data;
    std::vector<std::size_t> flushedAt;  // bytes written at each flush
    std::size_t nFailAfter = SIZE_MAX;   // a write that would pass this fails
    std::chrono::milliseconds delay{0};  // per write: a slow disk

    bool Write(const char* p, std::size_t cb, std::string* pstrWhy) override {
        std::this_thread::sleep_for(delay);
        if (data.size() + cb > nFailAfter) {
            *pstrWhy = "disk full";
            return false;
        }
        data.append(p, cb);
        return true;
    }
    bool Flush(std::string*) override {
        flushedAt.push_back(data.size());
        return true;
    }
};

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7919) >> 3);
    return s;
}

// Hands `body` over in pieces of `cbPiece` (each in its own buffer).
bool Pump(CWritePipe& pipe, const std::string& body, std::size_t cbPiece) {
    for (std::size_t nAt = 0; nAt < body.size(); nAt += cbPiece) {
        char* p = pipe.Next();
        if (p == nullptr)
            return false;
        const std::size_t cb = std::min(cbPiece, body.size() - nAt);
        std::memcpy(p, body.data() + nAt, cb);
        pipe.Put(cb);
    }
    return true;
}

TEST(WritePipe, BytesDigestAndFlushes) {
    struct Case {
        const char* pszName;
        std::size_t cbBody, cbPiece;
        bool bDigest;
        std::vector<std::size_t> flushedAt;  // with a flush every 1000 bytes
    };
    const Case cases[] = {
        {"nothing", 0, 100, true, {}},
        {"less than a flush", 999, 100, true, {}},
        {"partly filled buffers", 2500, 300, true, {1200, 2400}},
        {"no digest asked", 4096, 256, false, {1024, 2048, 3072, 4096}},
    };
    for (const Case& c : cases) {
        const std::string body = Pattern(c.cbBody);
        MemoryTarget target;
        MD5 digest;
        std::string strWhy;
        {
            CWritePipe pipe(target, c.bDigest ? &digest : nullptr, 512, 3, 1000);
            ASSERT_TRUE(Pump(pipe, body, c.cbPiece)) << c.pszName;
            EXPECT_TRUE(pipe.Close(&strWhy)) << c.pszName << ": " << strWhy;
        }
        EXPECT_TRUE(target.data == body) << c.pszName;
        EXPECT_EQ(c.flushedAt, target.flushedAt) << c.pszName;
        if (c.bDigest) {
            MD5 expected;
            expected.update(body.data(), static_cast<unsigned int>(body.size()));
            EXPECT_EQ(expected.toString(), digest.toString()) << c.pszName;
        }
    }
}

TEST(WritePipe, FailingTargetStopsTheReceiver) {
    // The disk fills after 3000 bytes of 100,000, with a slow disk so that the
    // ring is full when it fails: the receiver must not wait for ever.
    MemoryTarget target;
    target.nFailAfter = 3000;
    target.delay = std::chrono::milliseconds(1);
    MD5 digest;
    CWritePipe pipe(target, &digest, 1000, 4, 0);
    EXPECT_FALSE(Pump(pipe, Pattern(100000), 1000));
    std::string strWhy;
    EXPECT_FALSE(pipe.Close(&strWhy));
    EXPECT_EQ("disk full", strWhy);
    EXPECT_EQ(3000u, target.data.size());
}

TEST(WritePipe, AbandonedPipeEndsWithoutClose) {
    // A cancelled transfer leaves the pipe without Close: its threads end
    // with it, whatever was still queued.
    MemoryTarget target;
    target.delay = std::chrono::milliseconds(5);
    MD5 digest;
    {
        CWritePipe pipe(target, &digest, 100, 4, 0);
        ASSERT_TRUE(Pump(pipe, Pattern(400), 100));
    }
    EXPECT_LE(target.data.size(), 400u);
}

}  // namespace
}  // namespace pellowd
