// CArrayTemplate: a growable array holding its elements by value in one
// contiguous block. Every index and count it is given is checked: a bad one
// is reported in debug builds and raised as std::invalid_argument, with the
// array left unchanged. An allocation failure raises std::bad_alloc before
// anything changes. The array owns its block only; when the element type is
// a pointer, the objects pointed to stay the caller's.
//
// Elements are moved with memcpy and cleared with zero bytes, so the element
// type must be trivially copyable (pointers, plain records).
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "debugreport.h"

template <class TYPE, class ARG_TYPE = const TYPE&>
class CArrayTemplate {
    static_assert(std::is_trivially_copyable<TYPE>::value,
                  "elements are moved as bytes and cleared with zero bytes");

public:
    CArrayTemplate() = default;
    virtual ~CArrayTemplate() {
        if (m_pData != nullptr) {
            std::free(m_pData);
            m_pData = nullptr;
        }
    }
    CArrayTemplate(const CArrayTemplate&) = delete;
    CArrayTemplate& operator=(const CArrayTemplate&) = delete;

    int GetCount() const { return m_nElementCount; }

    TYPE& ElementAt(int nIndex) {
        CheckIndex(nIndex);
        return m_pData[nIndex];
    }
    const TYPE& ElementAt(int nIndex) const {
        CheckIndex(nIndex);
        return m_pData[nIndex];
    }
    TYPE& operator[](int nIndex) { return ElementAt(nIndex); }
    const TYPE& operator[](int nIndex) const { return ElementAt(nIndex); }

    // Appends one element and returns its index.
    int Add(ARG_TYPE newElement) {
        int nIndex = m_nElementCount;
        SetAtGrow(nIndex, newElement);
        return nIndex;
    }

    // Appends all of Src's elements in order; returns the new count.
    int Append(const CArrayTemplate& Src) {
        if (&Src == this)
            Fail("an array cannot be appended to itself");
        if (Src.m_nElementCount == 0)
            return m_nElementCount;
        AllocMemory(m_nElementCount + Src.m_nElementCount);
        std::memcpy(m_pData + m_nElementCount, Src.m_pData, Src.m_nElementCount * sizeof(TYPE));
        m_nElementCount += Src.m_nElementCount;
        return m_nElementCount;
    }

    // Removes nCount elements from nIndex on and closes the gap. The slots
    // freed at the end keep their old bytes.
    void RemoveAt(int nIndex, int nCount = 1) {
        if (nIndex < 0 || nCount < 0 || nCount > m_nElementCount - nIndex)
            Fail("RemoveAt outside the elements");
        int nMoveCount = m_nElementCount - (nIndex + nCount);
        if (nMoveCount > 0)
            std::memmove(m_pData + nIndex, m_pData + nIndex + nCount, nMoveCount * sizeof(TYPE));
        m_nElementCount -= nCount;
    }

    // Clears the elements but keeps the storage, so refilling does not allocate.
    void RemoveAll() {
        if (m_nElementCount > 0)
            std::memset(m_pData, 0, m_nElementCount * sizeof(TYPE));
        m_nElementCount = 0;
    }

    // Stores newElement at nIndex; at the element count the array first grows
    // by one. An index past the count is refused. newElement may be one of
    // this array's own elements (a.Add(a[0])).
    void SetAtGrow(int nIndex, ARG_TYPE newElement) {
        if (nIndex < 0 || nIndex > m_nElementCount)
            Fail("SetAtGrow outside the elements");
        // Growing frees the old block, which newElement may point into.
        const TYPE element = newElement;
        if (nIndex == m_nElementCount)
            SetSize(m_nElementCount + 1);
        m_pData[nIndex] = element;
    }

    // New elements are the storage's current bytes (zero where never used);
    // elements cut off are cleared to zero bytes.
    void SetSize(int nNewSize) {
        if (nNewSize < 0)
            Fail("SetSize with a negative size");
        AllocMemory(nNewSize);
        if (nNewSize < m_nElementCount)
            std::memset(m_pData + nNewSize, 0, (m_nElementCount - nNewSize) * sizeof(TYPE));
        m_nElementCount = nNewSize;
    }

    void SetGrowCount(int nGrowCount) { m_nGrowCount = nGrowCount < 0 ? 0 : nGrowCount; }
    int GetMaxCount() const { return m_nMaxCount; }
    TYPE* GetData() { return m_pData; }
    const TYPE* GetData() const { return m_pData; }

protected:
    // Ensures room for nNewCount elements. The step is the grow count, or an
    // eighth of the element count kept between 4 and 1024; one by one from
    // empty this gives capacities 5, 10, 15, ... 40, 46, 52, 59, 67, 76.
    void AllocMemory(int nNewCount) {
        if (nNewCount <= m_nMaxCount)
            return;
        int nGrowStep = m_nGrowCount;
        if (nGrowStep == 0) {
            nGrowStep = m_nElementCount / 8;
            if (nGrowStep < 4)
                nGrowStep = 4;
            if (nGrowStep > 1024)
                nGrowStep = 1024;
        }
        // The element count is an int: refuse a capacity it cannot address
        // instead of letting the byte count wrap into a short block.
        const long long llCapacity = static_cast<long long>(nNewCount) + nGrowStep;
        if (llCapacity > 0x7fffffffLL || static_cast<unsigned long long>(llCapacity) >
                                             static_cast<std::size_t>(-1) / sizeof(TYPE))
            throw std::bad_alloc();
        const int nCapacity = static_cast<int>(llCapacity);
        TYPE* pNewData = static_cast<TYPE*>(std::malloc(nCapacity * sizeof(TYPE)));
        if (pNewData == nullptr)
            throw std::bad_alloc();
        if (m_nElementCount > 0)
            std::memcpy(pNewData, m_pData, m_nElementCount * sizeof(TYPE));
        std::memset(pNewData + m_nElementCount, 0, (nCapacity - m_nElementCount) * sizeof(TYPE));
        std::free(m_pData);
        m_pData = pNewData;
        m_nMaxCount = nCapacity;
    }

private:
    void CheckIndex(int nIndex) const {
        if (nIndex < 0 || nIndex >= m_nElementCount)
            Fail("index outside the elements");
    }
    [[noreturn]] static void Fail(const char* pszWhat) {
        SuiteDebugReport(pszWhat, __FILE__, __LINE__);
        throw std::invalid_argument(pszWhat);
    }

    TYPE* m_pData = nullptr;
    int m_nMaxCount = 0;
    int m_nGrowCount = 0;
    int m_nElementCount = 0;
};
