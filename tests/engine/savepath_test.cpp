// Path rules of the engine: which save names are accepted, how folder and
// name are joined, which folders get created. Code page 936 texts included,
// whose trail bytes can be a backslash or a bar.
#include "savepath.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellowd {
namespace {

// "\x95\x5C" is a double-byte character whose trail byte is a backslash;
// "\x95\x7C" one whose trail byte is '|'.
const std::string kTrailBackslash = "\x95\x5C";
const std::string kTrailBar = "\x95\x7C";

TEST(SavePath, SafeSaveNames) {
    struct Case {
        std::string strName;
        bool bSafe;
    };
    const Case cases[] = {
        {"LastUpdateFiles.xml", true},
        {"sub\\x.dll", true},
        {"sub/deeper/x.dll", true},
        {"游戏\\规则.txt", true},
        {kTrailBackslash + ".txt", true},   // trail byte is not a separator
        {"a" + kTrailBar + "b.dat", true},  // trail byte is not a bar
        {"dir" + kTrailBackslash + "\\f.txt", true},
        {"", false},
        {"..\\Talvex.exe", false},
        {"sub\\..\\..\\x", false},
        {"sub/../x", false},
        {".\\x", false},
        {"\\x.dll", false},
        {"/x.dll", false},
        {"C:\\Windows\\x.dll", false},
        {"x.txt:stream", false},
        {"sub\\\\x", false},
        {"sub\\", false},
        {"a?b", false},
        {"a|b", false},
        {"a<b", false},
        {"tab\there", false},
        {"name.", false},
        {"name ", false},
        {"sub.\\x", false},
        {"cut\x95", false},  // a lead byte without its trail byte
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.bSafe, IsSafeSaveName(c.strName)) << c.strName;
}

TEST(SavePath, JoinFolderAndName) {
    struct Case {
        std::string strDir, strName, strWant;
    };
    const Case cases[] = {
        {"C:\\game\\DownLoad", "LastUpdateFiles.xml", "C:\\game\\DownLoad\\LastUpdateFiles.xml"},
        {"C:\\game\\DownLoad\\", "x.xml", "C:\\game\\DownLoad\\x.xml"},
        {"C:\\game", "sub/deeper/x.dll", "C:\\game\\sub\\deeper\\x.dll"},
        // The folder ends in a double-byte character whose trail byte is "\":
        // that is not a separator, so one is still added.
        {"C:\\" + kTrailBackslash, "x", "C:\\" + kTrailBackslash + "\\x"},
        {"C:\\g", "a" + kTrailBackslash + "/b", "C:\\g\\a" + kTrailBackslash + "\\b"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.strWant, JoinSavePath(c.strDir, c.strName)) << c.strDir << " + " << c.strName;
}

TEST(SavePath, FoldersToCreate) {
    struct Case {
        std::string strPath;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"C:\\a\\b\\c.txt", {"C:\\a", "C:\\a\\b"}},
        {"C:\\c.txt", {}},
        {"Z:\\tmp\\游戏\\DownLoad\\x.xml", {"Z:\\tmp", "Z:\\tmp\\游戏", "Z:\\tmp\\游戏\\DownLoad"}},
        {"\\\\server\\share\\a\\f", {"\\\\server\\share\\a"}},
        {"\\root\\f", {"\\root"}},
        {"rel\\sub\\f", {"rel", "rel\\sub"}},
        {"C:\\" + kTrailBackslash + "\\f", {"C:\\" + kTrailBackslash}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, FoldersToCreate(c.strPath)) << c.strPath;
}

TEST(SavePath, TempFileLiesBesideTargetAndIsPerTask) {
    EXPECT_EQ("C:\\g\\sub\\~PellowD-0000002A.tmp", TempPathFor("C:\\g\\sub\\x.dll", 42));
    EXPECT_NE(TempPathFor("C:\\g\\x.dll", 1), TempPathFor("C:\\g\\x.dll", 2));
    EXPECT_EQ("C:\\" + kTrailBackslash + "\\~PellowD-00000001.tmp",
              TempPathFor("C:\\" + kTrailBackslash + "\\x", 1));
}

}  // namespace
}  // namespace pellowd
