// The library-wide pool of spare level records, shared by every rank manager
// of the process. Emptying a table moves its records here; filling one takes
// them back from the end (last in, first out), so reloading a table allocates
// nothing once the pool holds enough records. Not thread-safe: the library is
// used from one thread at a time.
#pragma once

#include "levelvalue.h"
#include "templates/array.h"

typedef CArrayTemplate<tagLevelDescribe*, tagLevelDescribe* const&> CLevelDescribeArray;

namespace quorle_pool {

// A spare record from the end of the pool, or a new one when the pool is
// empty; null when none can be allocated. The caller owns it until it hands
// it back with ReturnRecords (or deletes it).
tagLevelDescribe* TakeRecord();

// Moves every record of table to the end of the pool, in table order, and
// leaves table empty with its capacity. Never throws: records the pool has
// no room for are freed instead.
void ReturnRecords(CLevelDescribeArray& table);

// Number of spare records.
int GetSpareCount();

// Fault injection: the function that allocates a new record when the pool is
// empty (returning null for "out of memory"). Returns the one it replaces;
// nullptr restores the default.
typedef tagLevelDescribe* (*RecordAllocator)();
RecordAllocator SetRecordAllocator(RecordAllocator pfnAllocate);

}  // namespace quorle_pool
