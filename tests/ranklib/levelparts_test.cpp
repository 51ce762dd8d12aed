// The rank library's portable parts, reached directly (native build): the
// value parse, the INI lookup, the title integers, and the record pool with
// allocation failures injected.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "inireader.h"
#include "levelpool.h"
#include "levelvalue.h"
#include "platform.h"
#include "quorlemanager.h"
#include "titletable.h"

namespace {

bool MakeTestFile(const char* pszName, const std::string& strText) {
    FILE* pFile = std::fopen(pszName, "wb");
    if (pFile == nullptr)
        return false;
    const bool bWritten = std::fwrite(strText.data(), 1, strText.size(), pFile) == strText.size();
    return std::fclose(pFile) == 0 && bWritten;
}

TEST(ParseLevelValueTest, NameAndBound) {
    const struct {
        std::string strValue;
        std::string strName;
        std::int32_t lLevelValue;
    } cases[] = {
        {"务农,0", "务农", 0},
        {"佃户,2000", "佃户", 2000},
        {"  赌神 , 1,000", "赌神 ", 1},
        {"ABC,-500", "ABC", 500},
        {"ABCDEFGHIJKLMNOP,100", "ABCDEFGHIJKLMNO", 100},
        {"职业赌神职业赌神,100", "职业赌神职业赌", 0},  // the eighth would be cut
        {"A职业赌神职业赌,1", "A职业赌神职业赌", 1},    // 15 bytes of whole characters
        {"名\x81,5", "名", 5},                          // a lead byte before the comma
        {"ABCDEFGHIJKLMN12345,500", "ABCDEFGHIJKLMN1", 2345},
        {"无逗号", "无逗号", 0},
        {"", "", 0},
        {",", "", 0},
        {",42", "", 42},
        {"               X,7", "", 7},   // 15 spaces fill the name's walk
        {"              XY,7", "X", 7},  // 14 spaces leave one byte
        {"a b ,3", "a b ", 3},
        {"名,/9", "名", 9},  // 0x2F, the last byte before the digits, is passed over
        {"名,:9", "名", 9},  // so is 0x3A, the first byte after them
        {"名,\x7f"
         "9",
         "名", 9},  // 0x7F is passed over
        {"名,\x80"
         "9",
         "名", 0},  // 0x80 ends the skip
        {"名,9\x80"
         "9",
         "名", 9},
        {"x,2147483647", "x", 2147483647},
        {"x,2147483648", "x", 2147483647},
        {"x,99999999999999999999999", "x", 2147483647},
        {"x,0000000000000000000012", "x", 12},
    };
    for (const auto& c : cases) {
        tagLevelDescribe level;
        std::memset(&level, 0x55, sizeof(level));
        ParseLevelValue(c.strValue.c_str(), &level);
        EXPECT_EQ(c.strName, level.szLevelName) << c.strValue;
        EXPECT_EQ(c.lLevelValue, level.lLevelValue) << c.strValue;
    }
}

TEST(FindProfileValueTest, WindowsLookupRules) {
    const std::string strText =
        "top=before any section\n"
        "[LevelDescribe]\r\n"
        "LevelItem1=务农,0\r\n"
        "  levelitem2  =  佃户,2000  \r\n"
        "LevelItem3=\"  quoted , 5 \"\n"
        "LevelItem4='x'\n"
        "LevelItem5=\"unbalanced\n"
        "LevelItem6=\"\n"
        "LevelItem7\n"
        "LevelItem8=a=b\n"
        "LevelItem1=second\n"
        ";LevelItem9=commented\n"
        "\tLevelItem10\t=\ttabs\t\n"
        "[Broken\n"
        "LevelItem11=still in the section\n"
        "[ other ] trailing\n"
        "LevelItem12=other\n"
        "[LEVELDESCRIBE]\n"
        "LevelItem13=second section of the name\n";
    const struct {
        const char* pszSection;
        const char* pszKey;
        bool bFound;
        std::string strValue;
    } cases[] = {
        {"LevelDescribe", "LevelItem1", true, "务农,0"},
        {"leveldescribe", "LEVELITEM2", true, "佃户,2000"},
        {"LevelDescribe", "LevelItem3", true, "  quoted , 5 "},
        {"LevelDescribe", "LevelItem4", true, "x"},
        {"LevelDescribe", "LevelItem5", true, "\"unbalanced"},
        {"LevelDescribe", "LevelItem6", true, "\""},
        {"LevelDescribe", "LevelItem7", true, ""},
        {"LevelDescribe", "LevelItem8", true, "a=b"},
        {"LevelDescribe", "LevelItem9", false, ""},
        {"LevelDescribe", ";LevelItem9", true, "commented"},
        {"LevelDescribe", "LevelItem10", true, "tabs"},
        {"LevelDescribe", "LevelItem11", true, "still in the section"},
        {"LevelDescribe", "LevelItem12", false, ""},
        {"other", "LevelItem12", true, "other"},
        {"LevelDescribe", "LevelItem13", false, ""},
        {"LevelDescribe", "top", false, ""},
        {"Missing", "LevelItem1", false, ""},
    };
    for (const auto& c : cases) {
        std::string strValue = "untouched";
        EXPECT_EQ(c.bFound, FindProfileValue(strText, c.pszSection, c.pszKey, &strValue))
            << c.pszSection << "/" << c.pszKey;
        EXPECT_EQ(c.bFound ? c.strValue : std::string("untouched"), strValue)
            << c.pszSection << "/" << c.pszKey;
    }
}

TEST(ReadProfileStringTest, BufferAndFileRules) {
    ASSERT_TRUE(MakeTestFile("parts.ini",
                             "[S]\nlong=" + std::string(300, 'x') + "\nshort=abc\nwide=务农,5\n"));
    const struct {
        const char* pszFile;
        const char* pszKey;
        std::size_t cbBuffer;
        std::string strValue;
    } cases[] = {
        {"parts.ini", "short", 256, "abc"},    {"parts.ini", "long", 256, std::string(255, 'x')},
        {"parts.ini", "short", 3, "ab"},       {"parts.ini", "short", 1, ""},
        {"parts.ini", "wide", 256, "务农,5"},  {"parts.ini", "missing", 256, ""},
        {".\\parts.ini", "short", 256, "abc"}, {"no-such-file.ini", "short", 256, ""},
    };
    for (const auto& c : cases) {
        char szBuffer[256];
        std::memset(szBuffer, '#', sizeof(szBuffer));
        const std::size_t cbCopied =
            quorle_platform::ReadProfileString("s", c.pszKey, szBuffer, c.cbBuffer, c.pszFile);
        EXPECT_EQ(c.strValue.size(), cbCopied) << c.pszFile << " " << c.pszKey << " " << c.cbBuffer;
        EXPECT_EQ(c.strValue, std::string(szBuffer)) << c.pszFile << " " << c.pszKey;
    }
}

TEST(ReadTitleIntegerTest, AtoiRule) {
    const struct {
        const char* pszText;
        std::int32_t lValue;
    } cases[] = {
        {nullptr, 0},
        {"", 0},
        {"42", 42},
        {" \t\r\n42x", 42},
        {"+7", 7},
        {"-3x", -3},
        {"abc", 0},
        {"- 3", 0},
        {"--3", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"99999999999999999999", INT32_MAX},
        {"-99999999999999999999", INT32_MIN},
        {"0x10", 0},
        {"1e3", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.lValue, ReadTitleInteger(c.pszText)) << (c.pszText ? c.pszText : "(null)");
}

// ----------------------------------------------------------------- pool

int g_nAllocationsLeft = 0;

tagLevelDescribe* LimitedAllocation() {
    if (g_nAllocationsLeft <= 0)
        return nullptr;
    --g_nAllocationsLeft;
    return new tagLevelDescribe();
}

// Allocation through LimitedAllocation while it lives, an empty pool at its
// start and at its end.
class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        DrainPool();
        m_pfnOld = quorle_pool::SetRecordAllocator(&LimitedAllocation);
    }
    void TearDown() override {
        quorle_pool::SetRecordAllocator(m_pfnOld);
        DrainPool();
    }
    static void DrainPool() {
        while (quorle_pool::GetSpareCount() > 0)
            delete quorle_pool::TakeRecord();
    }
    static std::vector<tagLevelDescribeW> Levels(int nCount) {
        std::vector<tagLevelDescribeW> levels(nCount);
        for (int i = 0; i < nCount; ++i) {
            std::memset(&levels[i], 0, sizeof(levels[i]));
            levels[i].lLevelValue = i * 10;
            levels[i].szLevelName[0] = static_cast<char16_t>(u'A' + i);
        }
        return levels;
    }

