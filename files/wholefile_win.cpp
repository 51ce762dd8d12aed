#include "files/wholefile.h"

#include <windows.h>

#include <algorithm>

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
    return SystemText(static_cast<DWORD>(failure.nError));
}

}  // namespace files
