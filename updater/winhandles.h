// Move-only owners of the Win32 handles the updater opens. Each closes what it
// holds on destruction and on reassignment; the invalid value is explicit.
#pragma once

#include <windows.h>

template <typename Traits>
class CUniqueHandle {
public:
    typedef typename Traits::Type Type;
    CUniqueHandle() = default;
    explicit CUniqueHandle(Type h) : m_h(h) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_h(other.m_h) {
        other.m_h = Traits::Invalid();
    }
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.m_h);
            other.m_h = Traits::Invalid();
        }
        return *this;
    }
    void Reset(Type h = Traits::Invalid()) {
        if (m_h != Traits::Invalid())
            Traits::Close(m_h);
        m_h = h;
    }
    Type Get() const { return m_h; }
    bool IsValid() const { return m_h != Traits::Invalid(); }

private:
    Type m_h = Traits::Invalid();
};

// Files and snapshots: invalid at INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    typedef HANDLE Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

// Processes and threads: invalid at null.
struct KernelHandleTraits {
    typedef HANDLE Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseHandle(h); }
};

// Folder searches: invalid at INVALID_HANDLE_VALUE, closed by FindClose.
struct FindHandleTraits {
    typedef HANDLE Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};

typedef CUniqueHandle<FileHandleTraits> CFileHandle;
typedef CUniqueHandle<FindHandleTraits> CFindHandle;
typedef CUniqueHandle<FileHandleTraits> CSnapshotHandle;
typedef CUniqueHandle<KernelHandleTraits> CKernelHandle;
