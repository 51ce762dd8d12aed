#include "templates/array.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

struct tagRecord {
    int nValue;
};
typedef CArrayTemplate<tagRecord*, tagRecord* const&> RecordArray;

TEST(ArrayTemplate, GrowsOneAtATimeByAnEighthBetweenFourAnd1024) {
    CArrayTemplate<int, int> array;
    std::vector<int> capacities;
    for (int i = 0; i < 76; ++i) {
        int nBefore = array.GetMaxCount();
        EXPECT_EQ(i, array.Add(i));
        if (array.GetMaxCount() != nBefore)
            capacities.push_back(array.GetMaxCount());
    }
    const std::vector<int> want = {5, 10, 15, 20, 25, 30, 35, 40, 46, 52, 59, 67, 76};
    EXPECT_EQ(want, capacities);
    for (int i = 0; i < 76; ++i)
        EXPECT_EQ(i, array[i]) << "index " << i;
}

TEST(ArrayTemplate, StepIsCappedAt1024) {
    CArrayTemplate<int, int> array;
    array.SetSize(9000);  // from empty: step 4, capacity 9004
    array.SetSize(9004);
    EXPECT_EQ(9004, array.GetMaxCount());
    array.Add(1);
    // 9004 / 8 = 1125 is over the cap, so the step is 1024.
    EXPECT_EQ(9005 + 1024, array.GetMaxCount());
}

TEST(ArrayTemplate, AppendToEmptyAllocatesCountPlusMinimumStep) {
    tagRecord a{1}, b{2}, c{3};
    RecordArray source, target;
    source.Add(&a);
    source.Add(&b);
    source.Add(&c);
    EXPECT_EQ(3, target.Append(source));
    EXPECT_EQ(7, target.GetMaxCount());
    EXPECT_EQ(&a, target[0]);
    EXPECT_EQ(&c, target[2]);
    // An empty source changes nothing.
    RecordArray empty;
    EXPECT_EQ(3, target.Append(empty));
    EXPECT_EQ(7, target.GetMaxCount());
}

TEST(ArrayTemplate, AppendToItselfIsRefusedAndChangesNothing) {
    tagRecord a{1};
    RecordArray array;
    array.Add(&a);
    EXPECT_THROW(array.Append(array), std::invalid_argument);
    EXPECT_EQ(1, array.GetCount());
    EXPECT_EQ(5, array.GetMaxCount());
    EXPECT_EQ(&a, array[0]);
}

TEST(ArrayTemplate, RemoveAtClosesTheGapAndKeepsTheCapacity) {
    tagRecord a{1}, b{2}, c{3};
    RecordArray array;
    array.Add(&a);
    array.Add(&b);
    array.Add(&c);
    array.RemoveAt(0, 1);
    ASSERT_EQ(2, array.GetCount());
    EXPECT_EQ(&b, array[0]);
    EXPECT_EQ(&c, array[1]);
    EXPECT_EQ(5, array.GetMaxCount());
    // The vacated slot is not cleared: it still holds the old last element.
    EXPECT_EQ(&c, array.GetData()[2]);
}

TEST(ArrayTemplate, BadIndexesAndCountsAreRefusedWithoutChange) {
    CArrayTemplate<int, int> array;
    array.Add(10);
    array.Add(20);
    struct Case {
        const char* what;
        void (*call)(CArrayTemplate<int, int>&);
    };
    const Case cases[] = {
        {"ElementAt(count)", [](CArrayTemplate<int, int>& a) { a.ElementAt(2); }},
        {"ElementAt(-1)", [](CArrayTemplate<int, int>& a) { a.ElementAt(-1); }},
        {"RemoveAt(-1,1)", [](CArrayTemplate<int, int>& a) { a.RemoveAt(-1, 1); }},
        {"RemoveAt(0,-1)", [](CArrayTemplate<int, int>& a) { a.RemoveAt(0, -1); }},
        {"RemoveAt(1,2)", [](CArrayTemplate<int, int>& a) { a.RemoveAt(1, 2); }},
        {"RemoveAt(huge)", [](CArrayTemplate<int, int>& a) { a.RemoveAt(1, 0x7fffffff); }},
        {"SetSize(-1)", [](CArrayTemplate<int, int>& a) { a.SetSize(-1); }},
        {"SetAtGrow(-1)", [](CArrayTemplate<int, int>& a) { a.SetAtGrow(-1, 5); }},
        {"SetAtGrow(past)", [](CArrayTemplate<int, int>& a) { a.SetAtGrow(3, 5); }},
    };
    for (const Case& c : cases) {
        EXPECT_THROW(c.call(array), std::invalid_argument) << c.what;
        EXPECT_EQ(2, array.GetCount()) << c.what;
        EXPECT_EQ(10, array[0]) << c.what;
        EXPECT_EQ(20, array[1]) << c.what;
    }
}

TEST(ArrayTemplate, AddingItsOwnElementAtFullCapacityCopiesItBeforeGrowing) {
    // The argument is a reference into the block that growing frees; under
    // AddressSanitizer a copy taken after the growth is a use after free.
    tagRecord records[6] = {{0}, {1}, {2}, {3}, {4}, {5}};
    RecordArray array;
    for (int i = 0; i < 5; ++i)
        array.Add(&records[i]);
    ASSERT_EQ(array.GetCount(), array.GetMaxCount());
    const tagRecord* pFirst = array[0];
    EXPECT_EQ(5, array.Add(array[0]));
    EXPECT_EQ(pFirst, array[5]);
    while (array.GetCount() < array.GetMaxCount())
        array.Add(&records[5]);
    const int nCount = array.GetCount();
    array.SetAtGrow(nCount, array[3]);
    EXPECT_EQ(&records[3], array[nCount]);
}

TEST(ArrayTemplate, RemoveAllKeepsStorageSoTheNextAddDoesNotAllocate) {
    CArrayTemplate<int, int> array;
    for (int i = 0; i < 5; ++i)
        array.Add(i + 1);
    const int* pBefore = array.GetData();
    array.RemoveAll();
    EXPECT_EQ(0, array.GetCount());
    EXPECT_EQ(5, array.GetMaxCount());
    EXPECT_EQ(0, pBefore[0]);  // cleared slots
    EXPECT_EQ(0, array.Add(9));
    EXPECT_EQ(pBefore, array.GetData());
}

TEST(ArrayTemplate, SetSizeShrinkClearsAndGrowShowsZeroes) {
    CArrayTemplate<int, int> array;
    for (int i = 0; i < 4; ++i)
        array.Add(i + 1);
    array.SetSize(2);
    EXPECT_EQ(0, array.GetData()[2]);
    array.SetSize(4);
    EXPECT_EQ(1, array[0]);
    EXPECT_EQ(0, array[2]);
    EXPECT_EQ(0, array[3]);
}

TEST(ArrayTemplate, ImpossibleCapacityIsOutOfMemoryBeforeAnyChange) {
    CArrayTemplate<int, int> array;
    array.Add(7);
    EXPECT_THROW(array.SetSize(0x7fffffff), std::bad_alloc);
    EXPECT_EQ(1, array.GetCount());
    EXPECT_EQ(5, array.GetMaxCount());
    EXPECT_EQ(7, array[0]);
}

}  // namespace
