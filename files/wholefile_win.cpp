#include "files/wholefile.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "files/wholefile_platform.h"
#include "templates/winhandle.h"

namespace files {
namespace {

bool Fail(Failure& failure, Failure::Step step) {
    failure.step = step;
    failure.nError = static_cast<int>(GetLastError());
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

bool PutOnDisk(const std::string& strTemp, const std::string& strBytes, Failure& failure) {
    CFileHandle file(CreateFileA(strTemp.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                 /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    if (!file.IsValid())
        return Fail(failure, Failure::kOpen);
    // The bytes must be on disk before the name points at them:
    // MOVEFILE_WRITE_THROUGH does not see to the file's own bytes.
    if (!WriteAll(file.Get(), strBytes) || !FlushFileBuffers(file.Get()))
        return Fail(failure, Failure::kWrite);
    return file.Close() || Fail(failure, Failure::kWrite);
}

bool MoveOver(const std::string& strTemp, const std::string& strPath, Failure& failure) {
    return MoveFileExA(strTemp.c_str(), strPath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
           Fail(failure, Failure::kMove);
}

void RemoveTemporary(const std::string& strTemp) {
    DeleteFileA(strTemp.c_str());
}

ReadResult ReadOpened(const std::string& strPath, std::size_t cbMax, std::string& strBytes,
                      int& nError) noexcept {
    // Shared as the C runtime shares a file it opens for reading.
    CFileHandle file(CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    LARGE_INTEGER size;
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size)) {
        nError = static_cast<int>(GetLastError());
        return ReadResult::kCannotRead;
    }
    return ReadPieces(
        static_cast<unsigned long long>(size.QuadPart), cbMax, strBytes, nError,
        [&file](char* pBuffer, std::size_t cbBuffer, std::size_t& cbGot, int& nFault) {
            DWORD cbRead = 0;
            if (!ReadFile(file.Get(), pBuffer, static_cast<DWORD>(cbBuffer), &cbRead,
                          /*lpOverlapped=*/nullptr)) {
                nFault = static_cast<int>(GetLastError());
                return false;
            }
            cbGot = cbRead;
            return true;
        });
}

std::string FailureText(const Failure& failure) {
    const DWORD dwError = static_cast<DWORD>(failure.nError);
    if (failure.step == Failure::kMove)
        return SystemText(dwError);
    return std::strerror(RuntimeErrno(dwError));
}

}  // namespace files
