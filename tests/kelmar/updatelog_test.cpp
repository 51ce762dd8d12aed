#include "updater/core/updatelog.h"

#include <string>

#include <gtest/gtest.h>

#include "testdir.h"

namespace {

using talvex::SetUpdateLogClock;
using talvex::WriteUpdateLog;
using testing_support::CurrentDirectory;
using testing_support::IsFolder;
using testing_support::IsLogEntry;
using testing_support::ReadBytes;
using testing_support::ScratchDir;

std::tm Date(int year, int month, int day, int hour = 12) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    return t;
}

// The test clock: each test sets g_now before logging.
std::tm g_now;
std::tm TestNow() {
    return g_now;
}

// Runs each test in a fresh folder without errRpt, on the test clock.
class UpdateLogTest : public ::testing::Test {
protected:
    UpdateLogTest() : cwd(dir.path()) { previousClock = SetUpdateLogClock(&TestNow); }
    ~UpdateLogTest() override { SetUpdateLogClock(previousClock); }

    std::string LogOf(const char* monthDay) {
        return ReadBytes(std::string("errRpt") + ScratchDir::Sep() + "Talvex.exe-" + monthDay +
                         ".log");
    }

    ScratchDir dir;
    CurrentDirectory cwd;
    talvex::LocalTimeFunction previousClock;
};

TEST(UpdateLogFileName, MonthAndDayWithLeadingZeros) {
    struct {
        std::tm date;
        const char* want;
    } cases[] = {
        {Date(2026, 3, 5), "./errRpt/Talvex.exe-03-05.log"},
        {Date(2026, 3, 6), "./errRpt/Talvex.exe-03-06.log"},
        {Date(2027, 3, 5), "./errRpt/Talvex.exe-03-05.log"},  // the same name a year later
        {Date(2026, 1, 1), "./errRpt/Talvex.exe-01-01.log"},
        {Date(2026, 12, 31), "./errRpt/Talvex.exe-12-31.log"},
        {Date(2024, 2, 29), "./errRpt/Talvex.exe-02-29.log"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.want, talvex::UpdateLogFileName(c.date)) << c.want;
    }
}

TEST_F(UpdateLogTest, EachMessageGoesToTheFileOfItsDate) {
    ASSERT_FALSE(IsFolder("errRpt"));
    g_now = Date(2026, 3, 5, 23);
    WriteUpdateLog("before midnight %d", 1);
    EXPECT_TRUE(IsFolder("errRpt")) << "the missing errRpt folder is created";
    g_now = Date(2026, 3, 6, 0);
    WriteUpdateLog("after midnight %s", "二");
    g_now = Date(2026, 3, 5, 23);
    WriteUpdateLog("back to %02d-%02d", 3, 5);

    std::string march5 = LogOf("03-05");
    std::string march6 = LogOf("03-06");
    std::size_t split = march5.find("\r\n") + 2;
    EXPECT_TRUE(IsLogEntry(march5.substr(0, split), "before midnight 1")) << march5;
    EXPECT_TRUE(IsLogEntry(march5.substr(split), "back to 03-05")) << march5;
    EXPECT_TRUE(IsLogEntry(march6, "after midnight 二")) << march6;
}

TEST_F(UpdateLogTest, SystemClockPicksTodaysFile) {
    SetUpdateLogClock(nullptr);
    std::time_t now = std::time(nullptr);
    std::tm before = *std::localtime(&now);
    WriteUpdateLog("today");
    now = std::time(nullptr);
    std::tm after = *std::localtime(&now);
    std::string name = talvex::UpdateLogFileName(before);
    if (ReadBytes(name) == "<missing>") {
        name = talvex::UpdateLogFileName(after);  // the run passed midnight
    }
    EXPECT_TRUE(IsLogEntry(ReadBytes(name), "today")) << name;
}

TEST_F(UpdateLogTest, MessagesAreCutAt10239Bytes) {
    struct {
        std::size_t size;
        std::size_t logged;
    } cases[] = {{10238, 10238}, {10239, 10239}, {10240, 10239}, {50000, 10239}};
    int day = 1;
    for (const auto& c : cases) {
        g_now = Date(2026, 7, day++);
        std::string message(c.size, 'm');
        message[0] = '[';
        message[c.size - 1] = ']';
        WriteUpdateLog("%s", message.c_str());
        char monthDay[8];
        std::snprintf(monthDay, sizeof monthDay, "07-%02d", g_now.tm_mday);
        EXPECT_TRUE(IsLogEntry(LogOf(monthDay), message.substr(0, c.logged))) << "size " << c.size;
    }
}

TEST_F(UpdateLogTest, NullFormatLogsNothing) {
    g_now = Date(2026, 3, 5);
    WriteUpdateLog(nullptr);
    EXPECT_EQ("<missing>", LogOf("03-05"));
}

}  // namespace
