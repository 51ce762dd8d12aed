// The rank manager as the plaza meets it: Quorle loaded by name through the
// component loader, the manager made by CreateQuorleManager, every slot called
// through the interface pointer. The same cases run on Windows (under Wine,
// with the real profile reader and code page calls) and natively.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "quorle.h"
#include "quorletestfiles.h"
#include "templates/module.h"

namespace {

using quorle_test::CaseDirectory;
using quorle_test::JoinPath;
using quorle_test::WriteFileBytes;

#ifdef _WIN32
const char* const kModuleName = "Quorle.dll";
#else
const char* const kModuleName = QUORLE_MODULE_PATH;
#endif

typedef CTempldateHelper<IQuorleManager> CQuorleHelper;

// A loader that can be told its object was already released by other means.
class CQuorleTestHelper : public CQuorleHelper {
public:
    using CQuorleHelper::CQuorleHelper;
    void ForgetObject() { m_pIInterface = nullptr; }
};

// A level as GetLevelDescribe hands it back.
struct LevelRow {
    std::int32_t lLevelValue;
    std::u16string strName;
    bool operator==(const LevelRow& other) const {
        return lLevelValue == other.lLevelValue && strName == other.strName;
    }
};

std::ostream& operator<<(std::ostream& os, const LevelRow& row) {
    os << "{" << row.lLevelValue << ", u\"";
    for (char16_t c : row.strName) {
        if (c >= 0x20 && c < 0x7f) {
            os << static_cast<char>(c);
        } else {
            os << "\\u" << std::hex << static_cast<int>(c) << std::dec;
        }
    }
    return os << "\"}";
}

tagLevelDescribeW LevelW(std::int32_t lValue, const std::u16string& strName) {
    tagLevelDescribeW level;
    std::memset(&level, 0, sizeof(level));
    level.lLevelValue = lValue;
    for (std::size_t i = 0; i < strName.size() && i < 16; ++i)
        level.szLevelName[i] = static_cast<QUORLE_WCHAR>(strName[i]);
    return level;
}

std::vector<LevelRow> ReadTable(IQuorleManager* pManager) {
    std::vector<tagLevelDescribeW> levels(pManager->GetLevelCount() + 1);
    const std::uint16_t wCount =
        pManager->GetLevelDescribe(levels.data(), static_cast<std::uint16_t>(levels.size()));
    std::vector<LevelRow> rows;
    for (std::uint16_t i = 0; i < wCount; ++i) {
        LevelRow row{levels[i].lLevelValue, std::u16string()};
        for (int n = 0; n < 16 && levels[i].szLevelName[n] != 0; ++n)
            row.strName.push_back(static_cast<char16_t>(levels[i].szLevelName[n]));
        rows.push_back(row);
    }
    return rows;
}

// "[LevelDescribe]" with one "LevelItem<n>=<value>" line per entry.
std::string LevelIni(const std::vector<std::pair<int, std::string>>& items) {
    std::string strText = "[LevelDescribe]\r\n";
    for (const auto& item : items)
        strText += "LevelItem" + std::to_string(item.first) + "=" + item.second + "\r\n";
    return strText;
}

// A folder holding GameLevel.ini with the given text.
std::string LevelDirectory(const std::string& strCase, const std::string& strIniText) {
    const std::string strDir = CaseDirectory(strCase);
    EXPECT_TRUE(WriteFileBytes(JoinPath(strDir, "GameLevel.ini"), strIniText)) << strDir;
    return strDir;
}

class QuorleManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Helper.CreateInstance()) << m_Helper.GetErrorDescribe();
        m_pManager = m_Helper.GetInterface();
    }

    CQuorleTestHelper m_Helper{IID_IQuorleManager, VER_IQuorleManager, kModuleName,
                               "CreateQuorleManager"};
    IQuorleManager* m_pManager = nullptr;
};

// ---------------------------------------------------------------- creation

