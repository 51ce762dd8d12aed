// CUserTitle as the plaza uses it: constructed from Quorle's exports (linked
// against the library on both toolchains), fed two XML title tables written
// here in code page 936.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quorletestfiles.h"
#include "usertitle.h"

namespace {

using quorle_test::CaseDirectory;
using quorle_test::JoinPath;

const char* const kHeader = "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n";

std::string ScoreTable(const std::vector<std::pair<std::string, std::string>>& rows) {
    std::string strText = std::string(kHeader) + "<ScoreTitle>\r\n";
    for (const auto& row : rows)
        strText += "  <Item Score=\"" + row.first + "\" Title=\"" + row.second + "\"/>\r\n";
    return strText + "</ScoreTitle>\r\n";
}

struct LevelRowText {
    std::string strLv;
    std::string strTitle;
    std::string strLvUpExp;
};

std::string LevelTable(const std::vector<LevelRowText>& rows) {
    std::string strText = std::string(kHeader) + "<LevelTitle>\r\n";
    for (const auto& row : rows) {
        strText += "  <Item lv=\"" + row.strLv + "\" Title=\"" + row.strTitle + "\" LvUpExp=\"" +
                   row.strLvUpExp + "\"/>\r\n";
    }
    return strText + "</LevelTitle>\r\n";
}

// Writes the file into the case's folder and returns its path.
std::string WriteTable(const std::string& strCase, const std::string& strName,
                       const std::string& strText) {
    const std::string strPath = JoinPath(CaseDirectory("title_" + strCase), strName);
    EXPECT_TRUE(quorle_test::WriteFileBytes(strPath, strText)) << strPath;
    return strPath;
}

std::string Repeat(const std::string& strPiece, std::size_t nTimes) {
    std::string strText;
    strText.reserve(strPiece.size() * nTimes);
    for (std::size_t i = 0; i < nTimes; ++i)
        strText += strPiece;
    return strText;
}

std::string MissingFile(const std::string& strCase) {
    const std::string strPath = JoinPath(CaseDirectory("title_" + strCase), "missing.xml");
    quorle_test::RemoveFile(strPath);
    return strPath;
}

TEST(UserTitleTest, ScoreTitleOfTheHighestBracketReached) {
    const struct {
        const char* pszTable;
        std::vector<std::pair<std::string, std::string>> rows;
        std::vector<std::pair<std::int32_t, const char*>> answers;
    } tables[] = {
        {"ascending",
         {{"0", "T0"}, {"100", "T100"}, {"500", "T500"}},
         {{-7, "T0"},
          {99, "T0"},
          {100, "T100"},
          {499, "T100"},
          {500, "T500"},
          {INT32_MAX, "T500"},
          {INT32_MIN, "T0"}}},
        {"out of order",
         {{"500", "T500"}, {"0", "T0"}, {"100", "T100"}},
         {{600, "T100"}, {-1, "T500"}, {50, "T0"}, {100, "T100"}}},
        {"tie", {{"0", "first"}, {"10", "early"}, {"10", "late"}}, {{10, "late"}, {9, "first"}}},
        {"lenient integers",
         {{" 42abc", "A"}, {"+7", "B"}, {"-3x", "C"}, {"abc", "D"}},
         // D reads as 0: the last row reached for every score from 0 on.
         {{100, "D"}, {-1, "C"}, {-3, "C"}, {-4, "A"}}},
    };
    for (const auto& t : tables) {
        CUserTitle title;
        title.Init(WriteTable("score", "score.xml", ScoreTable(t.rows)).c_str(),
                   MissingFile("score").c_str());
        for (const auto& answer : t.answers)
            EXPECT_EQ(answer.second, title.GetScoreTileName(answer.first))
                << t.pszTable << " at " << answer.first;
        EXPECT_EQ("", title.GetLvTileName(1)) << t.pszTable;
    }
}

TEST(UserTitleTest, LevelTitlesAndExperienceByPosition) {
    const std::vector<LevelRowText> rows = {
        {"1", "新手", "100"}, {"2", "熟手", "300"}, {"3", "高手", "900"}};
    CUserTitle title;
    title.Init(MissingFile("level").c_str(),
               WriteTable("level", "level.xml", LevelTable(rows)).c_str());
    const struct {
        std::uint32_t dwLevel;
        std::int32_t lLvUpExp;
        const char* pszTitle;
    } cases[] = {
        {0, 100, "新手"}, {1, 300, "新手"},  {2, 900, "熟手"},
        {3, 900, "高手"}, {50, 900, "高手"}, {UINT32_MAX, 900, "高手"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.lLvUpExp, title.GetLvUpExp(c.dwLevel)) << c.dwLevel;
        EXPECT_EQ(c.pszTitle, title.GetLvTileName(c.dwLevel)) << c.dwLevel;
    }
    EXPECT_EQ("", title.GetScoreTileName(100)) << "missing score file";
    EXPECT_EQ("的新手", title.GetTitleName(100, 1));
}

TEST(UserTitleTest, NegativeLevelBoundIsReachedByNoOrdinaryLevel) {
    CUserTitle title;
    title.Init(nullptr, WriteTable("negative", "level.xml",
                                   LevelTable({{"0", "零", "1"}, {"-5", "负", "2"}}))
                            .c_str());
    EXPECT_EQ("零", title.GetLvTileName(1000000));
    EXPECT_EQ("零", title.GetLvTileName(0x7fffffff));
    EXPECT_EQ("负", title.GetLvTileName(0xfffffffb)) << "the bound as unsigned";
}

TEST(UserTitleTest, CombinedTitle) {
    const std::string strScore =
        WriteTable("combined", "score.xml", ScoreTable({{"0", "贫民"}, {"300000", "富翁"}}));
    const std::string strLevel = WriteTable(
        "combined", "level.xml", LevelTable({{"0", "赌侠", "10"}, {"15", "赌王", "20"}}));
    CUserTitle title;
    title.Init(strScore.c_str(), strLevel.c_str());
    EXPECT_EQ("富翁的赌王", title.GetTitleName(300000, 15));
    EXPECT_EQ("贫民的赌侠", title.GetTitleName(-1, 0));

    CUserTitle empty;
    EXPECT_EQ("的", empty.GetTitleName(0, 0)) << "never initialised";
    EXPECT_EQ(0, empty.GetLvUpExp(0)) << "empty level table";
    EXPECT_EQ(0, empty.GetLvUpExp(UINT32_MAX)) << "empty level table";
}

TEST(UserTitleTest, SecondInitAppendsBothTables) {
    const std::string strScore =
        WriteTable("twice", "score.xml", ScoreTable({{"0", "T0"}, {"100", "T100"}}));
    const std::string strLevel =
        WriteTable("twice", "level.xml",
                   LevelTable({{"1", "L1", "100"}, {"2", "L2", "300"}, {"3", "L3", "900"}}));
    CUserTitle title;
    title.Init(strScore.c_str(), strLevel.c_str());
    EXPECT_EQ(900, title.GetLvUpExp(3)) << "once";
    title.Init(strScore.c_str(), strLevel.c_str());
    const struct {
        std::uint32_t dwLevel;
        std::int32_t lLvUpExp;
    } cases[] = {{0, 100}, {2, 900}, {3, 100}, {4, 300}, {5, 900}, {6, 900}};
    for (const auto& c : cases)
        EXPECT_EQ(c.lLvUpExp, title.GetLvUpExp(c.dwLevel)) << c.dwLevel;
    EXPECT_EQ("T100", title.GetScoreTileName(150));
    EXPECT_EQ("T0", title.GetScoreTileName(-1));
    EXPECT_EQ("L3", title.GetLvTileName(3));
    EXPECT_EQ("L1", title.GetLvTileName(0));
}

TEST(UserTitleTest, FilesThatGiveNoRows) {
    const std::string strLevel = WriteTable("bad", "level.xml", LevelTable({{"0", "有效", "5"}}));
    const struct {
        const char* pszCase;
        std::string strText;
    } cases[] = {
        {"not well-formed", "<ScoreTitle><Item Score=\"1\" Title=\"x\"></ScoreTitle>"},
        {"declaration only", kHeader},
        {"comment only", "<!-- no table -->"},
        {"empty file", ""},
        {"root without rows", "<ScoreTitle>text only</ScoreTitle>"},
        // TinyXML would recurse once a level, far past the stack.
        {"nested far too deep", "<ScoreTitle><Item Score=\"0\" Title=\"x\"/>" +
                                    Repeat("<a>", 200000) + Repeat("</a>", 200000) +
                                    "</ScoreTitle>"},
        {"larger than any title table",
         ScoreTable({{"0", "x"}}) + "<!--" + std::string(4u << 20, ' ') + "-->"},
    };
    for (const auto& c : cases) {
        CUserTitle title;
        title.Init(WriteTable("bad", "score.xml", c.strText).c_str(), strLevel.c_str());
        EXPECT_EQ("", title.GetScoreTileName(0)) << c.pszCase;
        EXPECT_EQ("有效", title.GetLvTileName(0)) << c.pszCase << ": the level file is still read";
    }
    // The other way round: a bad level file after a good score file.
    CUserTitle title;
    title.Init(WriteTable("bad2", "score.xml", ScoreTable({{"0", "好"}})).c_str(),
               WriteTable("bad2", "level.xml", "<LevelTitle><Item lv=\"1\"").c_str());
    EXPECT_EQ("好", title.GetScoreTileName(0));
    EXPECT_EQ(0, title.GetLvUpExp(0));
}

TEST(UserTitleTest, RowsAreTheRootsElementChildrenWithTheirAttributes) {
    const std::string strScore = WriteTable(
        "rows", "score.xml",
        std::string(kHeader) +
            "<AnyRoot>leading text<!-- a comment -->\r\n"
            "  <A Score=\"10\" Title=\"甲 &amp; 乙\"><Nested Score=\"5\" Title=\"inner\"/></A>\r\n"
            "  <B Title=\"no score\"/>\r\n"
            "  <C Score=\"20\"/>\r\n"
            "</AnyRoot>\r\n");
    const std::string strLevel =
        WriteTable("rows", "level.xml",
                   "<L><R Title=\"no numbers\"/><R lv=\"2\" LV=\"9\" "
                   "Title=\"lower-case lv\" LvUpExp=\"99999999999\"/></L>");
    CUserTitle title;
    title.Init(strScore.c_str(), strLevel.c_str());
    // Rows in file order: (10, "甲 & 乙"), (0, "no score"), (20, "").
    EXPECT_EQ("no score", title.GetScoreTileName(5)) << "nested element is no row";
    EXPECT_EQ("no score", title.GetScoreTileName(19));
    EXPECT_EQ("", title.GetScoreTileName(20)) << "absent Title";
    EXPECT_EQ("甲 & 乙", title.GetScoreTileName(-1)) << "below every row: the first row";
    EXPECT_EQ("no numbers", title.GetLvTileName(1));
    EXPECT_EQ("lower-case lv", title.GetLvTileName(2));
    EXPECT_EQ(0, title.GetLvUpExp(0)) << "absent LvUpExp";
    EXPECT_EQ(INT32_MAX, title.GetLvUpExp(1)) << "too large for 32 bits";
}

TEST(UserTitleTest, EntitiesAndChineseFolder) {
    const std::string strDir = CaseDirectory("称号表");
    const std::string strScore = JoinPath(strDir, "积分.xml");
    ASSERT_TRUE(quorle_test::WriteFileBytes(
        strScore, ScoreTable({{"0", "A &amp; B &lt;C&gt; &quot;D&quot;"}, {"1", "赌圣"}})));
    std::unique_ptr<CUserTitle> pTitle(new CUserTitle());
    pTitle->Init(strScore.c_str(), nullptr);
    EXPECT_EQ("A & B <C> \"D\"", pTitle->GetScoreTileName(0));
    EXPECT_EQ("赌圣", pTitle->GetScoreTileName(1));
    EXPECT_EQ(std::string("\xb6\xc4\xca\xa5"), pTitle->GetScoreTileName(1))
        << "code page 936 bytes";
}

}  // namespace
