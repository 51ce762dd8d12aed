#include "kelmar/logfile.h"

#include <filesystem>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "kelmar/logline.h"
#include "testdir.h"

namespace {

using testing_support::IsFolder;
using testing_support::IsLogEntry;
using testing_support::ReadBytes;
using testing_support::ScratchDir;

class LogFileTest : public ::testing::Test {
protected:
    void TearDown() override { CLogFile::SetFilePath(nullptr); }
    ScratchDir dir;
};

TEST_F(LogFileTest, CreatesMissingFoldersOnTheWay) {
    const char sep = ScratchDir::Sep();
    struct {
        std::string folders;  // relative to the scratch folder, created by the log
    } cases[] = {
        {"errRpt"},
        {std::string("a") + sep + "b" + sep + "errRpt"},
        // The second byte of this character (D5 5C in code page 936) is a backslash.
        {"誠errRpt"},
        {std::string("日志") + sep + "更新"},
    };
    for (const auto& c : cases) {
        ScratchDir root;
        std::string logPath = root / (c.folders + sep + "x.log");
        CLogFile::SetFilePath(logPath.c_str());
        CLogFile::WriteLog("hello");
        EXPECT_TRUE(IsFolder(root / c.folders)) << c.folders;
        EXPECT_TRUE(IsLogEntry(ReadBytes(logPath), "hello")) << c.folders;
        // Only the one chain of folders: a name split inside a character would leave a
        // stray folder beside it.
        auto entries = std::distance(std::filesystem::directory_iterator(root.path()),
                                     std::filesystem::directory_iterator());
        EXPECT_EQ(1, entries) << c.folders;
        // Removed between two entries, the folders are made again. (The folder is
        // found by listing: its name is code page 936, which std::filesystem would not take.)
        for (const auto& entry : std::filesystem::directory_iterator(root.path()))
            std::filesystem::remove_all(entry.path());
        CLogFile::WriteLog("again");
        EXPECT_TRUE(IsLogEntry(ReadBytes(logPath), "again")) << c.folders;
    }
}

TEST_F(LogFileTest, AppendsOneEntryALineInCallOrder) {
    std::string logPath = dir / "t.log";
    CLogFile::SetFilePath(logPath.c_str());
    const std::string messages[] = {"first", "", "第三条 消息", "fourth"};
    for (const std::string& m : messages) {
        CLogFile::WriteLog(m.c_str());
    }
    std::string content = ReadBytes(logPath);
    std::size_t pos = 0;
    for (const std::string& m : messages) {
        std::size_t end = content.find("\r\n", pos);
        ASSERT_NE(std::string::npos, end) << "entry \"" << m << "\" missing";
        EXPECT_TRUE(IsLogEntry(content.substr(pos, end + 2 - pos), m))
            << "entry \"" << m << "\" was \"" << content.substr(pos, end + 2 - pos) << "\"";
        pos = end + 2;
    }
    EXPECT_EQ(content.size(), pos) << "nothing after the last entry";
}

TEST_F(LogFileTest, LongMessagesAreWrittenWhole) {
    for (std::size_t size : {10239u, 10240u, 100000u}) {
        std::string logPath = dir / ("long" + std::to_string(size) + ".log");
        std::string message(size, 'x');
        message.front() = '<';
        message.back() = '>';
        CLogFile::SetFilePath(logPath.c_str());
        CLogFile::WriteLog(message.c_str());
        EXPECT_TRUE(IsLogEntry(ReadBytes(logPath), message)) << "size " << size;
    }
}

TEST_F(LogFileTest, TheFileSetLastReceivesTheEntry) {
    std::string first = dir / "1.log";
    std::string second = dir / "2.log";
    CLogFile::SetFilePath(first.c_str());
    CLogFile::WriteLog("one");
    CLogFile::SetFilePath(second.c_str());
    CLogFile::WriteLog("two");
    EXPECT_TRUE(IsLogEntry(ReadBytes(first), "one"));
    EXPECT_TRUE(IsLogEntry(ReadBytes(second), "two"));
}

TEST_F(LogFileTest, UnwritableTargetsLoseTheMessageQuietly) {
    // A regular file where a folder should be: neither the folder nor the log can be made.
    std::string blocker = dir / "blocker";
    ASSERT_TRUE(testing_support::WriteBytes(blocker, "not a folder"));
    std::string underFile = blocker + ScratchDir::Sep() + "errRpt" + ScratchDir::Sep() + "x.log";
    std::string isFolder = dir.path();  // the path names a folder, not a file
    const char* targets[] = {underFile.c_str(), isFolder.c_str(), "", nullptr};
    for (const char* target : targets) {
        CLogFile::SetFilePath(target);
        CLogFile::WriteLog("lost");
        CLogFile::WriteLog(nullptr);
    }
    EXPECT_EQ("not a folder", ReadBytes(blocker));
    EXPECT_TRUE(IsFolder(dir.path()));
}

TEST_F(LogFileTest, NullMessageIsAnEmptyEntry) {
    std::string logPath = dir / "null.log";
    CLogFile::SetFilePath(logPath.c_str());
    CLogFile::WriteLog(nullptr);
    EXPECT_TRUE(IsLogEntry(ReadBytes(logPath), ""));
}

// The library's log, the engine's and the file mover's copy log all carry this stamp.
TEST(LogStamp, NineteenCharactersWithPaddedFieldsFromEitherForm) {
    const struct {
        unsigned fields[6];  // year, month, day, hour, minute, second
        const char* want;
    } cases[] = {
        {{2026, 12, 7, 23, 59, 58}, "2026-12-07 23:59:58"},
        {{2027, 1, 5, 0, 0, 0}, "2027-01-05 00:00:00"},
        {{2024, 2, 29, 9, 5, 3}, "2024-02-29 09:05:03"},
    };
    for (const auto& c : cases) {
        const unsigned* f = c.fields;
        char stamp[20];
        kelmar::FormatLogStamp(f[0], f[1], f[2], f[3], f[4], f[5], stamp);
        EXPECT_STREQ(c.want, stamp);
        std::tm local = {};
        local.tm_year = static_cast<int>(f[0]) - 1900;
        local.tm_mon = static_cast<int>(f[1]) - 1;
        local.tm_mday = static_cast<int>(f[2]);
        local.tm_hour = static_cast<int>(f[3]);
        local.tm_min = static_cast<int>(f[4]);
        local.tm_sec = static_cast<int>(f[5]);
        EXPECT_EQ(c.want, kelmar::FormatLogStamp(local));
    }
}

}  // namespace
