// The per-file rule: what is read, and when a file counts as changed.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "updater/core/filedigest.h"
#include "updater/core/filerule.h"

namespace {

// Answers from a table and counts what the rule asked.
class CTableProbe : public IFileProbe {
public:
    struct Facts {
        bool bAttributes;
        std::uint64_t qwSize;
        std::string strDigest;
    };
    std::map<std::string, Facts> files;
    std::atomic<int> nSizeReads{0};
    std::atomic<int> nDigests{0};
    unsigned int nThreads = 1;
    // When set, each digest waits (a bounded while) until that many are
    // under way together, which only threads running side by side can reach.
    int nMeetAt = 0;
    std::atomic<int> nInFlight{0};
    std::atomic<int> nMostInFlight{0};
    std::string strThrowFor;

    bool Exists(const std::string& strPath) override { return files.count(strPath) != 0; }
    bool ReadSize(const std::string& strPath, std::uint64_t& qwSize) override {
        ++nSizeReads;
        const Facts& facts = files.at(strPath);
        qwSize = facts.qwSize;
        return facts.bAttributes;
    }
    std::string Digest(const std::string& strPath) override {
        ++nDigests;
        if (strPath == strThrowFor)
            throw std::runtime_error("digest of " + strPath);
        const int nNow = ++nInFlight;
        int nMost = nMostInFlight.load();
        while (nNow > nMost && !nMostInFlight.compare_exchange_weak(nMost, nNow)) {
        }
        for (int i = 0; i < 500 && nMostInFlight.load() < nMeetAt; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        --nInFlight;
        return files.at(strPath).strDigest;
    }
    unsigned int ConcurrentFiles() override { return nThreads; }
};

ManifestFileEntry Entry(const char* pszBytes, const char* pszDate) {
    ManifestFileEntry entry;
    entry.strName = "\\x";
    entry.strBytes = pszBytes;
    entry.strDate = pszDate;
    return entry;
}

TEST(SizeText, LowThirtyTwoBitsInSignedDecimal) {
    struct Case {
        std::uint64_t qwSize;
        const char* pszText;
    };
    const Case cases[] = {
        {0, "0"},
        {100, "100"},
        {0x7FFFFFFFull, "2147483647"},
        {0x80000000ull, "-2147483648"},  // 2 GiB
        {3ull << 30, "-1073741824"},     // 3 GiB
        {0xFFFFFFFFull, "-1"},
        {(1ull << 32) + 5, "5"},  // the high 32 bits play no part
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.pszText, SizeText(c.qwSize)) << c.qwSize;
}

struct RuleCase {
    const char* pszWhat;
    bool bExists;
    bool bAttributes;
    std::uint64_t qwSize;
    const char* pszDigest;
    const char* pszBytes;
    const char* pszDate;
    bool bNeeds;
    int nSizeReads;
    int nDigests;
};
const char d[] = "0cc175b9c0f1b6a831c399e269772661";
const RuleCase kRuleCases[] = {
    {"missing", false, true, 0, d, "1", d, true, 0, 0},
    {"attributes unreadable", true, false, 1, d, "1", d, true, 1, 0},
    {"size differs", true, true, 2, d, "1", d, true, 1, 0},
    {"leading zero", true, true, 100, d, "0100", d, true, 1, 0},
    {"bytes missing", true, true, 0, d, "", d, true, 1, 0},
    {"same", true, true, 1, d, "1", d, false, 1, 1},
    {"digest differs", true, true, 1, "ffff", "1", d, true, 1, 1},
    {"digest case", true, true, 1, d, "1", "0CC175B9C0F1B6A831C399E269772661", false, 1, 1},
    {"digest longer", true, true, 1, d, "1", "0cc175b9c0f1b6a831c399e2697726610", true, 1, 1},
    {"locked", true, true, 1, " ", "1", d, true, 1, 1},
    {"3 GiB, signed", true, true, 3ull << 30, d, "-1073741824", d, false, 1, 1},
    {"3 GiB, unsigned", true, true, 3ull << 30, d, "3221225472", d, true, 1, 0},
};

TEST(FileNeedsUpdate, ChecksInOrderAndReadsOnlyWhatItMust) {
    for (const RuleCase& c : kRuleCases) {
        CTableProbe probe;
        if (c.bExists)
            probe.files["C:\\P\\x"] = {c.bAttributes, c.qwSize, c.pszDigest};
        EXPECT_EQ(c.bNeeds, FileNeedsUpdate(Entry(c.pszBytes, c.pszDate), "C:\\P\\x", probe))
            << c.pszWhat;
        EXPECT_EQ(c.nSizeReads, probe.nSizeReads) << c.pszWhat;
        EXPECT_EQ(c.nDigests, probe.nDigests) << c.pszWhat;
    }
}

// A whole list gives each entry the answer the rule gives it alone, in list
// order, reading every file the rule reads and no other, however many
// threads take part.
TEST(FilesNeedingUpdate, AnswersOfTheRuleInListOrder) {
    for (unsigned int nThreads : {1u, 3u, 16u}) {
        CTableProbe probe;
        probe.nThreads = nThreads;
        std::vector<ManifestFileEntry> entries;
        std::vector<std::string> paths;
        std::vector<bool> want;
        int nWantDigests = 0;
        for (int nRound = 0; nRound < 3; ++nRound) {
            for (const RuleCase& c : kRuleCases) {
                const std::string strPath =
                    std::string("C:\\P\\") + c.pszWhat + "-" + std::to_string(nRound);
                if (c.bExists)
                    probe.files[strPath] = {c.bAttributes, c.qwSize, c.pszDigest};
                entries.push_back(Entry(c.pszBytes, c.pszDate));
                paths.push_back(strPath);
                want.push_back(c.bNeeds);
                nWantDigests += c.nDigests;
            }
        }
        EXPECT_EQ(want, FilesNeedingUpdate(entries, paths, probe)) << nThreads << " threads";
        EXPECT_EQ(nWantDigests, probe.nDigests.load()) << nThreads << " threads";
    }
    CTableProbe empty;
    empty.nThreads = 4;
    EXPECT_TRUE(FilesNeedingUpdate({}, {}, empty).empty());
}

// n installed files, each current: same size and digest as its entry.
void CurrentFiles(int n, CTableProbe& probe, std::vector<ManifestFileEntry>& entries,
                  std::vector<std::string>& paths) {
    for (int i = 0; i < n; ++i) {
        paths.push_back("C:\\P\\f" + std::to_string(i));
        probe.files[paths.back()] = {true, 1, d};
        entries.push_back(Entry("1", d));
    }
}

TEST(FilesNeedingUpdate, DigestsRunSideBySide) {
    CTableProbe probe;
    probe.nThreads = 4;
    probe.nMeetAt = 4;
    std::vector<ManifestFileEntry> entries;
    std::vector<std::string> paths;
    CurrentFiles(8, probe, entries, paths);
    EXPECT_EQ(std::vector<bool>(8, false), FilesNeedingUpdate(entries, paths, probe));
    EXPECT_EQ(4, probe.nMostInFlight.load());

    // One probe that allows one thread is asked on the calling thread alone.
    CTableProbe serial;
    serial.nThreads = 1;
    serial.files = probe.files;
    FilesNeedingUpdate(entries, paths, serial);
    EXPECT_EQ(1, serial.nMostInFlight.load());
}

// A digest that throws ends the whole decision with that very exception, on
// the calling thread, once the other threads have stopped.
TEST(FilesNeedingUpdate, ExceptionFromADigestReachesTheCaller) {
    CTableProbe probe;
    probe.nThreads = 4;
    std::vector<ManifestFileEntry> entries;
    std::vector<std::string> paths;
    CurrentFiles(100, probe, entries, paths);
    probe.strThrowFor = paths[5];
    try {
        FilesNeedingUpdate(entries, paths, probe);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ("digest of " + paths[5], error.what());
    }
}

// The rule over real files, with the updater's own digest routine.
class CDiskProbe : public IFileProbe {
public:
    bool Exists(const std::string& strPath) override { return access(strPath.c_str(), F_OK) == 0; }
    bool ReadSize(const std::string& strPath, std::uint64_t& qwSize) override {
        struct stat st;
        if (stat(strPath.c_str(), &st) != 0)
            return false;
        qwSize = static_cast<std::uint64_t>(st.st_size);
        return true;
    }
    std::string Digest(const std::string& strPath) override {
        return talvex::GetFileMD5(strPath.c_str());
    }
};

TEST(FileNeedsUpdate, RealFiles) {
    char szDir[] = "/tmp/filerule-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    const std::string strSmall = std::string(szDir) + "/a.txt";
    std::ofstream(strSmall, std::ios::binary) << "a";
    const std::string strHuge = std::string(szDir) + "/huge.bin";
    // A sparse file of 3 GiB: its size text is negative.
    std::ofstream(strHuge, std::ios::binary).close();
    ASSERT_EQ(0, truncate(strHuge.c_str(), 3ll << 30));

    CDiskProbe probe;
    EXPECT_FALSE(FileNeedsUpdate(Entry("1", "0cc175b9c0f1b6a831c399e269772661"), strSmall, probe));
    EXPECT_TRUE(FileNeedsUpdate(Entry("3221225472", "x"), strHuge, probe));
    EXPECT_TRUE(FileNeedsUpdate(Entry("1", "x"), std::string(szDir) + "/missing", probe));
    std::uint64_t qwSize = 0;
    ASSERT_TRUE(probe.ReadSize(strHuge, qwSize));
    EXPECT_EQ("-1073741824", SizeText(qwSize));

    std::remove(strSmall.c_str());
    std::remove(strHuge.c_str());
    rmdir(szDir);
}

}  // namespace