    quorle_pool::RecordAllocator m_pfnOld = nullptr;
};

TEST_F(PoolTest, RecordsComeBackLastInFirstOut) {
    g_nAllocationsLeft = 3;
    CQuorleManager* pManager = new CQuorleManager();
    const std::vector<tagLevelDescribeW> levels = Levels(3);
    ASSERT_TRUE(pManager->SetLevelDescribe(levels.data(), 3));
    EXPECT_EQ(0, g_nAllocationsLeft);
    const char* pszA = pManager->GetLevelName(0);
    const char* pszC = pManager->GetLevelName(20);
    pManager->Release();
    EXPECT_EQ(3, quorle_pool::GetSpareCount());

    // Nothing more may be allocated: the second manager lives on the pool.
    CQuorleManager* pSecond = new CQuorleManager();
    ASSERT_TRUE(pSecond->SetLevelDescribe(levels.data(), 2));
    EXPECT_EQ(1, quorle_pool::GetSpareCount());
    // The last record handed back (C's) is the first taken.
    EXPECT_EQ(pszC, pSecond->GetLevelName(0));
    EXPECT_STREQ("A", pSecond->GetLevelName(0));
    tagLevelDescribe* pLeft = quorle_pool::TakeRecord();
    EXPECT_EQ(pszA, pLeft->szLevelName);
    delete pLeft;
    pSecond->Release();
}

