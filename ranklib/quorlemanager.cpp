#include "quorlemanager.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform.h"
#include "templates/debugreport.h"

namespace {

const int kMaxLevelCount = 0xffff;

struct tagBuiltinLevel {
    std::int64_t lLevelValue;
    const char* pszLevelName;
};

// Answers while a manager's table is empty. Lowest first.
const tagBuiltinLevel kBuiltinLevels[] = {
    {0, "务农"},         {2000, "佃户"},           {4000, "雇工"},      {8000, "作坊主"},
    {20000, "农场主"},   {40000, "地主"},          {80000, "大地主"},   {150000, "财主"},
    {300000, "富翁"},    {500000, "大富翁"},       {1000000, "小财神"}, {2000000, "大财神"},
    {5000000, "赌棍"},   {10000000, "赌侠"},       {50000000, "赌王"},  {100000000, "赌圣"},
    {500000000, "赌神"}, {1000000000, "职业赌神"},
};
const int kBuiltinLevelCount = sizeof(kBuiltinLevels) / sizeof(kBuiltinLevels[0]);

const char* BuiltinLevelName(std::int64_t lValue) {
    for (int i = kBuiltinLevelCount - 1; i > 0; --i) {
        if (lValue >= kBuiltinLevels[i].lLevelValue)
            return kBuiltinLevels[i].pszLevelName;
    }
    // Below every bound, negative values included: the first level.
    return kBuiltinLevels[0].pszLevelName;
}

// The UTF-16 units of one character starting at pText (two for a pair).
std::size_t CharacterUnits(const char16_t* pText, std::size_t cchLeft) {
    if (cchLeft >= 2 && pText[0] >= 0xd800 && pText[0] <= 0xdbff && pText[1] >= 0xdc00 &&
        pText[1] <= 0xdfff)
        return 2;
    return 1;
}

}  // namespace

CQuorleManager::CQuorleManager() : m_bLevelLoaded(false) {}

CQuorleManager::~CQuorleManager() {
    EmptyTable();
}

bool CQuorleManager::IsValid() {
    // Without the framework's address check: a live object answering a call
    // is an object of its full size.
    return true;
}

void CQuorleManager::Release() {
    delete this;
}

void* CQuorleManager::QueryInterface(const GUID& Guid, DWORD dwQueryVer) {
    if (IsEqualIdentifier(Guid, IID_IQuorleManager) &&
        InterfaceVersionCompatible(dwQueryVer, VER_IQuorleManager))
        return static_cast<IQuorleManager*>(this);
    if (IsEqualIdentifier(Guid, IID_IUnknownEx) &&
        InterfaceVersionCompatible(dwQueryVer, VER_IUnknownEx))
        return static_cast<IUnknownEx*>(this);
    return nullptr;
}

bool CQuorleManager::IsLevelLoaded() {
    return m_bLevelLoaded;
}

std::uint16_t CQuorleManager::GetLevelCount() {
    return static_cast<std::uint16_t>(m_LevelDescribeArray.GetCount());
}

void CQuorleManager::EmptyTable() {
    m_bLevelLoaded = false;
    quorle_pool::ReturnRecords(m_LevelDescribeArray);
}

tagLevelDescribe* CQuorleManager::AppendRecord() {
    tagLevelDescribe* pLevelDescribe = quorle_pool::TakeRecord();
    SUITE_DEBUG_CHECK(pLevelDescribe != nullptr);
    if (pLevelDescribe == nullptr)
        return nullptr;
    try {
        m_LevelDescribeArray.Add(pLevelDescribe);
    } catch (...) {
        delete pLevelDescribe;
        return nullptr;
    }
    return pLevelDescribe;
}

bool CQuorleManager::LoadGameLevel(const char* pszDirectory) {
    // The caller is to unload first; a table still in place is emptied, and
    // so are the levels a load that ran out of memory left behind, which
    // would otherwise come before this load's levels.
    SUITE_DEBUG_CHECK(!m_bLevelLoaded);
    if (m_LevelDescribeArray.GetCount() > 0)
        EmptyTable();
    SUITE_DEBUG_CHECK(pszDirectory != nullptr);

    char szFileName[260];
    const int nPathLength =
        pszDirectory == nullptr
            ? -1
            : std::snprintf(szFileName, sizeof(szFileName), "%s\\GameLevel.ini", pszDirectory);
    // A cut path would name some other file: read nothing instead.
    if (nPathLength > 0 && nPathLength < static_cast<int>(sizeof(szFileName))) {
        char szItemName[16];
        char szReadData[256];
        try {
            for (int nItem = 1; m_LevelDescribeArray.GetCount() < kMaxLevelCount; ++nItem) {
                std::snprintf(szItemName, sizeof(szItemName), "LevelItem%u",
                              static_cast<unsigned>(static_cast<std::uint16_t>(nItem)));
                szReadData[0] = '\0';
                quorle_platform::ReadProfileString("LevelDescribe", szItemName, szReadData,
                                                   sizeof(szReadData), szFileName);
                if (szReadData[0] == '\0')
                    break;
                tagLevelDescribe* pLevelDescribe = AppendRecord();
                if (pLevelDescribe == nullptr)
                    return false;
                ParseLevelValue(szReadData, pLevelDescribe);
            }
        } catch (...) {
            // The native reader out of memory: as when no record can be had.
            return false;
        }
    }
    if (m_LevelDescribeArray.GetCount() > 0)
        m_bLevelLoaded = true;
    return m_LevelDescribeArray.GetCount() > 0;
}

