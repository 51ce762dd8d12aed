// The one owner of every Win32 handle the suite opens. Each kind of handle has
// its own traits, so that it is compared against the right invalid value and
// closed by the right call; nothing outside this header closes a handle.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>

template <typename Traits>
class CUniqueHandle {
public:
    typedef typename Traits::Type Type;

    CUniqueHandle() = default;
    explicit CUniqueHandle(Type h) : m_h(h) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_h(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    Type Get() const { return m_h; }
    bool IsValid() const { return m_h != Traits::Invalid(); }

    // Gives up ownership without closing.
    Type Release() {
        const Type h = m_h;
        m_h = Traits::Invalid();
        return h;
    }
    void Reset(Type h = Traits::Invalid()) {
        if (m_h != Traits::Invalid())
            Traits::Close(m_h);
        m_h = h;
    }
    // Closes now and reports whether the close succeeded: for a file just
    // written, a failed close can mean its last bytes never reached the disk.
    bool Close() {
        if (m_h == Traits::Invalid())
            return true;
        return Traits::Close(Release());
    }

private:
    Type m_h = Traits::Invalid();
};

// The type and the invalid value of a kind of handle; its traits add how it is closed.
template <typename T, intptr_t kInvalid>
struct InvalidAt {
    typedef T Type;
    static Type Invalid() { return reinterpret_cast<Type>(kInvalid); }
};

// Files and tool-help snapshots.
struct FileHandleTraits : InvalidAt<HANDLE, -1> {
    static bool Close(Type h) { return ::CloseHandle(h) != FALSE; }
};
// Processes, threads, mutexes and events.
struct KernelHandleTraits : InvalidAt<HANDLE, 0> {
    static bool Close(Type h) { return ::CloseHandle(h) != FALSE; }
};
// Folder searches.
struct FindHandleTraits : InvalidAt<HANDLE, -1> {
    static bool Close(Type h) { return ::FindClose(h) != FALSE; }
};
// WinINet sessions, connections and requests.
struct InternetHandleTraits : InvalidAt<HINTERNET, 0> {
    static bool Close(Type h) { return ::InternetCloseHandle(h) != FALSE; }
};

typedef CUniqueHandle<FileHandleTraits> CFileHandle;
typedef CUniqueHandle<KernelHandleTraits> CKernelHandle;
typedef CUniqueHandle<FindHandleTraits> CFindHandle;
typedef CUniqueHandle<InternetHandleTraits> CInternetHandle;
