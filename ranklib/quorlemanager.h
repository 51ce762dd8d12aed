// The rank manager object behind IQuorleManager, and its level table.
#pragma once

#include <cstdint>

#include "levelpool.h"
#include "quorle.h"

// Keeps one level table in m_LevelDescribeArray. The records are the
// library's (quorle_pool): emptying the table hands them back to the pool.
// Created by CreateQuorleManager only; one Release destroys it.
//
// The table never holds more than 65,535 levels (counts cross the interface
// as 16-bit numbers): a load that would pass that number stops at it, as at
// the end of its input.
//
// Misuse (a load over a loaded table, a destination too small) is reported in
// debug builds and then handled as each slot's comment says. No slot throws:
// running out of memory makes a load or hand-over return false, with the
// levels added so far kept and IsLevelLoaded false ("partial"). Every load and
// hand-over starts from an empty table, so the next one replaces a partial
// table as it replaces a loaded one; UnloadGameLevel clears it too.
class CQuorleManager : public IQuorleManager {
public:
    CQuorleManager();
    CQuorleManager(const CQuorleManager&) = delete;
    CQuorleManager& operator=(const CQuorleManager&) = delete;

    // IUnknownEx
    bool IsValid() override;
    void Release() override;
    void* QueryInterface(const GUID& Guid, DWORD dwQueryVer) override;

    // IQuorleManager
    bool IsLevelLoaded() override;
    std::uint16_t GetLevelCount() override;
    // A directory whose joined "<dir>\GameLevel.ini" does not fit in 259
    // bytes reads as a missing file. Items are read from LevelItem1 on, up to
    // the first missing or empty one.
    bool LoadGameLevel(const char* pszDirectory) override;
    bool UnloadGameLevel() override;
    const char* GetLevelName(std::int64_t lValue) override;
    // Names longer than 15 UTF-16 units are cut; unused units are zero.
    std::uint16_t GetLevelDescribe(tagLevelDescribeW* pLevelDescribe,
                                   std::uint16_t wBufferCount) override;
    // Each source name is read up to its zero unit or 16 units, whichever
    // comes first, and kept as at most 15 bytes of whole characters (a
    // character that would be cut is left out). A null source with a
    // non-zero count is refused with false.
    bool SetLevelDescribe(const tagLevelDescribeW* pLevelDescribe,
                          std::uint16_t wDescribeCount) override;

    // Slot 10. Empties the table into the pool, as UnloadGameLevel does.
    virtual ~CQuorleManager();

protected:
    bool m_bLevelLoaded;
    CLevelDescribeArray m_LevelDescribeArray;

private:
    void EmptyTable();
    // Takes a record and adds it at the end of the table; null (with the
    // table unchanged) when no record can be obtained.
    tagLevelDescribe* AppendRecord();
};
