// Path rules of the engine: which save names are accepted, how folder and
// name are joined, which folders get created. Code page 936 texts included,
// whose trail bytes can be a backslash or a bar.
#include "savepath.h"

#include "downloadservice.h"

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

TEST(SavePath, TempFileLiesBesideTargetAndIsPerProcessAndTask) {
    std::uint32_t nProcessId = 0;
    EXPECT_EQ("C:\\g\\sub\\~PellowD-00001234-CAFEF00D-0000002A.tmp",
              TempPathFor("C:\\g\\sub\\x.dll", 0x1234, 0xCAFEF00D, 42));
    const std::string strOne = TempPathFor("C:\\g\\x.dll", 7, 9, 1);
    EXPECT_NE(strOne, TempPathFor("C:\\g\\x.dll", 7, 9, 2)) << "another task";
    EXPECT_NE(strOne, TempPathFor("C:\\g\\x.dll", 8, 9, 1)) << "another process";
    EXPECT_NE(strOne, TempPathFor("C:\\g\\x.dll", 7, 10, 1)) << "a later process, same id";
    EXPECT_EQ(std::string("C:\\g\\").size() + DOWNLOAD_TEMP_NAME_LENGTH, strOne.size());
    EXPECT_EQ("C:\\" + kTrailBackslash + "\\~PellowD-00000001-00000002-00000003.tmp",
              TempPathFor("C:\\" + kTrailBackslash + "\\x", 1, 2, 3));
    // A partial is named by the digest alone: the next run finds it, and no
    // longer than a temporary name, so every save path that fits fits it too.
    const std::string strPartial =
        PartialPathFor("C:\\g\\x.pak", "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ("C:\\g\\~PellowD-0cc175b9c0f1b6a831c399e26.part", strPartial);
    EXPECT_EQ(strOne.size(), strPartial.size());
    std::string strPrefix;
    EXPECT_TRUE(ParsePartialName(strPartial.substr(5), &strPrefix));
    EXPECT_EQ("0cc175b9c0f1b6a831c399e26", strPrefix);
    EXPECT_FALSE(ParsePartialName("~PellowD-0CC175B9C0F1B6A831C399E26.part", &strPrefix));
    EXPECT_FALSE(ParsePartialName("~PellowD-0cc175b9c0f1b6a831c399e26.tmp", &strPrefix));
    EXPECT_FALSE(ParseTempName(strPartial.substr(5), &nProcessId));
}

TEST(SavePath, TempNamesAreRecognisedWithTheirProcess) {
    struct Case {
        std::string strName;
        bool bOurs;
        std::uint32_t nProcessId;
    };
    const Case cases[] = {
        {"~PellowD-00001234-CAFEF00D-0000002A.tmp", true, 0x1234},
        {"~PellowD-FFFFFFFF-00000000-00000000.tmp", true, 0xFFFFFFFF},
        {"~PellowD-00001234-cafef00d-0000002A.tmp", false, 0},  // we write upper case
        {"~PellowD-00001234-CAFEF00D-0000002A.tmq", false, 0},
        {"~PellowD-00001234+CAFEF00D-0000002A.tmp", false, 0},
        {"~PellowD-0001234-CAFEF00D-0000002A.tmp", false, 0},
        {"~PellowD-00001234-CAFEF00D-0000002A.tmp.x", false, 0},
        {"~PellowD-0000002A.tmp", false, 0},  // not ours to judge: no process in it
        {"PellowD-00001234-CAFEF00D-0000002A.tmpx", false, 0},
        {"x.dll", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t nProcessId = 0;
        EXPECT_EQ(c.bOurs, ParseTempName(c.strName, &nProcessId)) << c.strName;
        EXPECT_EQ(c.nProcessId, nProcessId) << c.strName;
    }
    std::uint32_t nProcessId = 0;
    const std::string strPath = TempPathFor("C:\\g\\x", 4242, 1, 2);
    EXPECT_TRUE(ParseTempName(strPath.substr(5), &nProcessId));
    EXPECT_EQ(4242u, nProcessId);
}

TEST(SavePath, FitsOnlyWhenTheTemporaryPathFitsToo) {
    // "C:\<216 p>\a.dll" is 225 long and its temporary path 259: the longest
    // that fits. The same boundary is the updater's (requests_test).
    struct Case {
        std::string strTarget;
        bool bFits;
    };
    const Case cases[] = {
        {"C:\\" + std::string(216, 'p') + "\\a.dll", true},
        {"C:\\" + std::string(217, 'p') + "\\a.dll", false},
        {"C:\\p\\" + std::string(255, 'n'), false},  // the target itself is 260 long
        {"C:\\p\\" + std::string(254, 'n'), true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.bFits, SavePathFits(c.strTarget)) << c.strTarget.size();
}

}  // namespace
}  // namespace pellowd
