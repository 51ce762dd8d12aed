// The way of one request: which address is tried when, and that the target
// is replaced only by a complete, checked file. The network and disk are a
// scripted fake; the real ones are exercised under Wine.
#include "transfer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace pellowd {
namespace {

TEST(RetryPolicy, AddressesTriedInOrder) {
    using F = Failure;
    struct Case {
        const char* pszName;
        std::string strUrl, strReserve;
        std::vector<F> outcomes;  // fed back after each attempt, in order
        std::vector<std::string> wantTried;
    };
    const Case cases[] = {
        {"first try works", "p", "r", {F::kNone}, {"p"}},
        {"network twice, then reserve",
         "p",
         "r",
         {F::kNetwork, F::kNetwork, F::kNone},
         {"p", "p", "r"}},
        {"404 moves on at once", "p", "r", {F::kRefused, F::kNone}, {"p", "r"}},
        {"wrong bytes move on at once", "p", "r", {F::kContent, F::kNone}, {"p", "r"}},
        {"server error retried, wrong bytes not",
         "p",
         "r",
         {F::kServer, F::kContent, F::kContent},
         {"p", "p", "r"}},
        {"all fail",
         "p",
         "r",
         {F::kNetwork, F::kContent, F::kServer, F::kNetwork},
         {"p", "p", "r", "r"}},
        {"404 on both", "p", "r", {F::kRefused, F::kRefused}, {"p", "r"}},
        {"local failure ends it", "p", "r", {F::kLocal}, {"p"}},
        {"cancel ends it", "p", "r", {F::kNetwork, F::kCancelled}, {"p", "p"}},
        {"no reserve", "p", "", {F::kNetwork, F::kNetwork}, {"p", "p"}},
        {"no primary", "", "r", {F::kRefused}, {"r"}},
        {"nothing at all", "", "", {}, {}},
    };
    for (const Case& c : cases) {
        CRetryPolicy policy(c.strUrl, c.strReserve, 2);
        std::vector<std::string> tried;
        std::string strUrl;
        std::size_t nNext = 0;
        while (policy.Next(&strUrl)) {
            tried.push_back(strUrl);
            ASSERT_LT(nNext, c.outcomes.size()) << c.pszName << ": tried more than scripted";
            policy.Report(c.outcomes[nNext++]);
        }
        EXPECT_EQ(c.wantTried, tried) << c.pszName;
        EXPECT_FALSE(policy.Next(&strUrl)) << c.pszName << ": stays finished";
    }
}

TEST(Transfer, DigestAndLength) {
    EXPECT_TRUE(
        DigestMatches("d41d8cd98f00b204e9800998ecf8427e", "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_TRUE(
        DigestMatches("D41D8CD98F00B204E9800998ECF8427E", "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(
        DigestMatches("d41d8cd98f00b204e9800998ecf8427f", "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(
        DigestMatches("d41d8cd98f00b204e9800998ecf8427", "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(DigestMatches("d41d8cd98f00b204e9800998ecf8427e", ""));  // a failed hash

    struct Case {
        const char* pszText;
        bool bOk;
        std::uint64_t nWant;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"16384", true, 16384},
        {" 536870912 ", true, 536870912ull},
        {"5000000000", true, 5000000000ull},
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"12a", false, 0},
        {"1 2", false, 0},
    };
    for (const Case& c : cases) {
        std::uint64_t n = 7;
        EXPECT_EQ(c.bOk, ParseContentLength(c.pszText, &n)) << c.pszText;
        if (c.bOk) {
            EXPECT_EQ(c.nWant, n) << c.pszText;
        }
    }

    // What a range answer says it holds: exactly one range inside its total.
    struct RangeCase {
        const char* pszText;
        bool bOk;
        std::uint64_t nFirst, nLast, nTotal;
    };
    const RangeCase ranges[] = {
        {"bytes 0-65535/209715200", true, 0, 65535, 209715200},
        {" bytes 5000000000-5000000001/5000000002 ", true, 5000000000ull, 5000000001ull,
         5000000002ull},
        {"bytes 7-7/8", true, 7, 7, 8},
        {"bytes 7-8/8", false, 0, 0, 0},   // past the end
        {"bytes 9-8/20", false, 0, 0, 0},  // backwards
        {"bytes 0-9/*", false, 0, 0, 0},   // unknown total
        {"bytes */20", false, 0, 0, 0},    // the answer of a 416
        {"bytes=0-9/20", false, 0, 0, 0},
        {"items 0-9/20", false, 0, 0, 0},
        {"bytes 0-9,20-29/40", false, 0, 0, 0},
    };
    for (const RangeCase& c : ranges) {
        std::uint64_t nFirst = 0, nLast = 0, nTotal = 0;
        EXPECT_EQ(c.bOk, ParseContentRange(c.pszText, &nFirst, &nLast, &nTotal)) << c.pszText;
        EXPECT_EQ(c.nFirst + c.nLast + c.nTotal, nFirst + nLast + nTotal) << c.pszText;
    }
}

// A disk of named contents and a network of scripted answers per address.
class FakeTransport : public ITransport {
public:
    class Staged : public IStagedFile {
    public:
        Staged(FakeTransport& net, std::string strTemp, std::string strTarget)
            : m_net(net), m_strTemp(std::move(strTemp)), m_strTarget(std::move(strTarget)) {}
        ~Staged() override {
            if (!m_bReplaced)
                m_net.disk.erase(m_strTemp);
        }
        bool Flush(std::string* pstrWhy) override {
            m_net.events.push_back("flush " + m_strTarget);
            m_bFlushed = m_net.flushFails.count(m_strTarget) == 0;
            if (!m_bFlushed)
                *pstrWhy = "disk full";
            return m_bFlushed;
        }
        bool Replace(std::string* pstrWhy) override {
            m_net.events.push_back("replace " + m_strTarget);
            EXPECT_TRUE(m_bFlushed) << "replaced before its flush: " << m_strTarget;
            if (m_net.replaceFails.count(m_strTarget) != 0) {
                *pstrWhy = "locked";
                return false;
            }
            m_net.disk[m_strTarget] = m_net.disk[m_strTemp];
            m_net.disk.erase(m_strTemp);
            m_bReplaced = true;
            return true;
        }

    private:
        FakeTransport& m_net;
        const std::string m_strTemp, m_strTarget;
        bool m_bFlushed = false, m_bReplaced = false;
    };

    struct Answer {
        Failure eFailure;
        std::string strBody;   // written to the temporary file, complete or not
        bool bThrows = false;  // then out of memory, as the pipe's buffers or threads may be
    };
    std::map<std::string, std::string> disk;
    std::map<std::string, std::deque<Answer>> answers;
    std::vector<std::string> fetched;
    std::vector<std::uint64_t> maxBytes;  // the bound of each fetch
    std::vector<bool> reuse;              // whether each fetch may reuse local chunks
    std::vector<std::string> swept;       // folders, in order of the sweeps
    std::vector<std::size_t> sweptAt;     // fetches done before each sweep
    std::vector<std::string> temps;       // the temporary file of each fetch
    std::vector<std::string> events;      // flushes and replaces of staged files, in order
    bool bFoldersFail = false;
    std::set<std::string> flushFails, replaceFails;  // by target

    bool PrepareFolders(const std::string&, std::string* pstrWhy) override {
        if (bFoldersFail)
            *pstrWhy = "access denied";
        return !bFoldersFail;
    }
    void SweepStaleTemps(const std::string& strFolder) override {
        sweptAt.push_back(fetched.size());
        swept.push_back(strFolder);
    }
    Failure Fetch(const std::string& strUrl, const std::string& strTemp, const std::string&,
                  const std::string&, std::uint64_t nMaxBytes, bool bReuse,
                  const std::function<bool()>&, std::string*) override {
        fetched.push_back(strUrl);
        maxBytes.push_back(nMaxBytes);
        reuse.push_back(bReuse);
        temps.push_back(strTemp);
        std::deque<Answer>& queue = answers[strUrl];
        if (queue.empty())
            return Failure::kNetwork;
        Answer answer = queue.front();
        queue.pop_front();
        disk[strTemp] = answer.strBody;
        if (answer.bThrows)
            throw std::bad_alloc();
        return answer.eFailure;
    }
    // The fake's "SHA-256" of a body is the body itself.
    bool WrittenSha256(std::string* pstrSha256, std::uint64_t* pnSize, std::string*) override {
        *pstrSha256 = disk[temps.back()];
        *pnSize = pstrSha256->size();
        return true;
    }
    void DropKept() override { ++nDropped; }
    unsigned nDropped = 0;
    std::unique_ptr<IStagedFile> Stage(const std::string& strTemp,
                                       const std::string& strTarget) override {
        return std::unique_ptr<IStagedFile>(new Staged(*this, strTemp, strTarget));
    }
    void Remove(const std::string& strTemp) override { disk.erase(strTemp); }
};

TransferJob MakeJob(const char* pszDir, const char* pszName, const char* pszUrl,
                    const char* pszReserve) {
    TransferJob job;
    job.nTaskId = 7;
    std::strcpy(job.request.szSaveDir, pszDir);
    std::strcpy(job.request.szSaveName, pszName);
    std::strcpy(job.request.szFileName, pszName);
    std::strcpy(job.request.szUrl, pszUrl);
    std::strcpy(job.request.szUrlReserve, pszReserve);
    return job;
}

const std::function<bool()> kNeverCancelled = [] { return false; };

// A transfer and the commit of its file, as the engine runs them for one file.
TransferResult RunAndCommit(const TransferJob& job, ITransport& net,
                            const TransferSettings& settings) {
    TransferResult r = RunTransfer(job, net, settings, kNeverCancelled);
    CommitGroup({&r});
    return r;
}

TransferSettings Settings() {
    TransferSettings settings;
    settings.nPerAddress = 2;
    settings.nProcessId = 0x51;
    settings.nNonce = 0xABCDEF01;
    settings.nMaxFileBytes = 1000000;
    return settings;
}

TEST(Transfer, ReserveUsedAfterPrimaryFails) {
    FakeTransport net;
    net.disk["C:\\g\\sub\\x.dll"] = "old";
    net.answers["http://p/x"] = {{Failure::kRefused, "404"}};
    net.answers["http://r/x"] = {{Failure::kNone, "new"}};
    TransferResult r = RunTransfer(MakeJob("C:\\g", "sub\\x.dll", "http://p/x", "http://r/x"), net,
                                   Settings(), kNeverCancelled);
    EXPECT_EQ(Failure::kNone, r.eFailure);
    EXPECT_EQ("old", net.disk["C:\\g\\sub\\x.dll"]) << "replaced before its commit";
    CommitGroup({&r});
    EXPECT_EQ(Failure::kNone, r.eFailure);
    EXPECT_FALSE(r.staged);
    EXPECT_EQ(2u, r.nAttempts);
    EXPECT_EQ("C:\\g\\sub\\x.dll", r.strLocalPath);
    EXPECT_EQ((std::vector<std::string>{"http://p/x", "http://r/x"}), net.fetched);
    EXPECT_EQ((std::map<std::string, std::string>{{"C:\\g\\sub\\x.dll", "new"}}), net.disk)
        << "target replaced, no temporary file left";
    EXPECT_EQ((std::vector<std::string>{"C:\\g\\sub"}), net.swept);
    EXPECT_EQ(std::vector<std::size_t>{0}, net.sweptAt) << "swept before the first fetch";
    EXPECT_EQ((std::vector<std::string>{"C:\\g\\sub\\~PellowD-00000051-ABCDEF01-00000007.tmp",
                                        "C:\\g\\sub\\~PellowD-00000051-ABCDEF01-00000007.tmp"}),
              net.temps);
}

// Manifests have their own size bound and are always fetched whole; a
// release file with a digest may be built from local chunks.
TEST(Transfer, ManifestsHaveTheirOwnSizeBoundAndNoReuse) {
    const char* const kMD5 = "0cc175b9c0f1b6a831c399e269772661";
    struct Case {
        int nCommand;
        std::uint64_t nFileBound, nWant;
        const char* pszMD5;
        bool bReuse;
    };
    const Case cases[] = {
        {DOWNLOAD_CMD_PLAZA_XML, kDefaultMaxFileBytes, kMaxManifestBytes, "", false},
        {DOWNLOAD_CMD_GAME_XML, kDefaultMaxFileBytes, kMaxManifestBytes, kMD5, false},
        {DOWNLOAD_CMD_GAME_XML, 4096, 4096, "", false},  // a smaller bound holds for manifests
        {DOWNLOAD_CMD_FILES, kDefaultMaxFileBytes, kDefaultMaxFileBytes, kMD5, true},
        {DOWNLOAD_CMD_FILES, 4096, 4096, "", false},  // nothing to name an index or partial by
    };
    for (const Case& c : cases) {
        FakeTransport net;
        net.answers["p"] = {{Failure::kNone, "x"}};
        TransferJob job = MakeJob("C:\\g", "x", "p", "");
        std::strcpy(job.request.szMD5, c.pszMD5);
        job.nCommandCode = c.nCommand;
        TransferSettings settings = Settings();
        settings.nMaxFileBytes = c.nFileBound;
        RunTransfer(job, net, settings, kNeverCancelled);
        EXPECT_EQ(std::vector<std::uint64_t>{c.nWant}, net.maxBytes)
            << c.nCommand << " " << c.nFileBound;
        EXPECT_EQ(std::vector<bool>{c.bReuse}, net.reuse) << c.nCommand << " " << c.pszMD5;
    }
}

TEST(Transfer, FailureOnBothAddressesLeavesTargetAlone) {
    struct Case {
        const char* pszName;
        Failure ePrimary, eReserve;
    };
    const Case cases[] = {
        {"cut mid-body", Failure::kNetwork, Failure::kNetwork},
        {"wrong digest", Failure::kContent, Failure::kContent},
        {"404 then 500", Failure::kRefused, Failure::kServer},
    };
    for (const Case& c : cases) {
        FakeTransport net;
        net.disk["C:\\g\\x.dll"] = "old";
        net.answers["p"] = {{c.ePrimary, "par"}, {c.ePrimary, "par"}};
        net.answers["r"] = {{c.eReserve, "bad"}, {c.eReserve, "bad"}};
        TransferResult r =
            RunTransfer(MakeJob("C:\\g", "x.dll", "p", "r"), net, Settings(), kNeverCancelled);
        EXPECT_EQ(c.eReserve, r.eFailure) << c.pszName;
        EXPECT_EQ((std::map<std::string, std::string>{{"C:\\g\\x.dll", "old"}}), net.disk)
            << c.pszName;
        EXPECT_NE(std::string::npos, r.strLog.find("r -> C:\\g\\x.dll")) << c.pszName << r.strLog;
    }
}

// A file whose MD5 matched is still held to the size and SHA-256 the updater
// gave, before it replaces anything; the size also bounds the transfer.
TEST(Transfer, ExpectedSizeAndSha256DecideBeforeTheMove) {
    struct Case {
        const char* pszName;
        std::uint64_t nSize;
        const char* pszSha256;
        const char* pszWant;  // the target afterwards
        unsigned nDropped;
    };
    const Case cases[] = {
        {"both match", 4, "good", "good", 0},
        {"size unknown, digest matches", kDownLoadSizeUnknown, "good", "good", 0},
        {"colliding twin on the primary", 4, "twin", "twin", 1},  // the reserve serves "twin"
        {"wrong size", 5, "good", "old", 2},
        {"neither address serves it", 4, "none", "old", 2},
    };
    for (const Case& c : cases) {
        FakeTransport net;
        net.disk["C:\\g\\x.dll"] = "old";
        net.answers["p"] = {{Failure::kNone, "good"}};
        net.answers["r"] = {{Failure::kNone, "twin"}};
        TransferJob job = MakeJob("C:\\g", "x.dll", "p", "r");
        std::strcpy(job.request.szMD5, "0cc175b9c0f1b6a831c399e269772661");
        job.nExpectedSize = c.nSize;
        job.strSha256 = c.pszSha256;
        TransferResult r = RunAndCommit(job, net, Settings());
        EXPECT_EQ(c.pszWant, net.disk["C:\\g\\x.dll"]) << c.pszName << ": " << r.strLog;
        EXPECT_EQ(c.nDropped, net.nDropped) << c.pszName;
        EXPECT_EQ(c.nSize == kDownLoadSizeUnknown ? Settings().nMaxFileBytes : c.nSize,
                  net.maxBytes.front())
            << c.pszName;
    }
}

// The worker counts a transfer that throws as failed; the temporary file
// its fetch had made must go with it.
TEST(Transfer, FetchThatThrowsLeavesNoTemporaryFile) {
    FakeTransport net;
    net.disk["C:\\g\\x.dll"] = "old";
    net.answers["p"] = {{Failure::kNone, "part", true}};
    EXPECT_THROW(RunTransfer(MakeJob("C:\\g", "x.dll", "p", "r"), net, Settings(), kNeverCancelled),
                 std::bad_alloc);
    EXPECT_EQ((std::map<std::string, std::string>{{"C:\\g\\x.dll", "old"}}), net.disk);
}

TEST(Transfer, LocalFailuresAndUnsafeNamesFetchNothing) {
    {
        FakeTransport net;
        TransferResult r = RunTransfer(MakeJob("C:\\g", "..\\Talvex.exe", "p", "r"), net,
                                       Settings(), kNeverCancelled);
        EXPECT_EQ(Failure::kLocal, r.eFailure);
        EXPECT_TRUE(net.fetched.empty());
        EXPECT_NE(std::string::npos, r.strLog.find("..\\Talvex.exe")) << r.strLog;
    }
    {
        // The target fits MAX_PATH, its temporary file would not.
        FakeTransport net;
        const std::string strDir = "C:\\" + std::string(217, 'p');
        TransferResult r = RunTransfer(MakeJob(strDir.c_str(), "a.dll", "p", "r"), net, Settings(),
                                       kNeverCancelled);
        EXPECT_EQ(Failure::kLocal, r.eFailure);
        EXPECT_TRUE(net.fetched.empty());
        EXPECT_TRUE(net.swept.empty());
    }
    {
        FakeTransport net;
        net.bFoldersFail = true;
        TransferResult r =
            RunTransfer(MakeJob("C:\\g", "a\\b", "p", "r"), net, Settings(), kNeverCancelled);
        EXPECT_EQ(Failure::kLocal, r.eFailure);
        EXPECT_TRUE(net.fetched.empty());
    }
    for (bool bFlushFails : {false, true}) {
        // A file that cannot be flushed (disk full) or a target that cannot be
        // replaced (locked) is not fetched again and again, and leaves no
        // temporary file.
        FakeTransport net;
        (bFlushFails ? net.flushFails : net.replaceFails).insert("C:\\g\\x");
        net.disk["C:\\g\\x"] = "old";
        net.answers["p"] = {{Failure::kNone, "new"}};
        TransferResult r = RunAndCommit(MakeJob("C:\\g", "x", "p", "r"), net, Settings());
        EXPECT_EQ(Failure::kLocal, r.eFailure);
        EXPECT_EQ(1u, r.nAttempts);
        EXPECT_NE(std::string::npos, r.strLog.find(bFlushFails ? "disk full" : "locked"))
            << r.strLog;
        EXPECT_EQ((std::map<std::string, std::string>{{"C:\\g\\x", "old"}}), net.disk);
    }
}

TEST(Transfer, GroupCommitFlushesEveryFileBeforeReplacingAny) {
    // Three files committed together; the middle one cannot be flushed. It
    // alone fails, the others land, and no file is moved before the flushes.
    FakeTransport net;
    net.flushFails.insert("C:\\g\\b");
    std::vector<TransferResult> results;
    for (const char* pszName : {"a", "b", "c"}) {
        net.answers[pszName] = {{Failure::kNone, std::string("new ") + pszName}};
        TransferJob job = MakeJob("C:\\g", pszName, pszName, "");
        job.nTaskId = static_cast<unsigned>(results.size() + 1);
        results.push_back(RunTransfer(job, net, Settings(), kNeverCancelled));
    }
    std::vector<TransferResult*> group;
    for (TransferResult& r : results)
        group.push_back(&r);
    CommitGroup(group);
    EXPECT_EQ((std::vector<std::string>{"flush C:\\g\\a", "flush C:\\g\\b", "flush C:\\g\\c",
                                        "replace C:\\g\\a", "replace C:\\g\\c"}),
              net.events);
    EXPECT_EQ(Failure::kNone, results[0].eFailure);
    EXPECT_EQ(Failure::kLocal, results[1].eFailure);
    EXPECT_EQ(Failure::kNone, results[2].eFailure);
    EXPECT_EQ((std::map<std::string, std::string>{{"C:\\g\\a", "new a"}, {"C:\\g\\c", "new c"}}),
              net.disk)
        << "the unflushed file is neither in place nor left behind";
}

TEST(Transfer, CancelledBeforeAnAttemptFetchesNothing) {
    FakeTransport net;
    TransferResult r =
        RunTransfer(MakeJob("C:\\g", "x", "p", "r"), net, Settings(), [] { return true; });
    EXPECT_EQ(Failure::kCancelled, r.eFailure);
    EXPECT_TRUE(net.fetched.empty());
}

TEST(ProgressGuard, SlowButSteadyPassesDripsAndEndlessBodiesEnd) {
    using V = CProgressGuard::Verdict;
    RateLimits limits;
    limits.nWindowMs = 2000;
    limits.nMinBytesPerSecond = 1024;
    limits.nBaseDeadlineMs = 6000;
    const auto steady = [](std::uint32_t nPer100) {
        return [nPer100](std::uint32_t) { return nPer100; };
    };
    struct Case {
        const char* pszName;
        std::uint32_t dwStart;  // tick count at the start (near the wrap for one)
        std::uint64_t nLength;  // announced; 0: none
        std::function<std::uint32_t(std::uint32_t dwAt)> bytesAt;  // every 100 ms
        std::uint32_t dwRunMs;
        V eWant;                 // the first verdict other than kOk, or kOk
        std::uint32_t dwWantAt;  // when the rule calls for it, in ms from the start
    };
    const Case cases[] = {
        {"5 KB/s, 16 KiB file", 1000, 16384, steady(512), 3300, V::kOk, 0},
        {"5 KB/s across the tick wrap", 0xFFFFF000u, 16384, steady(512), 3300, V::kOk, 0},
        {"1 B/s drip", 1000, 16384, [](std::uint32_t dwAt) { return dwAt % 1000 == 0 ? 1u : 0u; },
         60000, V::kTooSlow, 2000},
        {"nothing at all", 1000, 0, steady(0), 60000, V::kTooSlow, 2000},
        // Its last 3 reads are all that lies in the window 2 s after 1.3 s.
        {"stops after 1.5 s", 1000, 16384,
         [](std::uint32_t dwAt) { return dwAt <= 1500 ? 512u : 0u; }, 60000, V::kTooSlow, 3200},
        {"just above the floor, no length", 1000, 0, steady(110), 60000, V::kPastDeadline, 6100},
        // 100 KiB at 1 KiB/s extend the base deadline of 6 s by 100 s.
        {"just above the floor, known length", 1000, 102400, steady(110), 20000, V::kOk, 0},
        // 512 B every 500 ms: the window holds exactly the 2048 B the floor asks for.
        {"exactly at the floor, known length", 1000, 102400,
         [](std::uint32_t dwAt) { return dwAt % 500 == 0 ? 512u : 0u; }, 20000, V::kOk, 0},
    };
    // One guard for every row, as a worker keeps one for all its transfers:
    // nothing of one row may carry over into the next.
    CProgressGuard guard(limits);
    for (const Case& c : cases) {
        guard.Start(c.dwStart);
        if (c.nLength != 0)
            guard.SetLength(c.nLength);
        V eGot = V::kOk;
        std::uint32_t dwGotAt = 0;
        for (std::uint32_t dwAt = 100; dwAt <= c.dwRunMs && eGot == V::kOk; dwAt += 100) {
            const std::uint32_t dwNow = c.dwStart + dwAt;
            const std::uint32_t nBytes = c.bytesAt(dwAt);
            if (nBytes != 0)
                guard.Add(dwNow, nBytes);
            eGot = guard.Check(dwNow);
            dwGotAt = dwAt;
        }
        EXPECT_EQ(static_cast<int>(c.eWant), static_cast<int>(eGot)) << c.pszName;
        if (c.eWant != V::kOk) {
            // Never early; late by at most a slice of the window and a step.
            EXPECT_LE(c.dwWantAt, dwGotAt) << c.pszName;
            EXPECT_GE(c.dwWantAt + 250, dwGotAt) << c.pszName;
            EXPECT_NE("in time", guard.Describe(eGot)) << c.pszName;
        }
    }
}

TEST(Redirects, OnlyToHttpAndNeverDownFromHttps) {
    struct Case {
        const char *pszFrom, *pszTo;
        bool bAllowed;
    };
    const Case cases[] = {
        {"http://a/x", "http://b:8080/y", true},  // another host
        {"http://a/x", "https://a/x", true},
        {"https://a/x", "HTTPS://b/x", true},
        {"https://a/x", "http://a/x", false},
        {"HTTPS://a/x", "HTTP://a/x", false},
        {"http://a/x", "ftp://a/x", false},
        {"http://a/x", "file:///C:/x", false},
        {"http://a/x", "javascript:alert(1)", false},
        {"http://a/x", "//b/x", false},  // the transport resolves it before asking
    };
    for (const Case& c : cases) {
        std::string strWhy;
        EXPECT_EQ(c.bAllowed, RedirectAllowed(c.pszFrom, c.pszTo, &strWhy))
            << c.pszFrom << " -> " << c.pszTo;
        EXPECT_EQ(c.bAllowed, strWhy.empty()) << c.pszFrom << " -> " << c.pszTo;
    }
    EXPECT_EQ("https", UrlScheme("HTTPS://x"));
    EXPECT_EQ("", UrlScheme("://x"));
    EXPECT_EQ("", UrlScheme("1http://x"));
}

TEST(Transfer, FieldTextStopsAtZeroOrFieldEnd) {
    char szFull[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ("abcd", FieldText(szFull, sizeof(szFull)));
    char szShort[4] = {'a', '\0', 'c', 'd'};
    EXPECT_EQ("a", FieldText(szShort, sizeof(szShort)));
}

}  // namespace
}  // namespace pellowd
