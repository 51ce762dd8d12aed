// The rank manager's binary interface, as the plaza sees it: the level records
// exchanged with it, the interface IQuorleManager with its slots in their
// fixed order, and the creation function that Quorle.dll exports by name.
#pragma once

#include <cstdint>

#include "templates/module.h"

// Level names cross the interface as UTF-16. On Windows that is WCHAR; the
// native build has a 32-bit wchar_t, so it uses char16_t of the same width.
#ifdef _WIN32
typedef wchar_t QUORLE_WCHAR;
#else
typedef char16_t QUORLE_WCHAR;
#endif
static_assert(sizeof(QUORLE_WCHAR) == 2, "level names are UTF-16 units");

// A level as the plaza hands it over and reads it back: the smallest value
// that reaches the level, and its name, zero-terminated within 16 units.
struct tagLevelDescribeW {
    std::int32_t lLevelValue;
    QUORLE_WCHAR szLevelName[16];
};
static_assert(sizeof(tagLevelDescribeW) == 36, "arrays of records are exchanged as 36-byte rows");

// {850E5617-4EAB-4F2E-AE11-EFA32265E0C2}
static const GUID IID_IQuorleManager = {
    0x850e5617, 0x4eab, 0x4f2e, {0xae, 0x11, 0xef, 0xa3, 0x22, 0x65, 0xe0, 0xc2}};
const DWORD VER_IQuorleManager = 0x08010100;

// The rank manager: one level table, a value-to-name lookup over it, and a
// built-in table of 18 levels that answers while the table is empty.
//
// The plaza calls through this table of slots, so their order is binding:
// 0 IsValid, 1 Release, 2 QueryInterface (from IUnknownEx), then the seven
// below. Every manager of the process shares one pool of level records, so
// the library is used from one thread at a time. No slot throws.
struct IQuorleManager : public IUnknownEx {
    // Slot 3: true while a complete table is in place.
    virtual bool IsLevelLoaded() = 0;
    // Slot 4: number of levels in the table (never more than 65,535).
    virtual std::uint16_t GetLevelCount() = 0;
    // Slot 5: empties a loaded table, then reads "<pszDirectory>\GameLevel.ini".
    // True when the table then holds at least one level.
    virtual bool LoadGameLevel(const char* pszDirectory) = 0;
    // Slot 6: empties the table; always true.
    virtual bool UnloadGameLevel() = 0;
    // Slot 7: the name (code page 936) of the level that lValue reaches. The
    // text stays valid until the table next changes or the manager ends.
    virtual const char* GetLevelName(std::int64_t lValue) = 0;
    // Slot 8: copies the table into pLevelDescribe, names as UTF-16. Writes
    // nothing and returns 0 when wBufferCount is below the level count.
    virtual std::uint16_t GetLevelDescribe(tagLevelDescribeW* pLevelDescribe,
                                           std::uint16_t wBufferCount) = 0;
    // Slot 9: replaces a loaded table with the wDescribeCount given levels.
    // False when a record could not be obtained (the levels added so far stay).
    virtual bool SetLevelDescribe(const tagLevelDescribeW* pLevelDescribe,
                                  std::uint16_t wDescribeCount) = 0;

protected:
    ~IQuorleManager() = default;
};

// Creates a rank manager and returns it as the requested interface
// (IID_IQuorleManager or IID_IUnknownEx at a compatible version), or null;
// nothing is left behind on failure. The caller ends the object with Release.
#ifdef QUORLE_BUILDING
SUITE_EXPORT void* CreateQuorleManager(const GUID& Guid, DWORD dwInterfaceVer);
#else
extern "C" void* CreateQuorleManager(const GUID& Guid, DWORD dwInterfaceVer);
#endif
