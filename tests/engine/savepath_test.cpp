// Path rules of the engine: which save names are accepted, how folder and
// name are joined, which folders get created. Code page 936 texts included,
// whose trail bytes can be a backslash or a bar.
#include "savepath.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellowd {
namespace {

// "\x95\x5C" is a double-byte character whose trail byte is a backslash.
const std::string kTrailBackslash = "\x95\x5C";

TEST(SavePath, ManifestsAreSavedUnderNamesTheRuleAccepts) {
    EXPECT_TRUE(IsSafeSaveName("LastUpdateFiles.xml"));
    EXPECT_TRUE(IsSafeSaveName("斗地主_UpdateFiles.xml"));
    EXPECT_FALSE(IsSafeSaveName("CON_UpdateFiles.xml."));
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
        // 0x2F cannot follow a lead byte: the '/' stays a separator of its own.
        {"C:\\g\x81/", "x", "C:\\g\x81/x"},
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
