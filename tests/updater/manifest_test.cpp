// Manifest reading: shapes, unusable documents, and hostile values.
#include <gtest/gtest.h>

#include "updater/core/manifest.h"

namespace {

std::string PlazaWith(const std::string& strFiles, const std::string& strGames = "") {
    return "<Update><Files>" + strFiles + "</Files><Games>" + strGames + "</Games></Update>";
}

TEST(Manifest, ReadsFilesAndGamesInOrderByPosition) {
    const std::string strXml =
        "<?xml version=\"1.0\" encoding=\"gb2312\"?>"
        "<R><F>"
        "<a name=\"\\a.dll\" date=\"d1\" bytes=\"10\" isSpecial=\"0\"/>"
        "<b name=\"\\sub\\游戏.dll\" date=\"d2\" isSpecial=\" -1\"/>"
        "<c name=\"\\c.dat\" date=\"d3\" bytes=\"0100\" isSpecial=\"yes\"/>"
        "</F><G><x name=\"斗地主\"/><y name=\"Chess\"/></G><Ignored/></R>";
    Manifest manifest;
    std::string strProblem;
    ASSERT_EQ(ManifestStatus::Ok, ParseManifest(strXml.c_str(), true, manifest, strProblem))
        << strProblem;
    ASSERT_EQ(3u, manifest.files.size());
    EXPECT_EQ("\\a.dll", manifest.files[0].strName);
    EXPECT_EQ("10", manifest.files[0].strBytes);
    EXPECT_EQ(0, manifest.files[0].nIsSpecial);
    EXPECT_EQ("\\sub\\游戏.dll", manifest.files[1].strName);
    EXPECT_EQ("", manifest.files[1].strBytes);  // missing bytes: empty text
    EXPECT_EQ(-1, manifest.files[1].nIsSpecial);
    EXPECT_EQ("0100", manifest.files[2].strBytes);
    EXPECT_EQ(0, manifest.files[2].nIsSpecial);
    ASSERT_EQ(2u, manifest.games.size());
    EXPECT_EQ("斗地主", manifest.games[0]);
    EXPECT_EQ("Chess", manifest.games[1]);
}

TEST(Manifest, EmptySectionsAreValid) {
    Manifest manifest;
    std::string strProblem;
    EXPECT_EQ(ManifestStatus::Ok, ParseManifest(PlazaWith("").c_str(), true, manifest, strProblem));
    EXPECT_TRUE(manifest.files.empty());
    EXPECT_TRUE(manifest.games.empty());
    // A game manifest needs no game section.
    EXPECT_EQ(ManifestStatus::Ok, ParseManifest("<R><F/></R>", false, manifest, strProblem));
}

TEST(Manifest, UnusableDocuments) {
    struct Case {
        const char* pszXml;
        bool bPlaza;
        ManifestStatus status;
    };
    const Case cases[] = {
        {"", true, ManifestStatus::LoadFailed},
        {"<R><F></R>", true, ManifestStatus::LoadFailed},
        {"<html>Not Found<F/><G/></html>", true, ManifestStatus::RootTextFirst},
        {"<R>text<F/><G/></R>", false, ManifestStatus::RootTextFirst},
        {"<!-- nothing -->", true, ManifestStatus::Refused},
        {"<R/>", true, ManifestStatus::Refused},
        {"<R/>", false, ManifestStatus::Refused},
        {"<R><F/></R>", true, ManifestStatus::Refused},  // plaza manifest without games
        {"<R><F><e date=\"d\" isSpecial=\"0\"/></F><G/></R>", true, ManifestStatus::Refused},
        {"<R><F><e name=\"\\a\" isSpecial=\"0\"/></F><G/></R>", true, ManifestStatus::Refused},
        {"<R><F><e name=\"\\a\" date=\"d\"/></F><G/></R>", true, ManifestStatus::Refused},
        {"<R><F/><G><g/></G></R>", true, ManifestStatus::Refused},
        {"<R><F/><G><g name=\"..\\x\"/></G></R>", true, ManifestStatus::Refused},
    };
    for (const Case& c : cases) {
        Manifest manifest;
        std::string strProblem;
        EXPECT_EQ(c.status, ParseManifest(c.pszXml, c.bPlaza, manifest, strProblem)) << c.pszXml;
        if (c.status == ManifestStatus::Refused) {
            EXPECT_FALSE(strProblem.empty()) << c.pszXml;
        }
    }
}

TEST(Manifest, FileNamesMustStayInTheInstallation) {
    struct Case {
        const char* pszName;
        bool bSafe;
    };
    const Case cases[] = {
        {"\\a.dll", true},
        {"/a.dll", true},
        {"\\sub\\deeper\\a.dll", true},
        {"\\游戏\\表.dll", true},  // 表 is B1 ED; 竦 (F3 5C) ends in a backslash byte:
        {"\\\xf3\x5c.dll", true},  // one character, not a separator
        {"\\a..b.dll", true},
        {"", false},
        {"a.dll", false},
        {"\\..\\a.dll", false},
        {"\\sub\\..\\..\\a.dll", false},
        {"/sub/../../a.dll", false},
        {"\\sub\\..", false},
        {"\\.\\a.dll", false},
        {"\\...\\a.dll", false},
        {"\\. .\\a.dll", false},
        {"C:\\Windows\\a.dll", false},
        {"\\C:\\a.dll", false},
        {"\\\\server\\share\\a.dll", false},
        {"\\a.dll:stream", false},
        {"\\a.dll::$DATA", false},
        {"\\sub\\\\a.dll", false},
        {"\\sub\\", false},
        {"\\", false},
        {"\\a*.dll", false},
        {"\\a?.dll", false},
        {"\\a\".dll", false},
        {"\\a<b", false},
        {"\\a|b", false},
        {"\\a\nb", false},
        {"\\a\tb", false},
    };
    for (const Case& c : cases) {
        std::string strWhy;
        EXPECT_EQ(c.bSafe, IsSafeFileName(c.pszName, strWhy)) << c.pszName;
        EXPECT_EQ(c.bSafe, strWhy.empty()) << c.pszName;
    }
}

TEST(Manifest, HostileEntriesRefuseTheWholeManifest) {
    const char* names[] = {"\\..\\evil.dll", "C:\\evil.dll", "\\\\host\\s\\evil.dll",
                           "\\ok.dll:ads", ""};
    for (const char* pszName : names) {
        const std::string strXml =
            PlazaWith("<e name=\"\\fine.dll\" date=\"d\" isSpecial=\"0\"/><e name=\"" +
                      std::string(pszName) + "\" date=\"d\" isSpecial=\"0\"/>");
        Manifest manifest;
        std::string strProblem;
        EXPECT_EQ(ManifestStatus::Refused,
                  ParseManifest(strXml.c_str(), true, manifest, strProblem))
            << pszName;
        EXPECT_NE(std::string::npos, strProblem.find(pszName)) << pszName;
    }
}

TEST(Manifest, SpecialNamesMustBeBatchSafe) {
    struct Case {
        const char* pszName;
        bool bSafe;
    };
    const Case cases[] = {
        {"\\a.dll", true},      {"\\a b(1).dll", true}, {"\\游戏.dll", true},
        {"\\a%b.dll", false},   {"\\a^b.dll", false},   {"\\a&b.dll", false},
        {"\\100%%.dll", false}, {"\\a\rb", false},      {"\\x&calc.dll", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.bSafe, IsBatchSafeName(c.pszName)) << c.pszName;
    }
    // Refused only where the batch file would hold it: an ordinary file may use %.
    Manifest manifest;
    std::string strProblem;
    EXPECT_EQ(ManifestStatus::Ok,
              ParseManifest(PlazaWith("<e name=\"\\a%b.dll\" date=\"d\" isSpecial=\"0\"/>").c_str(),
                            true, manifest, strProblem));
    EXPECT_EQ(ManifestStatus::Refused,
              ParseManifest(PlazaWith("<e name=\"\\a%b.dll\" date=\"d\" isSpecial=\"1\"/>").c_str(),
                            true, manifest, strProblem));
    EXPECT_EQ(
        ManifestStatus::Refused,
        ParseManifest(PlazaWith("<e name=\"\\a&amp;b.dll\" date=\"d\" isSpecial=\"2\"/>").c_str(),
                      true, manifest, strProblem));
}

TEST(Manifest, ValuesTooLongForTheirFieldsAreRefused) {
    struct Case {
        std::string strName;
        std::string strDate;
        ManifestStatus status;
    };
    const Case cases[] = {
        {"\\" + std::string(126, 'n'), std::string(39, 'd'), ManifestStatus::Ok},
        {"\\" + std::string(127, 'n'), "d", ManifestStatus::Refused},
        {"\\a", std::string(40, 'd'), ManifestStatus::Refused},
    };
    for (const Case& c : cases) {
        Manifest manifest;
        std::string strProblem;
        const std::string strXml =
            PlazaWith("<e name=\"" + c.strName + "\" date=\"" + c.strDate + "\" isSpecial=\"0\"/>");
        EXPECT_EQ(c.status, ParseManifest(strXml.c_str(), true, manifest, strProblem))
            << c.strName.size() << "/" << c.strDate.size();
    }
    Manifest manifest;
    std::string strProblem;
    EXPECT_EQ(ManifestStatus::Refused,
              ParseManifest(PlazaWith("", "<g name=\"" + std::string(128, 'g') + "\"/>").c_str(),
                            true, manifest, strProblem));
}

TEST(Manifest, GameNames) {
    const char* good[] = {"G", "斗地主", "Chess 2"};
    const char* bad[] = {"", "..", "a\\b", "a/b", "C:x", "a*", "a|b"};
    for (const char* pszName : good)
        EXPECT_TRUE(IsSafeGameName(pszName)) << pszName;
    for (const char* pszName : bad)
        EXPECT_FALSE(IsSafeGameName(pszName)) << pszName;
}

TEST(Manifest, ReadFromAMissingFileFails) {
    Manifest manifest;
    std::string strProblem;
    EXPECT_EQ(ManifestStatus::LoadFailed,
              ReadManifest("/nonexistent/LastUpdateFiles.xml", true, manifest, strProblem));
}

}  // namespace
