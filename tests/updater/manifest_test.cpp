// Manifest reading: shapes, unusable documents, and hostile values. Which
// names are safe is the shared rule's own table (tests/names); here only how
// the reader applies it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "updater/core/manifest.h"
#include "xmllimits/xmllimits.h"

namespace {

const std::string kDigest = "0cc175b9c0f1b6a831c399e269772661";

std::string PlazaWith(const std::string& strFiles, const std::string& strGames = "") {
    return "<Update><Files>" + strFiles + "</Files><Games>" + strGames + "</Games></Update>";
}

std::string Entry(const std::string& strName, const std::string& strDate = kDigest,
                  const std::string& strSpecial = "0") {
    return "<e name=\"" + strName + "\" date=\"" + strDate + "\" isSpecial=\"" + strSpecial +
           "\"/>";
}

// nDepth elements named strName nested in one another, each with an
// attribute whose value holds what would end a tag if quotes were not honoured.
std::string Nested(int nDepth, const std::string& strName = "x") {
    std::string strXml;
    for (int i = 0; i < nDepth; ++i)
        strXml += "<" + strName + " a=\"/>\" b='</x>'>";
    for (int i = 0; i < nDepth; ++i)
        strXml += "</" + strName + ">";
    return strXml;
}

std::string Repeat(const std::string& strPiece, int nTimes) {
    std::string strText;
    for (int i = 0; i < nTimes; ++i)
        strText += strPiece;
    return strText;
}

TEST(Manifest, ReadsFilesAndGamesInOrderByPosition) {
    const std::string strXml =
        "<?xml version=\"1.0\" encoding=\"gb2312\"?>"
        "<R><F>"
        "<a name=\"\\a.dll\" date=\"" +
        kDigest +
        "\" bytes=\"10\" isSpecial=\"0\"/>"
        "<b name=\"\\sub\\游戏.dll\" date=\"" +
        kDigest +
        "\" isSpecial=\" -1\"/>"
        "<c name=\"\\c.dat\" date=\"" +
        kDigest +
        "\" bytes=\"0100\" isSpecial=\"yes\"/>"
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
        std::string strXml;
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
        {"<R><F><e date=\"" + kDigest + "\" isSpecial=\"0\"/></F><G/></R>", true,
         ManifestStatus::Refused},
        {"<R><F><e name=\"\\a\" isSpecial=\"0\"/></F><G/></R>", true, ManifestStatus::Refused},
        {"<R><F><e name=\"\\a\" date=\"" + kDigest + "\"/></F><G/></R>", true,
         ManifestStatus::Refused},
        // Nesting: the format needs three levels; the limit is counted as
        // TinyXML reads the text (quoted values, comments and CDATA hold no tags).
        {"<R><F/><G/>" + Nested(static_cast<int>(kMaxXmlDepth) - 1) + "</R>", true,
         ManifestStatus::Ok},
        {"<R><F/><G/>" + Nested(static_cast<int>(kMaxXmlDepth)) + "</R>", true,
         ManifestStatus::LoadFailed},
        {Nested(60000), true, ManifestStatus::LoadFailed},
        // TinyXML takes byte 0x7F for a letter: it starts an element, not an
        // unknown node that would hide the nesting from the walk.
        {Nested(static_cast<int>(kMaxXmlDepth) + 1, "\x7F"), true, ManifestStatus::LoadFailed},
        // TinyXML reads the declaration's version, encoding and standalone
        // whole: a '>' quoted in one does not end it.
        {"<?xml version='><b x=\"' ?>" + Repeat("<a>", 100000), true, ManifestStatus::LoadFailed},
        {"<?XML version=\"1.0\" encoding='gb2312'?><R><F/><G/>" +
             Nested(static_cast<int>(kMaxXmlDepth) - 1) + "</R>",
         true, ManifestStatus::Ok},
        {"<R><!--" + Nested(20) + "--><F/><G/></R>", true, ManifestStatus::Ok},
        {"<R><F/><G/><![CDATA[" + Nested(20) + "]]></R>", true, ManifestStatus::Ok},
        {"<R><F/><G/><x a=x/></R>", true, ManifestStatus::Ok},  // unquoted, as TinyXML allows
        // Read as UTF-8, a lead byte takes the bytes after it into its
        // character: a quote or the terminating zero among them would move
        // TinyXML's reading away from the walk that counts the depth.
        {"<?xml version=\"1.0\" encoding=\"gb2312\"?><R><F/><G/><x a=\"\xE4\xB8\"/></R>", true,
         ManifestStatus::Ok},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><R><F/><G/><x a=\"\xE4\xB8\"/></R>", true,
         ManifestStatus::LoadFailed},
        {"<?xml version=\"1.0\"?><R><F/><G/><x a=\"\xE4\xB8\"/></R>", true,
         ManifestStatus::LoadFailed},
        {"\xEF\xBB\xBF<R><F/><G/><x a=\"\xE4\xB8\xAD\"/></R>", true, ManifestStatus::Ok},
        {"\xEF\xBB\xBF<R><F/><G/>\xE4", true, ManifestStatus::LoadFailed},
    };
    for (const Case& c : cases) {
        Manifest manifest;
        std::string strProblem;
        EXPECT_EQ(c.status, ParseManifest(c.strXml.c_str(), c.bPlaza, manifest, strProblem))
            << c.strXml.substr(0, 200);
        if (c.status == ManifestStatus::Refused) {
            EXPECT_FALSE(strProblem.empty()) << c.strXml;
        }
    }
}

