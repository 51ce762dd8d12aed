// Files and folders for the rank library's tests, on either toolchain. Paths
// are multi-byte (code page 936) and absolute, under the test program's
// working directory, in "ranklib_data".
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <malloc.h>
#else
#include <sys/stat.h>
#include <unistd.h>

// From the address sanitizer's runtime, when the build has it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));
#endif

namespace quorle_test {

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

inline std::string CurrentDirectory() {
#ifdef _WIN32
    char szPath[MAX_PATH];
    const DWORD cch = ::GetCurrentDirectoryA(sizeof(szPath), szPath);
    return std::string(szPath, cch);
#else
    char szPath[4096];
    return ::getcwd(szPath, sizeof(szPath)) != nullptr ? std::string(szPath) : std::string(".");
#endif
}

inline std::string JoinPath(const std::string& strDir, const std::string& strName) {
    return strDir + kSeparator + strName;
}

// True when the folder exists afterwards.
inline bool MakeDirectory(const std::string& strPath) {
#ifdef _WIN32
    return ::CreateDirectoryA(strPath.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
#else
    return ::mkdir(strPath.c_str(), 0755) == 0 || errno == EEXIST;
#endif
}

// A folder of its own for one case: ranklib_data/<strName>.
inline std::string CaseDirectory(const std::string& strName) {
    const std::string strRoot = JoinPath(CurrentDirectory(), "ranklib_data");
    MakeDirectory(strRoot);
    const std::string strDir = JoinPath(strRoot, strName);
    MakeDirectory(strDir);
    return strDir;
}

// Writes the bytes as they are (no code page or line end conversion).
inline bool WriteFileBytes(const std::string& strPath, const std::string& strBytes) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr)
        return false;
    const bool bWritten =
        std::fwrite(strBytes.data(), 1, strBytes.size(), pFile) == strBytes.size();
    return std::fclose(pFile) == 0 && bWritten;
}

inline void RemoveFile(const std::string& strPath) {
    std::remove(strPath.c_str());
}

// Bytes in use on the heap that the library allocates from (the C runtime's
// heap on Windows, the sanitizer's natively), or -1 where it cannot be told.
inline long long CurrentHeapBytes() {
#ifdef _WIN32
    _HEAPINFO info;
    info._pentry = nullptr;
    long long llUsed = 0;
    int rc;
    while ((rc = _heapwalk(&info)) == _HEAPOK) {
        if (info._useflag == _USEDENTRY)
            llUsed += static_cast<long long>(info._size);
    }
    return rc == _HEAPEND ? llUsed : -1;
#else
    if (&__sanitizer_get_current_allocated_bytes == nullptr)
        return -1;
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#endif
}

}  // namespace quorle_test