bool CQuorleManager::UnloadGameLevel() {
    EmptyTable();
    return true;
}

const char* CQuorleManager::GetLevelName(std::int64_t lValue) {
    const int nCount = m_LevelDescribeArray.GetCount();
    if (nCount == 0)
        return BuiltinLevelName(lValue);
    tagLevelDescribe* const* ppLevels = m_LevelDescribeArray.GetData();
    // From the last record back: in an unordered table the answer is the
    // last record, in table order, whose bound the value reaches.
    for (int i = nCount - 1; i > 0; --i) {
        if (lValue >= static_cast<std::int64_t>(ppLevels[i]->lLevelValue))
            return ppLevels[i]->szLevelName;
    }
    return ppLevels[0]->szLevelName;
}

std::uint16_t CQuorleManager::GetLevelDescribe(tagLevelDescribeW* pLevelDescribe,
                                               std::uint16_t wBufferCount) {
    const int nCount = m_LevelDescribeArray.GetCount();
    SUITE_DEBUG_CHECK(wBufferCount >= nCount);
    if (wBufferCount < nCount || nCount == 0)
        return 0;
    SUITE_DEBUG_CHECK(pLevelDescribe != nullptr);
    if (pLevelDescribe == nullptr)
        return 0;
    try {
        for (int i = 0; i < nCount; ++i) {
            const tagLevelDescribe* pSource = m_LevelDescribeArray[i];
            tagLevelDescribeW& dest = pLevelDescribe[i];
            const std::u16string strLevelName = quorle_platform::AnsiToUtf16(pSource->szLevelName);
            const std::size_t cchName = strLevelName.size() < 15 ? strLevelName.size() : 15;
            dest.lLevelValue = pSource->lLevelValue;
            for (std::size_t n = 0; n < 16; ++n)
                dest.szLevelName[n] = n < cchName ? static_cast<QUORLE_WCHAR>(strLevelName[n]) : 0;
        }
    } catch (...) {
        // Out of memory in the conversion: the caller sees an empty answer.
        return 0;
    }
    return static_cast<std::uint16_t>(nCount);
}

bool CQuorleManager::SetLevelDescribe(const tagLevelDescribeW* pLevelDescribe,
                                      std::uint16_t wDescribeCount) {
    // As in LoadGameLevel: a hand-over replaces the table, partial or not.
    SUITE_DEBUG_CHECK(!m_bLevelLoaded);
    if (m_LevelDescribeArray.GetCount() > 0)
        EmptyTable();
    SUITE_DEBUG_CHECK(pLevelDescribe != nullptr || wDescribeCount == 0);
    if (pLevelDescribe == nullptr && wDescribeCount != 0)
        return false;

    try {
        // Starting from an empty table, a 16-bit count stays within kMaxLevelCount.
        for (int i = 0; i < wDescribeCount; ++i) {
            const tagLevelDescribeW& source = pLevelDescribe[i];
            char16_t szName[16];
            std::size_t cchName = 0;
            while (cchName < 16 && source.szLevelName[cchName] != 0) {
                szName[cchName] = static_cast<char16_t>(source.szLevelName[cchName]);
                ++cchName;
            }
            // Character by character, so that a double-byte character that
            // would not fit whole into the 15 bytes is left out, not split.
            std::string strLevelName;
            for (std::size_t n = 0; n < cchName;) {
                const std::size_t cchChar = CharacterUnits(szName + n, cchName - n);
                const std::string strChar = quorle_platform::Utf16ToAnsi(szName + n, cchChar);
                if (strLevelName.size() + strChar.size() > 15)
                    break;
                strLevelName += strChar;
                n += cchChar;
            }

            tagLevelDescribe* pRecord = AppendRecord();
            if (pRecord == nullptr)
                return false;
            pRecord->lLevelValue = source.lLevelValue;
            std::memcpy(pRecord->szLevelName, strLevelName.c_str(), strLevelName.size() + 1);
        }
    } catch (...) {
        // Out of memory in a conversion: as when no record can be obtained.
        return false;
    }
    if (m_LevelDescribeArray.GetCount() > 0)
        m_bLevelLoaded = true;
    return true;
}
