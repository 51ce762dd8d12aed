#include "filemover/copylog.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// On Windows the log is written in text mode: every line end is CR LF on disk.
#if defined(_WIN32)
const std::string kEnd = "\r\n\r\n";
#else
const std::string kEnd = "\n\n";
#endif

std::tm MakeTime(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond) {
    std::tm t = {};
    t.tm_year = nYear - 1900;
    t.tm_mon = nMonth - 1;
    t.tm_mday = nDay;
    t.tm_hour = nHour;
    t.tm_min = nMinute;
    t.tm_sec = nSecond;
    return t;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A scratch folder of this test's own, removed afterwards.
class CopyLogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("dravik_copylog_" + std::to_string(getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root);
    }
    void TearDown() override { fs::remove_all(m_root); }

    std::string Prefix() const { return m_root.string() + "/"; }

    fs::path m_root;
};

TEST(CopyLogFormat, FileNameCarriesTheDayWithoutLeadingZero) {
    const struct {
        int nDay;
        const char* want;
    } cases[] = {{1, "errRpt/CopyLog1.txt"},
                 {5, "errRpt/CopyLog5.txt"},
                 {10, "errRpt/CopyLog10.txt"},
                 {31, "errRpt/CopyLog31.txt"}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.want, CopyLogFileName(MakeTime(2026, 12, c.nDay, 1, 2, 3))) << c.nDay;
    }
}

TEST_F(CopyLogFiles, EntriesAreAppendedBehindEarlierContent) {
    const fs::path file = m_root / "CopyLog5.txt";
    {
        std::ofstream earlier(file, std::ios::binary);
        earlier << "earlier run" << kEnd;
    }
    AppendLogLine(file.string(), "启动游戏客户端", MakeTime(2026, 12, 5, 8, 9, 10));
    AppendLogLine(file.string(), "second", MakeTime(2026, 12, 5, 8, 9, 11));
    EXPECT_EQ("earlier run" + kEnd + "2026-12-05 08:09:10启动游戏客户端" + kEnd +
                  "2026-12-05 08:09:11second" + kEnd,
              ReadAll(file));
}

TEST_F(CopyLogFiles, MissingFolderDropsTheEntrySilently) {
    const fs::path file = m_root / "errRpt" / "CopyLog5.txt";
    AppendLogLine(file.string(), "lost", MakeTime(2026, 12, 5, 8, 9, 10));
    EXPECT_FALSE(fs::exists(m_root / "errRpt"));
}

TEST_F(CopyLogFiles, WriteCopyLogPicksTheDaysFileUnderErrRpt) {
    fs::create_directories(m_root / "errRpt");
    std::tm now = MakeTime(2026, 12, 5, 23, 59, 59);
    CCopyLog log(Prefix(), [&now] { return now; });
    log.WriteCopyLog("a");
    now = MakeTime(2026, 12, 6, 0, 0, 0);
    log.WriteCopyLog("b");
    now = MakeTime(2027, 1, 5, 12, 0, 0);
    log.WriteCopyLog("c");
    EXPECT_EQ("2026-12-05 23:59:59a" + kEnd + "2027-01-05 12:00:00c" + kEnd,
              ReadAll(m_root / "errRpt" / "CopyLog5.txt"));
    EXPECT_EQ("2026-12-06 00:00:00b" + kEnd, ReadAll(m_root / "errRpt" / "CopyLog6.txt"));
}

TEST_F(CopyLogFiles, WriteCopyLogNeverCreatesErrRpt) {
    CCopyLog log(Prefix(), [] { return MakeTime(2026, 12, 5, 1, 2, 3); });
    log.WriteCopyLog("nothing");
    EXPECT_TRUE(fs::is_empty(m_root));
}

}  // namespace