TEST(Manifest, FilesAboveTheSizeCapAreNotParsed) {
    char szPath[] = "/tmp/manifest-cap-XXXXXX";
    const int fd = mkstemp(szPath);
    ASSERT_NE(-1, fd);
    close(fd);
    const std::string strHead = PlazaWith("") + "<!--";
    const std::string strTail = "-->";
    for (std::size_t cbExtra : {0, 1}) {
        {
            std::ofstream out(szPath, std::ios::binary | std::ios::trunc);
            out << strHead
                << std::string(kMaxXmlBytes - strHead.size() - strTail.size() + cbExtra, 'p')
                << strTail;
        }
        Manifest manifest;
        std::string strProblem;
        EXPECT_EQ(cbExtra == 0 ? ManifestStatus::Ok : ManifestStatus::LoadFailed,
                  ReadManifest(szPath, true, manifest, strProblem))
            << cbExtra;
    }
    std::remove(szPath);
}

TEST(Manifest, TheUpdatersPartOfTheNameRule) {
    struct Case {
        const char* pszName;
        bool bSafe;
    };
    // Everything after the leading separator is the shared rule's.
    const Case cases[] = {
        {"\\a.dll", true},
        {"/a.dll", true},
        {"\\sub\\CON.dll", false},
        {"", false},
        {"a.dll", false},
        {"\\", false},
        {"\\\\server\\s", false},
        {"\\/a.dll", false},
        {"\\a.dll.", false},
        {"\\\x81\\a.dll", true},  // 0x81 0x5C is one character, not a separator
        {"\\\x81", false},
    };
    for (const Case& c : cases) {
        std::string strWhy;
        EXPECT_EQ(c.bSafe, IsSafeFileName(c.pszName, strWhy)) << c.pszName;
        EXPECT_EQ(c.bSafe, strWhy.empty()) << c.pszName;
    }
}

