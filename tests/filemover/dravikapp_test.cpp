#include "filemover/dravikapp.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakeplatform.h"

namespace {

using Events = std::vector<std::string>;

const char kSpecial[] = "C:\\Game\\DownLoad\\Special";

// Expected entries, spelled out in full rather than built from the program's own texts.
std::string Copied(int n, const std::string& from, const std::string& to) {
    return "log:成功拷贝文件 " + std::to_string(n) + ",strFilePath:" + from +
           " --- strNewFilePath:" + to + ",并且成功删除文件";
}
std::string CopyFailed(int n, const std::string& from, const std::string& to) {
    return "log:拷贝文件失败 " + std::to_string(n) + ",strFilePath:" + from +
           " --- strNewFilePath:" + to;
}
std::string Removed(const std::string& folder, int n) {
    return "log:最后成功删除文件夹" + folder + " " + std::to_string(n);
}
std::string RemoveFailed(const std::string& folder, int nCount) {
    return "log:最后删除文件夹失败" + folder + " " + std::to_string(nCount);
}
const std::string kStarted = "log:启动游戏客户端";

Events RunDravik(CFakePlatform& platform) {
    CDravikApp app(platform, platform);
    EXPECT_FALSE(app.InitInstance());
    return platform.events;
}

TEST(DravikRun, NoSpecialFolderOnlyStartsThePlaza) {
    CFakePlatform platform;
    platform.AddFile("C:\\Game\\ZIVGame.exe", "plaza");
    platform.AddFolder("C:\\Game\\DownLoad");
    EXPECT_EQ(Events({kStarted}), RunDravik(platform));
    ASSERT_EQ(1u, platform.startedPrograms.size());
    EXPECT_EQ("C:\\Game\\ZIVGame.exe", platform.startedPrograms[0].first);
    EXPECT_EQ("C:\\Game\\ZIVGame.exe -u", platform.startedPrograms[0].second);
    EXPECT_TRUE(platform.HasFolder("C:\\Game\\DownLoad"));
}

TEST(DravikRun, StartEntryIsWrittenEvenWhenThePlazaCannotStart) {
    CFakePlatform platform;  // no ZIVGame.exe: the start fails
    EXPECT_EQ(Events({kStarted}), RunDravik(platform));
    EXPECT_EQ(1u, platform.startedPrograms.size());
}

TEST(DravikRun, EmptySpecialFolderIsRemovedWithNumberOne) {
    CFakePlatform platform;
    platform.AddFolder(kSpecial);
    EXPECT_EQ(Events({Removed(kSpecial, 1), kStarted}), RunDravik(platform));
    EXPECT_FALSE(platform.HasFolder(kSpecial));
    EXPECT_TRUE(platform.HasFolder("C:\\Game\\DownLoad"));  // never removed
}

TEST(DravikRun, SingleFileReplacesTheInstalledCopy) {
    CFakePlatform platform;
    platform.AddFile("C:\\Game\\a.dll", "old");
    platform.AddFile("C:\\Game\\DownLoad\\Special\\a.dll", "new");
    EXPECT_EQ(Events({Copied(1, "C:\\Game\\DownLoad\\Special\\a.dll", "C:\\Game//a.dll"),
                      Removed(kSpecial, 2), kStarted}),
              RunDravik(platform));
    EXPECT_EQ("new", platform.Content("C:\\Game\\a.dll"));
    EXPECT_FALSE(platform.HasFile("C:\\Game\\DownLoad\\Special\\a.dll"));
    EXPECT_FALSE(platform.HasFolder(kSpecial));
}

TEST(DravikRun, NestedFoldersAreCreatedInOrderWithTheirOwnNumbers) {
    CFakePlatform platform;
    platform.AddFile("C:\\Game\\DownLoad\\Special\\b.dll", "b");
    platform.AddFile("C:\\Game\\DownLoad\\Special\\sub\\x.dll", "x");
    platform.AddFile("C:\\Game\\DownLoad\\Special\\sub\\deep\\y.dll", "y");
    platform.AddFile("C:\\Game\\DownLoad\\Special\\sub\\z.dll", "z");
    platform.AddFile("C:\\Game\\DownLoad\\Special\\have\\w.dll", "w");
    platform.AddFolder("C:\\Game\\have");  // exists already: no creation entry
    const std::string sub = "C:\\Game\\DownLoad\\Special\\sub";
    const std::string have = "C:\\Game\\DownLoad\\Special\\have";
    const Events want = {
        Copied(1, "C:\\Game\\DownLoad\\Special\\b.dll", "C:\\Game//b.dll"),
        "log:删除文件夹C:\\Game\\DownLoad\\Special 2",
        Copied(1, have + "\\w.dll", "C:\\Game\\have//w.dll"),
        Removed(have, 2),
        "log:创建C:\\Game\\sub目录",
        "log:删除文件夹C:\\Game\\DownLoad\\Special 3",
        "log:创建C:\\Game\\sub\\deep目录",
        "log:删除文件夹" + sub + " 1",
        Copied(1, sub + "\\deep\\y.dll", "C:\\Game\\sub\\deep//y.dll"),
        Removed(sub + "\\deep", 2),
        Copied(2, sub + "\\x.dll", "C:\\Game\\sub//x.dll"),
        Copied(3, sub + "\\z.dll", "C:\\Game\\sub//z.dll"),
        Removed(sub, 4),
        // DownLoad\Special went silently after its last subfolder moved: no final entry.
        kStarted,
    };
    EXPECT_EQ(want, RunDravik(platform));
    for (const char* moved : {"C:\\Game\\b.dll", "C:\\Game\\have\\w.dll", "C:\\Game\\sub\\x.dll",
                              "C:\\Game\\sub\\deep\\y.dll", "C:\\Game\\sub\\z.dll"}) {
        EXPECT_TRUE(platform.HasFile(moved)) << moved;
    }
    EXPECT_FALSE(platform.HasFolder(kSpecial));
}

TEST(DravikRun, FileLockedForTheWholeRunStaysWithElevenAttempts) {
    CFakePlatform platform;
    const std::string from = "C:\\Game\\DownLoad\\Special\\a.dll";
    platform.AddFile(from, "new");
    platform.AddFile("C:\\Game\\a.dll", "old");
    platform.moveFailures[from] = CFakePlatform::kAlways;

    Events want;
    for (int n = 2; n <= 11; ++n) {
        want.push_back(CopyFailed(n, from, "C:\\Game//a.dll"));
        want.push_back("pause:1000");
    }
    want.push_back(CopyFailed(11, from, "C:\\Game//a.dll"));
    for (int nCount = 1; nCount <= 3; ++nCount) {
        want.push_back(RemoveFailed(kSpecial, nCount));
        want.push_back("pause:500");
    }
    want.push_back(kStarted);
    EXPECT_EQ(want, RunDravik(platform));
    EXPECT_EQ(11, platform.nMoveAttempts);
    EXPECT_EQ(4, platform.nRemoveFolderCalls);
    EXPECT_EQ("old", platform.Content("C:\\Game\\a.dll"));
    EXPECT_TRUE(platform.HasFile(from));
}

// A file that copies at attempt k+1: k-1 failure entries (the first failure has none), then the
// success entry twice.
TEST(DravikRun, FileReleasedDuringTheRetries) {
    const std::string from = "C:\\Game\\DownLoad\\Special\\a.dll";
    for (int nFailures : {1, 2, 3, 10}) {
        CFakePlatform platform;
        platform.AddFile(from, "new");
        platform.moveFailures[from] = nFailures;
        Events want;
        for (int n = 2; n <= nFailures; ++n) {
            want.push_back(CopyFailed(n, from, "C:\\Game//a.dll"));
            want.push_back("pause:1000");
        }
        want.push_back(Copied(nFailures + 1, from, "C:\\Game//a.dll"));
        want.push_back(Copied(nFailures + 1, from, "C:\\Game//a.dll"));
        want.push_back(Removed(kSpecial, nFailures + 2));
        want.push_back(kStarted);
        EXPECT_EQ(want, RunDravik(platform)) << "failures " << nFailures;
        EXPECT_EQ("new", platform.Content("C:\\Game\\a.dll")) << "failures " << nFailures;
    }
}

TEST(DravikRun, FinalRemovalSucceedingOnARetryTakesTheRetrysNumber) {
    CFakePlatform platform;
    platform.AddFolder(kSpecial);
    platform.removeFailures[kSpecial] = 2;  // the first attempt and the first retry fail
    const Events want = {RemoveFailed(kSpecial, 1), "pause:500", Removed(kSpecial, 3), kStarted};
    EXPECT_EQ(want, RunDravik(platform));
    EXPECT_FALSE(platform.HasFolder(kSpecial));
}

// The failed-removal count runs through the whole run while operation numbers restart per
// folder: the nested folder fails with 1..3, its parent then with 4..6.
TEST(DravikRun, FailedRemovalCountIsRunWide) {
    CFakePlatform platform;
    const std::string sub = "C:\\Game\\DownLoad\\Special\\sub";
    platform.AddFile(sub + "\\b.dll", "b");
    platform.AddFolder("C:\\Game\\sub");
    platform.removeFailures[sub] = CFakePlatform::kAlways;
    const Events want = {
        "log:删除文件夹C:\\Game\\DownLoad\\Special 1",
        Copied(1, sub + "\\b.dll", "C:\\Game\\sub//b.dll"),
        RemoveFailed(sub, 1),
        "pause:500",
        RemoveFailed(sub, 2),
        "pause:500",
        RemoveFailed(sub, 3),
        "pause:500",
        RemoveFailed(kSpecial, 4),
        "pause:500",
        RemoveFailed(kSpecial, 5),
        "pause:500",
        RemoveFailed(kSpecial, 6),
        "pause:500",
        kStarted,
    };
    EXPECT_EQ(want, RunDravik(platform));
}

TEST(DravikRun, FolderThatCannotBeCreatedFailsItsCopies) {
    CFakePlatform platform;
    platform.AddFile("C:\\Game\\DownLoad\\Special\\sub\\x.dll", "x");
    platform.uncreatableFolders.insert("C:\\Game\\sub");
    CDravikApp app(platform, platform);
    app.InitInstance();
    // Creation, the folder entry, ten failures and the repeat, three removal failures of sub and
    // three of DownLoad\Special, the start.
    const std::vector<std::string> entries = platform.LogEntries();
    ASSERT_EQ(20u, entries.size());
    EXPECT_EQ("创建C:\\Game\\sub目录", entries[0]);
    EXPECT_EQ(CopyFailed(11, kSpecial + std::string("\\sub\\x.dll"), "C:\\Game\\sub//x.dll"),
              "log:" + entries[12]);
    EXPECT_EQ(11, platform.nMoveAttempts);
    EXPECT_TRUE(platform.HasFile("C:\\Game\\DownLoad\\Special\\sub\\x.dll"));
    EXPECT_EQ(6, app.GetFailedRemovals());
}

struct ProcessCase {
    const char* name;
    std::vector<ProcessEntry> processes;
    std::map<unsigned long, TerminateResult> results;
    Events wantEvents;
    std::vector<unsigned long> wantEnded;
};

TEST(DravikRun, EndsOnlyProcessesNamedExactlyZIVGameExe) {
    const std::vector<ProcessCase> cases = {
        {"none running", {{1, "explorer.exe"}}, {}, {kStarted}, {}},
        {"one plaza",
         {{1, "explorer.exe"}, {7, "ZIVGame.exe"}},
         {},
         {"log:存在ZIVGame.exe进程,成功删除该进程!", kStarted},
         {7}},
        {"letter case differs", {{7, "zivgame.exe"}, {8, "ZIVGAME.EXE"}}, {}, {kStarted}, {}},
        {"similar names", {{7, "ZIVGame.exe.bak"}, {8, "MyZIVGame.exe"}}, {}, {kStarted}, {}},
        {"cannot be opened",
         {{7, "ZIVGame.exe"}},
         {{7, TerminateResult::kNotOpened}},
         {kStarted},
         {}},
        {"termination fails",
         {{7, "ZIVGame.exe"}},
         {{7, TerminateResult::kFailed}},
         {"log:存在ZIVGame.exe进程,删除进程失败!", kStarted},
         {}},
        {"several, in list order",
         {{9, "ZIVGame.exe"}, {3, "ZIVGame.exe"}, {5, "ZIVGame.exe"}},
         {{3, TerminateResult::kFailed}},
         {"log:存在ZIVGame.exe进程,成功删除该进程!", "log:存在ZIVGame.exe进程,删除进程失败!",
          "log:存在ZIVGame.exe进程,成功删除该进程!", kStarted},
         {9, 5}},
    };
    for (const ProcessCase& c : cases) {
        CFakePlatform platform;
        platform.processes = c.processes;
        platform.terminateResults = c.results;
        EXPECT_EQ(c.wantEvents, RunDravik(platform)) << c.name;
        EXPECT_EQ(c.wantEnded, platform.endedProcessIds) << c.name;
    }
}

TEST(DravikRun, NoProcessListEndsNothingAndLogsNothing) {
    CFakePlatform platform;
    platform.bNoProcessList = true;
    platform.processes = {{7, "ZIVGame.exe"}};
    EXPECT_EQ(Events({kStarted}), RunDravik(platform));
    EXPECT_TRUE(platform.endedProcessIds.empty());
}

TEST(DravikRun, PlazaIsEndedBeforeTheMoveAndStartedAfterIt) {
    CFakePlatform platform;
    platform.processes = {{7, "ZIVGame.exe"}};
    platform.AddFile("C:\\Game\\DownLoad\\Special\\a.dll", "new");
    const Events want = {"log:存在ZIVGame.exe进程,成功删除该进程!",
                         Copied(1, "C:\\Game\\DownLoad\\Special\\a.dll", "C:\\Game//a.dll"),
                         Removed(kSpecial, 2), kStarted};
    EXPECT_EQ(want, RunDravik(platform));
}

// 499 characters fill the 500-byte directory buffer; 284 leave exactly room for
// "\ZIVGame.exe -u" and the zero in the 300-byte command-line buffer.
TEST(DravikRun, CurrentDirectoryTooLongForTheBuffersChangesNothing) {
    const struct {
        size_t nLength;
        bool bRuns;
    } cases[] = {{3, true}, {284, true}, {285, false}, {499, false}, {500, false}, {5000, false}};
    for (const auto& c : cases) {
        CFakePlatform platform;
        std::string dir = "C:\\";
        dir += std::string(c.nLength - dir.size(), 'g');
        platform.strCurrentDir = dir;
        platform.processes = {{7, "ZIVGame.exe"}};
        platform.AddFile(dir + "\\DownLoad\\Special\\a.dll", "new");
        const Events events = RunDravik(platform);
        if (c.bRuns) {
            EXPECT_EQ(4u, events.size()) << c.nLength;
            ASSERT_EQ(1u, platform.startedPrograms.size()) << c.nLength;
            EXPECT_EQ(dir + "\\ZIVGame.exe -u", platform.startedPrograms[0].second) << c.nLength;
            EXPECT_TRUE(platform.HasFile(dir + "\\a.dll")) << c.nLength;
        } else {
            EXPECT_EQ(Events({"log:当前目录过长,不移动文件也不启动游戏客户端:" + dir}), events)
                << c.nLength;
            EXPECT_TRUE(platform.startedPrograms.empty()) << c.nLength;
            EXPECT_TRUE(platform.endedProcessIds.empty()) << c.nLength;
            EXPECT_TRUE(platform.HasFile(dir + "\\DownLoad\\Special\\a.dll")) << c.nLength;
        }
    }
}

TEST(DravikRun, UnreadableCurrentDirectoryChangesNothing) {
    CFakePlatform platform;
    platform.bCurrentDirFails = true;
    platform.processes = {{7, "ZIVGame.exe"}};
    EXPECT_EQ(Events({"log:无法取得当前目录,不移动文件也不启动游戏客户端"}), RunDravik(platform));
    EXPECT_TRUE(platform.startedPrograms.empty());
    EXPECT_TRUE(platform.endedProcessIds.empty());
}

// Names and paths in code page 936 pass through byte for byte.
TEST(DravikRun, ChineseNamesAreCarriedByteForByte) {
    CFakePlatform platform;
    platform.strCurrentDir = "C:\\游戏";
    platform.AddFile("C:\\游戏\\DownLoad\\Special\\资源\\数据.dll", "new");
    const std::string sub = "C:\\游戏\\DownLoad\\Special\\资源";
    const Events want = {
        "log:创建C:\\游戏\\资源目录",
        "log:删除文件夹C:\\游戏\\DownLoad\\Special 1",
        Copied(1, sub + "\\数据.dll", "C:\\游戏\\资源//数据.dll"),
        Removed(sub, 2),
        kStarted,
    };
    EXPECT_EQ(want, RunDravik(platform));
    EXPECT_EQ("new", platform.Content("C:\\游戏\\资源\\数据.dll"));
}

}  // namespace