TEST(QuorleCreateTest, VersionsAcceptedAndRefused) {
    const GUID kForeign = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    struct Case {
        const char* pszWhat;
        const GUID* pGuid;
        DWORD dwVersion;
        bool bCreated;
    } cases[] = {
        {"manager 08010100", &IID_IQuorleManager, 0x08010100, true},
        {"manager 08010000", &IID_IQuorleManager, 0x08010000, true},
        {"manager 080101ff", &IID_IQuorleManager, 0x080101ff, true},
        {"manager 080100ab", &IID_IQuorleManager, 0x080100ab, true},
        {"manager 08010200", &IID_IQuorleManager, 0x08010200, false},
        {"manager 0801ff00", &IID_IQuorleManager, 0x0801ff00, false},
        {"manager 08020100", &IID_IQuorleManager, 0x08020100, false},
        {"manager 08000100", &IID_IQuorleManager, 0x08000100, false},
        {"manager 09010100", &IID_IQuorleManager, 0x09010100, false},
        {"manager 07010100", &IID_IQuorleManager, 0x07010100, false},
        {"unknown 08010100", &IID_IUnknownEx, 0x08010100, true},
        {"unknown 08010001", &IID_IUnknownEx, 0x08010001, true},
        {"unknown 08010200", &IID_IUnknownEx, 0x08010200, false},
        {"foreign 08010100", &kForeign, 0x08010100, false},
    };
    for (const Case& c : cases) {
        CTempldateHelper<IUnknownEx> helper(*c.pGuid, c.dwVersion, kModuleName,
                                            "CreateQuorleManager");
        EXPECT_EQ(c.bCreated, helper.CreateInstance()) << c.pszWhat;
        if (c.bCreated && helper.GetInterface() != nullptr) {
            EXPECT_TRUE(helper->IsValid()) << c.pszWhat;
            // Whichever interface was asked for, it is the manager itself.
            EXPECT_EQ(helper.GetInterface(),
                      helper->QueryInterface(IID_IQuorleManager, VER_IQuorleManager))
                << c.pszWhat;
        }
    }
}

TEST(QuorleCreateTest, RefusedCreationLeavesNoObjectBehind) {
    module_seam::Handle hModule = module_seam::Load(kModuleName);
    ASSERT_NE(nullptr, hModule);
    ModuleCreateProc pfnCreate =
        reinterpret_cast<ModuleCreateProc>(module_seam::Symbol(hModule, "CreateQuorleManager"));
    ASSERT_NE(nullptr, pfnCreate);
    const GUID kForeign = {
        0x850e5617, 0x4eab, 0x4f2e, {0xae, 0x11, 0xef, 0xa3, 0x22, 0x65, 0xe0, 0xc3}};

    // Whatever the runtime sets up on first use is set up before measuring.
    EXPECT_EQ(nullptr, pfnCreate(kForeign, VER_IQuorleManager)) << "warm-up";
    static_cast<IQuorleManager*>(pfnCreate(IID_IQuorleManager, VER_IQuorleManager))->Release();

    const long long llBefore = quorle_test::CurrentHeapBytes();
    if (llBefore < 0)
        GTEST_SKIP() << "the heap cannot be measured here";
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(nullptr, pfnCreate(kForeign, VER_IQuorleManager)) << "foreign identifier";
        EXPECT_EQ(nullptr, pfnCreate(IID_IQuorleManager, 0x08010200)) << "version 08010200";
    }
    EXPECT_EQ(llBefore, quorle_test::CurrentHeapBytes()) << "refused creations";

    // The measure does see live managers, and their release.
    IQuorleManager* managers[50];
    for (IQuorleManager*& pManager : managers)
        pManager = static_cast<IQuorleManager*>(pfnCreate(IID_IQuorleManager, VER_IQuorleManager));
    EXPECT_LT(llBefore, quorle_test::CurrentHeapBytes()) << "50 live managers";
    for (IQuorleManager* pManager : managers) {
        ASSERT_NE(nullptr, pManager);
        pManager->Release();
    }
    EXPECT_EQ(llBefore, quorle_test::CurrentHeapBytes()) << "50 released managers";
    module_seam::Free(hModule);
}