TEST_F(PoolTest, OutOfRecordsLeavesAPartialTable) {
    const std::vector<tagLevelDescribeW> levels = Levels(5);
    CQuorleManager* pManager = new CQuorleManager();

    g_nAllocationsLeft = 2;
    EXPECT_FALSE(pManager->SetLevelDescribe(levels.data(), 5)) << "hand-over of 5 with 2 records";
    EXPECT_EQ(2, pManager->GetLevelCount());
    EXPECT_FALSE(pManager->IsLevelLoaded()) << "partial";
    EXPECT_STREQ("B", pManager->GetLevelName(1000));

    // The next hand-over replaces the partial table, reusing its records.
    g_nAllocationsLeft = 0;
    EXPECT_TRUE(pManager->SetLevelDescribe(levels.data() + 3, 2));
    EXPECT_EQ(2, pManager->GetLevelCount());
    EXPECT_TRUE(pManager->IsLevelLoaded());
    EXPECT_STREQ("D", pManager->GetLevelName(0));
    EXPECT_STREQ("E", pManager->GetLevelName(1000));

    ASSERT_TRUE(pManager->UnloadGameLevel());
    EXPECT_EQ(2, quorle_pool::GetSpareCount());
    EXPECT_EQ(0, pManager->GetLevelCount());
    pManager->Release();
}

TEST_F(PoolTest, OutOfRecordsDuringALoad) {
    const std::string strIni = "[LevelDescribe]\nLevelItem1=a,0\nLevelItem2=b,1\nLevelItem3=c,2\n";
    ASSERT_TRUE(MakeTestFile("GameLevel.ini", strIni));

    CQuorleManager* pManager = new CQuorleManager();
    g_nAllocationsLeft = 1;
    EXPECT_FALSE(pManager->LoadGameLevel("."));
    EXPECT_EQ(1, pManager->GetLevelCount());
    EXPECT_FALSE(pManager->IsLevelLoaded());

    g_nAllocationsLeft = 2;
    EXPECT_TRUE(pManager->LoadGameLevel(".")) << "replaces the partial table";
    EXPECT_EQ(3, pManager->GetLevelCount());
    EXPECT_STREQ("a", pManager->GetLevelName(0));
    EXPECT_STREQ("c", pManager->GetLevelName(2));
    pManager->Release();
    EXPECT_EQ(3, quorle_pool::GetSpareCount()) << "the destructor hands every record back";
    std::remove("GameLevel.ini");
}

TEST_F(PoolTest, LargestHandOverAfterAPartialOneIsWhole) {
    const std::vector<tagLevelDescribeW> levels = Levels(2);
    std::vector<tagLevelDescribeW> many(65535, levels[1]);
    many[0] = levels[0];
    CQuorleManager* pManager = new CQuorleManager();
    g_nAllocationsLeft = 1;
    EXPECT_FALSE(pManager->SetLevelDescribe(many.data() + 1, 2)) << "partial table of 1";
    g_nAllocationsLeft = 70000;
    EXPECT_TRUE(pManager->SetLevelDescribe(many.data(), 65535));
    EXPECT_EQ(65535, pManager->GetLevelCount());
    EXPECT_STREQ("A", pManager->GetLevelName(-1)) << "the hand-over's first level comes first";
    EXPECT_TRUE(pManager->IsLevelLoaded());
    std::vector<tagLevelDescribeW> dest(65535);
    EXPECT_EQ(65535, pManager->GetLevelDescribe(dest.data(), 65535));
    pManager->Release();
}

}  // namespace
