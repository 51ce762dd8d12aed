#include "files/wholefile.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "templates/winhandle.h"

namespace files {
namespace {

bool Fail(Failure* pFailure, Failure::Step step, DWORD dwError) {
    if (pFailure != nullptr) {
        pFailure->step = step;
        pFailure->nError = static_cast<int>(dwError);
    }
    return false;
}

bool WriteAll(HANDLE hFile, const std::string& strBytes) {
    for (std::size_t nAt = 0; nAt < strBytes.size();) {
        const DWORD cbPiece =
            static_cast<DWORD>(std::min<std::size_t>(strBytes.size() - nAt, 1u << 20));
        DWORD cbWritten = 0;
        if (!WriteFile(hFile, strBytes.data() + nAt, cbPiece, &cbWritten,
                       /*lpOverlapped=*/nullptr) ||
            cbWritten == 0)
            return false;
        nAt += cbWritten;
    }
    return true;
}

// The errno the C runtime gives for a system error code, so that a failed
// open, read or write is told in the same words as when the tools went
// through it.
int RuntimeErrno(DWORD dwError) {
    switch (dwError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_NO_MORE_FILES:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ENOENT;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_ACCESS_DENIED:
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE:
        case ERROR_FAIL_I24:
        case ERROR_DRIVE_LOCKED:
        case ERROR_SEEK_ON_DEVICE:
        case ERROR_NOT_LOCKED:
        case ERROR_LOCK_FAILED:
            return EACCES;
        case ERROR_INVALID_HANDLE:
        case ERROR_INVALID_TARGET_HANDLE:
        case ERROR_DIRECT_ACCESS_HANDLE:
            return EBADF;
        case ERROR_ARENA_TRASHED:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_INVALID_BLOCK:
        case ERROR_NOT_ENOUGH_QUOTA:
            return ENOMEM;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_BROKEN_PIPE:
            return EPIPE;
        case ERROR_DISK_FULL:
            return ENOSPC;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
    }
    // Write protection up to sharing buffer exceeded are all refusals of access.
    if (dwError >= ERROR_WRITE_PROTECT && dwError <= ERROR_SHARING_BUFFER_EXCEEDED)
        return EACCES;
    return EINVAL;
}

std::string SystemText(DWORD dwError) {
    char szText[256] = {};
    DWORD cchText = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   /*lpSource=*/nullptr, dwError, /*dwLanguageId=*/0, szText,
                                   sizeof(szText), /*Arguments=*/nullptr);
    while (cchText > 0 && (szText[cchText - 1] == '\r' || szText[cchText - 1] == '\n'))
        szText[--cchText] = '\0';
    return cchText > 0 ? szText : "error " + std::to_string(dwError);
}

}  // namespace

bool WriteWholeFile(const std::string& strPath, const std::string& strTemp,
                    const std::string& strBytes, Failure* pFailure) {
    CFileHandle file(CreateFileA(strTemp.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                 /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    if (!file.IsValid())
        return Fail(pFailure, Failure::kOpen, GetLastError());
    // The bytes must be on disk before the name points at them:
    // MOVEFILE_WRITE_THROUGH does not see to the file's own bytes.
    bool bOk = WriteAll(file.Get(), strBytes) && FlushFileBuffers(file.Get());
    DWORD dwError = GetLastError();
    if (!file.Close() && bOk) {
        bOk = false;
        dwError = GetLastError();
    }
    if (!bOk) {
        DeleteFileA(strTemp.c_str());
        return Fail(pFailure, Failure::kWrite, dwError);
    }
    if (!MoveFileExA(strTemp.c_str(), strPath.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        dwError = GetLastError();
        DeleteFileA(strTemp.c_str());
        return Fail(pFailure, Failure::kMove, dwError);
    }
    return true;
}

ReadResult ReadWholeFile(const std::string& strPath, std::size_t cbMax, std::string& strBytes,
                         int* pnError) noexcept {
    strBytes.clear();
    int nIgnored = 0;
    int& nError = pnError != nullptr ? *pnError : nIgnored;
    nError = 0;
    // Shared as the C runtime shares a file it opens for reading.
    CFileHandle file(CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    LARGE_INTEGER size;
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size)) {
        nError = static_cast<int>(GetLastError());
        return ReadResult::kCannotRead;
    }
    // The size is only a first answer: the file may grow while it is read.
    if (static_cast<unsigned long long>(size.QuadPart) > cbMax)
        return ReadResult::kTooLarge;
    try {
        std::string strRead;
        char buffer[16384];
        for (;;) {
            DWORD cbGot = 0;
            if (!ReadFile(file.Get(), buffer, sizeof(buffer), &cbGot, /*lpOverlapped=*/nullptr)) {
                nError = static_cast<int>(GetLastError());
                return ReadResult::kCannotRead;
            }
            if (cbGot == 0)
                break;
            if (cbGot > cbMax - strRead.size())
                return ReadResult::kTooLarge;
            strRead.append(buffer, cbGot);
        }
        strBytes.swap(strRead);
        return ReadResult::kOk;
    } catch (const std::bad_alloc&) {
        return ReadResult::kNoMemory;
    }
}

std::string FailureText(const Failure& failure) {
    const DWORD dwError = static_cast<DWORD>(failure.nError);
    if (failure.step == Failure::kMove)
        return SystemText(dwError);
    return std::strerror(RuntimeErrno(dwError));
}

}  // namespace files