TEST_F(QuorleManagerTest, QueryInterfaceAnswersWithTheObjectAndChangesNothing) {
    ASSERT_TRUE(
        m_pManager->SetLevelDescribe(std::vector<tagLevelDescribeW>{LevelW(0, u"A")}.data(), 1));
    void* const pSelf = static_cast<void*>(m_pManager);
    const GUID kForeign = {
        0x5feec21e, 0xdbf3, 0x46f0, {0x9f, 0x57, 0xd1, 0xcd, 0x71, 0x1c, 0x46, 0xdf}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pSelf, m_pManager->QueryInterface(IID_IQuorleManager, 0x08010100)) << i;
        EXPECT_EQ(pSelf, m_pManager->QueryInterface(IID_IUnknownEx, 0x08010000)) << i;
        EXPECT_EQ(nullptr, m_pManager->QueryInterface(IID_IQuorleManager, 0x08020100)) << i;
        EXPECT_EQ(nullptr, m_pManager->QueryInterface(kForeign, 0x08010100)) << i;
    }
    EXPECT_TRUE(m_pManager->IsValid());
    EXPECT_TRUE(m_pManager->IsLevelLoaded());
    EXPECT_EQ(1, m_pManager->GetLevelCount());
}

// The plaza calls by slot number, so the order is checked without the
// header's declarations: each slot is called through the raw table.
#if defined(_WIN32) && defined(__i386__)
#define QUORLE_SLOT_CALL __attribute__((thiscall))
#else
#define QUORLE_SLOT_CALL
#endif

template <typename Result, typename... Args>
Result CallSlot(void* pObject, int nSlot, Args... args) {
    typedef Result(QUORLE_SLOT_CALL * SlotFunction)(void*, Args...);
    void** ppTable = *static_cast<void***>(pObject);
    return reinterpret_cast<SlotFunction>(ppTable[nSlot])(pObject, args...);
}

TEST_F(QuorleManagerTest, SlotsInBindingOrder) {
    void* pObject = m_pManager;
    EXPECT_TRUE(CallSlot<bool>(pObject, 0)) << "0 IsValid";
    EXPECT_EQ(pObject, (CallSlot<void*, const GUID*, DWORD>(pObject, 2, &IID_IQuorleManager,
                                                            VER_IQuorleManager)))
        << "2 QueryInterface";
    EXPECT_FALSE(CallSlot<bool>(pObject, 3)) << "3 IsLevelLoaded";

    const std::string strDir = LevelDirectory("slots", LevelIni({{1, "甲,0"}, {2, "乙,10"}}));
    EXPECT_TRUE((CallSlot<bool, const char*>(pObject, 5, strDir.c_str()))) << "5 LoadGameLevel";
    EXPECT_TRUE(CallSlot<bool>(pObject, 3)) << "3 IsLevelLoaded";
    EXPECT_EQ(2, CallSlot<std::uint16_t>(pObject, 4)) << "4 GetLevelCount";
    EXPECT_STREQ("乙", (CallSlot<const char*, std::int64_t>(pObject, 7, 10))) << "7 GetLevelName";

    tagLevelDescribeW levels[2];
    EXPECT_EQ(2,
              (CallSlot<std::uint16_t, tagLevelDescribeW*, std::uint16_t>(pObject, 8, levels, 2)))
        << "8 GetLevelDescribe";
    EXPECT_EQ(10, levels[1].lLevelValue) << "8 GetLevelDescribe";
    EXPECT_TRUE(CallSlot<bool>(pObject, 6)) << "6 UnloadGameLevel";
    EXPECT_EQ(0, m_pManager->GetLevelCount()) << "6 UnloadGameLevel";

    levels[0].lLevelValue = 77;
    EXPECT_TRUE((CallSlot<bool, const tagLevelDescribeW*, std::uint16_t>(pObject, 9, levels, 1)))
        << "9 SetLevelDescribe";
    EXPECT_EQ(1, m_pManager->GetLevelCount()) << "9 SetLevelDescribe";
    EXPECT_STREQ("甲", m_pManager->GetLevelName(77)) << "9 SetLevelDescribe";

    // Slot 1 last: Release ends the object, so the loader must not release it again.
    CallSlot<void>(pObject, 1);
    m_pManager = nullptr;
    m_Helper.ForgetObject();
}

// ---------------------------------------------------------- built-in table

