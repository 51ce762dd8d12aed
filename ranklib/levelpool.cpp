#include "levelpool.h"

#include <new>

namespace quorle_pool {
namespace {

tagLevelDescribe* AllocateRecord() {
    return new (std::nothrow) tagLevelDescribe();
}

// Constructed when the library is loaded, before its entry point runs, and
// destroyed when it is unloaded. The spare records are freed with the pool's
// own storage, so an unload leaves nothing of the pool behind.
class CLevelDescribePool {
public:
    CLevelDescribePool() = default;
    ~CLevelDescribePool() {
        for (int i = 0; i < m_Spares.GetCount(); ++i)
            delete m_Spares[i];
    }
    CLevelDescribePool(const CLevelDescribePool&) = delete;
    CLevelDescribePool& operator=(const CLevelDescribePool&) = delete;

    CLevelDescribeArray m_Spares;
    RecordAllocator m_pfnAllocate = &AllocateRecord;
};

CLevelDescribePool m_LevelDescribePool;

}  // namespace

tagLevelDescribe* TakeRecord() {
    CLevelDescribeArray& spares = m_LevelDescribePool.m_Spares;
    const int nCount = spares.GetCount();
    if (nCount > 0) {
        tagLevelDescribe* pRecord = spares[nCount - 1];
        spares.RemoveAt(nCount - 1, 1);
        return pRecord;
    }
    return m_LevelDescribePool.m_pfnAllocate();
}

void ReturnRecords(CLevelDescribeArray& table) {
    try {
        m_LevelDescribePool.m_Spares.Append(table);
    } catch (...) {
        // Append changes nothing when it fails, so none of these is in the
        // pool: free them rather than lose them.
        for (int i = 0; i < table.GetCount(); ++i)
            delete table[i];
    }
    table.RemoveAll();
}

int GetSpareCount() {
    return m_LevelDescribePool.m_Spares.GetCount();
}

RecordAllocator SetRecordAllocator(RecordAllocator pfnAllocate) {
    RecordAllocator pfnOld = m_LevelDescribePool.m_pfnAllocate;
    m_LevelDescribePool.m_pfnAllocate = pfnAllocate != nullptr ? pfnAllocate : &AllocateRecord;
    return pfnOld;
}

}  // namespace quorle_pool