TEST(Manifest, HostileEntriesRefuseTheWholeManifest) {
    struct Case {
        std::string strEntries;
        std::string strNamed;  // what the log line must name
    };
    const Case cases[] = {
        {Entry("\\..\\evil.dll"), "\\..\\evil.dll"},
        {Entry("C:\\evil.dll"), "C:\\evil.dll"},
        {Entry("\\\\host\\s\\evil.dll"), "\\\\host\\s\\evil.dll"},
        {Entry("\\ok.dll:ads"), "\\ok.dll:ads"},
        {Entry("\\sub\\nul.txt"), "\\sub\\nul.txt"},
        {Entry("\\a.dll "), "\\a.dll "},
        {Entry("\\a\x81&amp;b.dll"), "\\a\x81&b.dll"},
        {Entry(""), ""},
        // Two entries for one file, as Windows compares names.
        {Entry("\\Sub\\A.dll") + Entry("\\sub/a.DLL"), "\\sub/a.DLL"},
        {Entry("\\sub") + Entry("\\sub\\a.dll"), "\\sub\\a.dll"},
        // A file entry must carry its digest.
        {Entry("\\nodigest.dll", ""), "\\nodigest.dll"},
        {Entry("\\short.dll", kDigest.substr(1)), "\\short.dll"},
        {Entry("\\long.dll", kDigest + "0"), "\\long.dll"},
        {Entry("\\nothex.dll", "g" + kDigest.substr(1)), "\\nothex.dll"},
    };
    for (const Case& c : cases) {
        const std::string strXml = PlazaWith(Entry("\\fine.dll") + c.strEntries);
        Manifest manifest;
        std::string strProblem;
        EXPECT_EQ(ManifestStatus::Refused,
                  ParseManifest(strXml.c_str(), true, manifest, strProblem))
            << c.strEntries;
        EXPECT_NE(std::string::npos, strProblem.find(c.strNamed)) << c.strEntries;
    }
    // Case is no fault in a digest.
    Manifest manifest;
    std::string strProblem;
    EXPECT_EQ(ManifestStatus::Ok,
              ParseManifest(PlazaWith(Entry("\\a", "0CC175B9C0F1B6A831C399E269772661")).c_str(),
                            true, manifest, strProblem));
}

TEST(Manifest, SpecialNamesMustBeBatchSafe) {
    // Refused only where the batch file would hold it: an ordinary file may use %.
    Manifest manifest;
    std::string strProblem;
    EXPECT_EQ(ManifestStatus::Ok,
              ParseManifest(PlazaWith(Entry("\\a%b.dll")).c_str(), true, manifest, strProblem));
    EXPECT_EQ(ManifestStatus::Refused,
              ParseManifest(PlazaWith(Entry("\\a%b.dll", kDigest, "1")).c_str(), true, manifest,
                            strProblem));
    EXPECT_EQ(ManifestStatus::Refused,
              ParseManifest(PlazaWith(Entry("\\a&amp;b.dll", kDigest, "2")).c_str(), true, manifest,
                            strProblem));
}

TEST(Manifest, NamesTooLongForTheirFieldsAreRefused) {
    struct Case {
        std::string strName;
        ManifestStatus status;
    };
    const Case cases[] = {
        {"\\" + std::string(126, 'n'), ManifestStatus::Ok},
        {"\\" + std::string(127, 'n'), ManifestStatus::Refused},
    };
    for (const Case& c : cases) {
        Manifest manifest;
        std::string strProblem;
        EXPECT_EQ(c.status,
                  ParseManifest(PlazaWith(Entry(c.strName)).c_str(), true, manifest, strProblem))
            << c.strName.size();
    }
}

// A game entry only decides whose processes are ended; one that can match
// no process is passed over, and the files are still updated.
TEST(Manifest, OddGameEntriesArePassedOver) {
    const std::string strXml =
        PlazaWith(Entry("\\a.dll"),
                  "<g name=\"Chess\"/><g/><g name=\"..\\x\"/><g name=\"CON\"/>"
                  "<g name=\"" +
                      std::string(128, 'g') + "\"/><g name=\"斗地主\"/>");
    Manifest manifest;
    std::string strProblem;
    ASSERT_EQ(ManifestStatus::Ok, ParseManifest(strXml.c_str(), true, manifest, strProblem))
        << strProblem;
    EXPECT_EQ((std::vector<std::string>{"Chess", "斗地主"}), manifest.games);
    EXPECT_EQ((std::vector<std::string>{"", "..\\x", "CON", std::string(128, 'g')}),
              manifest.skippedGames);
    EXPECT_EQ(1u, manifest.files.size());
}

TEST(Manifest, GameNames) {
    const char* good[] = {"G", "斗地主", "Chess 2", "\x95\x5C"};
    const char* bad[] = {"", "..", "a\\b", "a/b", "C:x", "a*", "a|b", "nul", "G.", "\x95"};
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
