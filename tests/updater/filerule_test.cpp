// The per-file rule: what is read, and when a file counts as changed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>

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
    int nSizeReads = 0;
    int nDigests = 0;

    bool Exists(const std::string& strPath) override { return files.count(strPath) != 0; }
    bool ReadSize(const std::string& strPath, std::uint64_t& qwSize) override {
        ++nSizeReads;
        const Facts& facts = files.at(strPath);
        qwSize = facts.qwSize;
        return facts.bAttributes;
    }
    std::string Digest(const std::string& strPath) override {
        ++nDigests;
        return files.at(strPath).strDigest;
    }
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

TEST(FileNeedsUpdate, ChecksInOrderAndReadsOnlyWhatItMust) {
    struct Case {
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
    const char* d = "0cc175b9c0f1b6a831c399e269772661";
    const Case cases[] = {
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
    for (const Case& c : cases) {
        CTableProbe probe;
        if (c.bExists)
            probe.files["C:\\P\\x"] = {c.bAttributes, c.qwSize, c.pszDigest};
        EXPECT_EQ(c.bNeeds, FileNeedsUpdate(Entry(c.pszBytes, c.pszDate), "C:\\P\\x", probe))
            << c.pszWhat;
        EXPECT_EQ(c.nSizeReads, probe.nSizeReads) << c.pszWhat;
        EXPECT_EQ(c.nDigests, probe.nDigests) << c.pszWhat;
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