TEST_F(QuorleManagerTest, EmptyTableAnswersFromTheBuiltInLevels) {
    EXPECT_FALSE(m_pManager->IsLevelLoaded());
    EXPECT_EQ(0, m_pManager->GetLevelCount());
    const struct {
        std::int64_t lValue;
        const char* pszName;
    } cases[] = {
        {INT64_MIN, "务农"},
        {-1, "务农"},
        {0, "务农"},
        {1999, "务农"},
        {2000, "佃户"},
        {3999, "佃户"},
        {4000, "雇工"},
        {8000, "作坊主"},
        {20000, "农场主"},
        {40000, "地主"},
        {80000, "大地主"},
        {150000, "财主"},
        {299999, "财主"},
        {300000, "富翁"},
        {500000, "大富翁"},
        {1000000, "小财神"},
        {2000000, "大财神"},
        {5000000, "赌棍"},
        {10000000, "赌侠"},
        {50000000, "赌王"},
        {100000000, "赌圣"},
        {500000000, "赌神"},
        {999999999, "赌神"},
        {1000000000, "职业赌神"},
        {4294967296LL, "职业赌神"},
        {INT64_MAX, "职业赌神"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(c.pszName, m_pManager->GetLevelName(c.lValue)) << c.lValue;
}

// ------------------------------------------------------- GameLevel.ini

TEST_F(QuorleManagerTest, ValuesParseLeniently) {
    // Eight double-byte characters whose second bytes are 0x80 or above.
    const std::string strEightWide = "职业赌神职业赌神";
    ASSERT_EQ(16u, strEightWide.size());
    const struct {
        const char* pszCase;
        std::string strValue;
        std::string strName;
        std::int32_t lLevelValue;
    } cases[] = {
        {"plain", "务农,0", "务农", 0},
        {"plain2", "佃户,2000", "佃户", 2000},
        // The reader drops the quotes; the parse drops the leading spaces.
        {"spaces", "\"  赌神 , 1,000\"", "赌神 ", 1},
        {"minus", "ABC,-500", "ABC", 500},
        {"sixteen", "ABCDEFGHIJKLMNOP,100", "ABCDEFGHIJKLMNO", 100},
        // 15 walked bytes end after the eighth character's lead byte, which
        // is left out with it, as a handed-over name would be cut.
        {"widecut", strEightWide + ",100", strEightWide.substr(0, 14), 0},
        {"digitsinname", "ABCDEFGHIJKLMN12345,500", "ABCDEFGHIJKLMN1", 2345},
        {"nocomma", "无逗号", "无逗号", 0},
        {"nodigits", "名字,abc", "名字", 0},
        {"widestop", "名字,等级7", "名字", 0},
        {"huge", "大,99999999999", "大", 2147483647},
        {"blanks", "   务农,5   ", "务农", 5},
        {"innerquote", "\"务农\",6", "\"务农\"", 6},
    };
    for (const auto& c : cases) {
        const std::string strDir =
            LevelDirectory(std::string("parse_") + c.pszCase, LevelIni({{1, c.strValue}}));
        ASSERT_TRUE(m_pManager->LoadGameLevel(strDir.c_str())) << c.pszCase;
        EXPECT_EQ(1, m_pManager->GetLevelCount()) << c.pszCase;
        EXPECT_EQ(c.strName, std::string(m_pManager->GetLevelName(0))) << c.pszCase;
        const std::vector<LevelRow> rows = ReadTable(m_pManager);
        ASSERT_EQ(1u, rows.size()) << c.pszCase;
        EXPECT_EQ(c.lLevelValue, rows[0].lLevelValue) << c.pszCase;
        EXPECT_TRUE(m_pManager->UnloadGameLevel()) << c.pszCase;
    }
}

TEST_F(QuorleManagerTest, ItemsAreReadUpToTheFirstGap) {
    const struct {
        const char* pszCase;
        std::string strText;
        std::uint16_t wCount;
    } cases[] = {
        {"three", LevelIni({{1, "a,0"}, {2, "b,10"}, {3, "c,20"}}), 3},
        {"gap", LevelIni({{1, "a,0"}, {3, "c,20"}}), 1},
        {"emptysecond", LevelIni({{1, "a,0"}, {2, ""}, {3, "c,20"}}), 1},
        {"reversed", LevelIni({{3, "c,20"}, {2, "b,10"}, {1, "a,0"}}), 3},
        {"nofirst", LevelIni({{2, "b,10"}}), 0},
        {"othersection", "[Levels]\r\nLevelItem1=a,0\r\n", 0},
        {"nosection", "LevelItem1=a,0\r\n", 0},
        {"case", "[leveldescribe]\r\nLEVELITEM1=a,0\r\nlevelitem2=b,5\r\n", 2},
        {"blankkey", "[ LevelDescribe ]\n  LevelItem1 =a,0\n\tLevelItem2\t=\tb,5\t\n", 2},
        {"duplicate", "[LevelDescribe]\r\nLevelItem1=a,0\r\nLevelItem1=b,9\r\n", 1},
        {"comment", "[LevelDescribe]\r\n;LevelItem1=a,0\r\nLevelItem2=b,9\r\n", 0},
        {"twosections", "[LevelDescribe]\r\nLevelItem1=a,0\r\n[Other]\r\nLevelItem2=b,9\r\n", 1},
        {"emptyfile", "", 0},
    };
    for (const auto& c : cases) {
        const std::string strDir = LevelDirectory(std::string("items_") + c.pszCase, c.strText);
        EXPECT_EQ(c.wCount > 0, m_pManager->LoadGameLevel(strDir.c_str())) << c.pszCase;
        EXPECT_EQ(c.wCount, m_pManager->GetLevelCount()) << c.pszCase;
        EXPECT_EQ(c.wCount > 0, m_pManager->IsLevelLoaded()) << c.pszCase;
        EXPECT_TRUE(m_pManager->UnloadGameLevel()) << c.pszCase;
    }
    // The first of two equal keys wins; items keep the order of their numbers.
    ASSERT_TRUE(m_pManager->LoadGameLevel(CaseDirectory("items_duplicate").c_str()));
    EXPECT_EQ((std::vector<LevelRow>{{0, u"a"}}), ReadTable(m_pManager));
    ASSERT_TRUE(m_pManager->LoadGameLevel(CaseDirectory("items_reversed").c_str()));
    EXPECT_EQ((std::vector<LevelRow>{{0, u"a"}, {10, u"b"}, {20, u"c"}}), ReadTable(m_pManager));
}

TEST_F(QuorleManagerTest, MissingFileLeavesTheBuiltInTable) {
    const std::string strDir = CaseDirectory("missing");
    quorle_test::RemoveFile(JoinPath(strDir, "GameLevel.ini"));
    EXPECT_FALSE(m_pManager->LoadGameLevel(strDir.c_str()));
    EXPECT_FALSE(m_pManager->IsLevelLoaded());
    EXPECT_EQ(0, m_pManager->GetLevelCount());
    EXPECT_STREQ("佃户", m_pManager->GetLevelName(2000));
    EXPECT_FALSE(m_pManager->LoadGameLevel(JoinPath(strDir, "nosuchfolder").c_str()));
}

TEST_F(QuorleManagerTest, ChineseFolderNameAndLongValue) {
    // A value longer than the 255 bytes the reader hands over: digits past
    // that point are never seen.
    const std::string strLong = "务农," + std::string(248, ' ') + "12345";
    const std::string strDir = LevelDirectory(
        "等级表", LevelIni({{1, strLong}, {2, "佃户," + std::string(200, '-') + "77"}}));
    ASSERT_TRUE(m_pManager->LoadGameLevel(strDir.c_str()));
    EXPECT_EQ((std::vector<LevelRow>{{12, u"务农"}, {77, u"佃户"}}), ReadTable(m_pManager));
}

TEST_F(QuorleManagerTest, FolderNameWithABackslashAsSecondByte) {
    // 乗 is 0x81 0x5C in code page 936: its second byte is no separator.
    const std::string strFolder = "乗";
    ASSERT_EQ(std::string("\x81\x5c"), strFolder);
    const std::string strDir = LevelDirectory(strFolder, LevelIni({{1, "乗客,3"}}));
    ASSERT_TRUE(m_pManager->LoadGameLevel(strDir.c_str())) << strDir;
    EXPECT_EQ((std::vector<LevelRow>{{3, u"乗客"}}), ReadTable(m_pManager));
}

TEST_F(QuorleManagerTest, JoinedPathTooLongReadsNothing) {
    // "<dir>\GameLevel.ini" one byte too long for 259 would be cut to
    // "<dir>\GameLevel.in": such a file must not be taken for the table.
    const std::string strBase = CaseDirectory("toolong");
    const std::size_t cchDir = 259 - std::string("\\GameLevel.in").size();
    ASSERT_LT(strBase.size() + 2, cchDir) << "the build folder's path is too long for this case";
    const std::string strDir = JoinPath(strBase, std::string(cchDir - strBase.size() - 1, 'd'));
    ASSERT_EQ(cchDir, strDir.size());
    ASSERT_TRUE(quorle_test::MakeDirectory(strDir));
    ASSERT_TRUE(WriteFileBytes(JoinPath(strDir, "GameLevel.in"), LevelIni({{1, "cut,1"}})));
    EXPECT_FALSE(m_pManager->LoadGameLevel(strDir.c_str()));
    EXPECT_EQ(0, m_pManager->GetLevelCount());

    // One byte shorter, the whole name fits and the file is read.
    const std::string strFits = strDir.substr(0, strDir.size() - 1);
    ASSERT_TRUE(quorle_test::MakeDirectory(strFits));
    ASSERT_TRUE(WriteFileBytes(JoinPath(strFits, "GameLevel.ini"), LevelIni({{1, "fits,1"}})));
    EXPECT_TRUE(m_pManager->LoadGameLevel(strFits.c_str()));
    EXPECT_STREQ("fits", m_pManager->GetLevelName(1));
}

TEST_F(QuorleManagerTest, ReloadGivesTheSameTableOnTheSameRecords) {
    const std::string strDir =
        LevelDirectory("reload", LevelIni({{1, "务农,0"}, {2, "佃户,100"}, {3, "地主,500"}}));
    ASSERT_TRUE(m_pManager->LoadGameLevel(strDir.c_str()));
    const std::vector<LevelRow> first = ReadTable(m_pManager);
    const std::set<const char*> firstRecords = {
        m_pManager->GetLevelName(0), m_pManager->GetLevelName(100), m_pManager->GetLevelName(500)};
    ASSERT_EQ(3u, firstRecords.size());

    // Loading over a loaded table empties it first.
    ASSERT_TRUE(m_pManager->LoadGameLevel(strDir.c_str()));
    EXPECT_EQ(first, ReadTable(m_pManager));
    EXPECT_EQ(firstRecords,
              (std::set<const char*>{m_pManager->GetLevelName(0), m_pManager->GetLevelName(100),
                                     m_pManager->GetLevelName(500)}));
    EXPECT_EQ((std::vector<LevelRow>{{0, u"务农"}, {100, u"佃户"}, {500, u"地主"}}), first);
}

TEST_F(QuorleManagerTest, UnloadReturnsToTheBuiltInTable) {
    ASSERT_TRUE(m_pManager->LoadGameLevel(
        LevelDirectory("unload", LevelIni({{1, "甲,0"}, {2, "乙,10"}})).c_str()));
    EXPECT_STREQ("乙", m_pManager->GetLevelName(2000));
    EXPECT_TRUE(m_pManager->UnloadGameLevel());
    EXPECT_FALSE(m_pManager->IsLevelLoaded());
    EXPECT_EQ(0, m_pManager->GetLevelCount());
    EXPECT_STREQ("佃户", m_pManager->GetLevelName(2000));
    EXPECT_TRUE(m_pManager->UnloadGameLevel()) << "unloading an empty table";
}

// ----------------------------------------------------------- record pool

TEST(QuorlePoolTest, ReleasedRecordsAreReusedByANewManager) {
    const std::string strDir =
        LevelDirectory("pool", LevelIni({{1, "务农,0"}, {2, "佃户,100"}, {3, "地主,500"}}));
    // The second loader keeps the library loaded when the first one frees it.
    CQuorleHelper first(IID_IQuorleManager, VER_IQuorleManager, kModuleName, "CreateQuorleManager");
    CQuorleHelper second(IID_IQuorleManager, VER_IQuorleManager, kModuleName,
                         "CreateQuorleManager");
    ASSERT_TRUE(first.CreateInstance()) << first.GetErrorDescribe();
    ASSERT_TRUE(second.CreateInstance()) << second.GetErrorDescribe();
    ASSERT_NE(first.GetInterface(), second.GetInterface());

    ASSERT_TRUE(first->LoadGameLevel(strDir.c_str()));
    const std::set<const char*> released = {first->GetLevelName(0), first->GetLevelName(100),
                                            first->GetLevelName(500)};
    first.CloseInstance();

    ASSERT_TRUE(second->LoadGameLevel(strDir.c_str()));
    EXPECT_EQ(released, (std::set<const char*>{second->GetLevelName(0), second->GetLevelName(100),
                                               second->GetLevelName(500)}));
    EXPECT_STREQ("佃户", second->GetLevelName(100));

    // The same through a hand-over: the records come back from the pool.
    const std::set<const char*> held = released;
    ASSERT_TRUE(second->UnloadGameLevel());
    const std::vector<tagLevelDescribeW> levels = {LevelW(0, u"一"), LevelW(1, u"二"),
                                                   LevelW(2, u"三")};
    ASSERT_TRUE(second->SetLevelDescribe(levels.data(), 3));
    EXPECT_EQ(held, (std::set<const char*>{second->GetLevelName(0), second->GetLevelName(1),
                                           second->GetLevelName(2)}));
}

// -------------------------------------------------- lookup and hand-over

TEST_F(QuorleManagerTest, LookupTakesTheLastRecordReached) {
    const struct {
        const char* pszTable;
        std::vector<tagLevelDescribeW> levels;
        std::vector<std::pair<std::int64_t, const char*>> answers;
    } tables[] = {
        {"ascending with a tie",
         {LevelW(0, u"务农"), LevelW(100, u"佃户"), LevelW(100, u"雇工"), LevelW(500, u"地主")},
         {{-5, "务农"},
          {99, "务农"},
          {100, "雇工"},
          {499, "雇工"},
          {500, "地主"},
          {INT64_MAX, "地主"},
          {INT64_MIN, "务农"}}},
        {"unordered",
         {LevelW(500, u"甲"), LevelW(0, u"乙"), LevelW(100, u"丙")},
         {{600, "丙"}, {-1, "甲"}, {50, "乙"}, {100, "丙"}}},
        {"negative bound",
         {LevelW(-100, u"负"), LevelW(0, u"零")},
         {{-101, "负"}, {-100, "负"}, {-1, "负"}, {0, "零"}}},
        {"wide values",
         {LevelW(INT32_MIN, u"底"), LevelW(INT32_MAX, u"顶")},
         {{INT64_MIN, "底"},
          {static_cast<std::int64_t>(INT32_MAX) - 1, "底"},
          {INT32_MAX, "顶"},
          {static_cast<std::int64_t>(INT32_MAX) + 1, "顶"}}},
    };
    for (const auto& t : tables) {
        ASSERT_TRUE(m_pManager->SetLevelDescribe(t.levels.data(),
                                                 static_cast<std::uint16_t>(t.levels.size())))
            << t.pszTable;
        for (const auto& answer : t.answers)
            EXPECT_STREQ(answer.second, m_pManager->GetLevelName(answer.first))
                << t.pszTable << " at " << answer.first;
        ASSERT_TRUE(m_pManager->UnloadGameLevel());
    }
}

TEST_F(QuorleManagerTest, GetLevelDescribeNeedsRoomForAllLevels) {
    const std::string strDir = LevelDirectory(
        "describe", LevelIni({{1, "务农,0"}, {2, "职业赌神,1000000000"}, {3, "Pro Gamer,7"}}));
    ASSERT_TRUE(m_pManager->LoadGameLevel(strDir.c_str()));

    tagLevelDescribeW sentinel;
    std::memset(&sentinel, 0x5a, sizeof(sentinel));
    std::vector<tagLevelDescribeW> dest(4, sentinel);
    EXPECT_EQ(0, m_pManager->GetLevelDescribe(dest.data(), 2)) << "capacity one short";
    for (const tagLevelDescribeW& level : dest)
        EXPECT_EQ(0, std::memcmp(&level, &sentinel, sizeof(sentinel))) << "nothing written";
    EXPECT_EQ(0, m_pManager->GetLevelDescribe(nullptr, 0)) << "no destination";

    EXPECT_EQ(3, m_pManager->GetLevelDescribe(dest.data(), 3)) << "capacity equal to the count";
    EXPECT_EQ(0, std::memcmp(&dest[3], &sentinel, sizeof(sentinel))) << "past the count";
    const tagLevelDescribeW want[] = {LevelW(0, u"务农"), LevelW(1000000000, u"职业赌神"),
                                      LevelW(7, u"Pro Gamer")};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, std::memcmp(&want[i], &dest[i], sizeof(want[i]))) << "record " << i;

    ASSERT_TRUE(m_pManager->UnloadGameLevel());
    EXPECT_EQ(0, m_pManager->GetLevelDescribe(dest.data(), 4)) << "empty table";
}

TEST_F(QuorleManagerTest, SetLevelDescribeConvertsNames) {
    QUORLE_WCHAR szSixteen[16];
    for (int i = 0; i < 16; ++i)
        szSixteen[i] = static_cast<QUORLE_WCHAR>('A' + i);
    tagLevelDescribeW unterminated;
    unterminated.lLevelValue = 9;
    std::memcpy(unterminated.szLevelName, szSixteen, sizeof(szSixteen));

    const struct {
        const char* pszCase;
        tagLevelDescribeW level;
        std::string strName;
    } cases[] = {
        {"chinese", LevelW(1000000000, u"职业赌神"), "职业赌神"},
        {"ascii", LevelW(-3, u"Rookie"), "Rookie"},
        {"sixteen units, no terminator", unterminated, "ABCDEFGHIJKLMNO"},
        {"eight wide characters", LevelW(8, u"职业赌神职业赌神"), "职业赌神职业赌"},
        {"seven wide and a letter", LevelW(8, u"职业赌神职业赌A"), "职业赌神职业赌A"},
        {"not in the code page", LevelW(4, u"a\u0e01b"), "a?b"},
        {"empty", LevelW(5, u""), ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(m_pManager->SetLevelDescribe(&c.level, 1)) << c.pszCase;
        EXPECT_TRUE(m_pManager->IsLevelLoaded()) << c.pszCase;
        EXPECT_EQ(1, m_pManager->GetLevelCount()) << c.pszCase;
        EXPECT_EQ(c.strName, std::string(m_pManager->GetLevelName(0))) << c.pszCase;
        const std::vector<LevelRow> rows = ReadTable(m_pManager);
        ASSERT_EQ(1u, rows.size()) << c.pszCase;
        EXPECT_EQ(c.level.lLevelValue, rows[0].lLevelValue) << c.pszCase;
        // A hand-over over a loaded table replaces it.
    }
    // Names come back as they went in, Chinese included.
    const std::vector<tagLevelDescribeW> levels = {LevelW(0, u"务农"), LevelW(2000, u"佃户"),
                                                   LevelW(4000, u"雇工")};
    ASSERT_TRUE(m_pManager->SetLevelDescribe(levels.data(), 3));
    EXPECT_EQ((std::vector<LevelRow>{{0, u"务农"}, {2000, u"佃户"}, {4000, u"雇工"}}),
              ReadTable(m_pManager));
    EXPECT_STREQ("雇工", m_pManager->GetLevelName(4000));
}

TEST_F(QuorleManagerTest, HandOverOfNothing) {
    ASSERT_TRUE(
        m_pManager->LoadGameLevel(LevelDirectory("handover", LevelIni({{1, "甲,0"}})).c_str()));
    EXPECT_TRUE(m_pManager->SetLevelDescribe(nullptr, 0)) << "0 records";
    EXPECT_FALSE(m_pManager->IsLevelLoaded());
    EXPECT_EQ(0, m_pManager->GetLevelCount());
    EXPECT_STREQ("务农", m_pManager->GetLevelName(0));

    EXPECT_FALSE(m_pManager->SetLevelDescribe(nullptr, 3)) << "no source for 3 records";
    EXPECT_EQ(0, m_pManager->GetLevelCount());
}

}  // namespace
