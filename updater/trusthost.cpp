#include "updater/trusthost.h"

#include <windows.h>

#include "updater/core/filedigest.h"
#include "templates/winhandle.h"

bool CWinTrustHost::ReadWholeFile(const std::string& strPath, std::size_t cbMax,
                                  std::string& strBytes) {
    strBytes.clear();
    CFileHandle file(CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    LARGE_INTEGER size;
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > cbMax) {
        return false;
    }
    try {
        std::string strRead(static_cast<std::size_t>(size.QuadPart), '\0');
        std::size_t cbDone = 0;
        while (cbDone < strRead.size()) {
            DWORD cbGot = 0;
            const DWORD cbWant = static_cast<DWORD>(strRead.size() - cbDone);
            if (!ReadFile(file.Get(), &strRead[cbDone], cbWant, &cbGot,
                          /*lpOverlapped=*/nullptr) ||
                cbGot == 0) {
                return false;
            }
            cbDone += cbGot;
        }
        strBytes.swap(strRead);
        return true;
    } catch (...) {
        return false;
    }
}

bool CWinTrustHost::ReplaceFile(const std::string& strPath, const std::string& strBytes) {
    // Written beside the target under a name of this process, then moved over
    // it: a reader or a crash sees the old record or the new, never a part.
    const std::string strTemp = strPath + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
    {
        CFileHandle file(CreateFileA(strTemp.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                     /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
        if (!file.IsValid())
            return false;
        DWORD cbWritten = 0;
        const bool bWritten =
            WriteFile(file.Get(), strBytes.data(), static_cast<DWORD>(strBytes.size()), &cbWritten,
                      /*lpOverlapped=*/nullptr) &&
            cbWritten == strBytes.size() && FlushFileBuffers(file.Get());
        if (!bWritten) {
            file.Reset();
            DeleteFileA(strTemp.c_str());
            return false;
        }
    }
    if (!MoveFileExA(strTemp.c_str(), strPath.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(strTemp.c_str());
        return false;
    }
    return true;
}

void CWinTrustHost::RemoveFile(const std::string& strPath) {
    DeleteFileA(strPath.c_str());
}

bool CWinTrustHost::ListFiles(const std::string& strFolder, std::vector<std::string>& files) {
    files.clear();
    std::vector<std::string> pending(1, std::string());  // folders still to list, relative
    while (!pending.empty()) {
        const std::string strRelative = pending.back();
        pending.pop_back();
        const std::string strPrefix = strRelative.empty() ? "" : strRelative + "\\";
        WIN32_FIND_DATAA data;
        CFindHandle find(FindFirstFileA((strFolder + "\\" + strPrefix + "*").c_str(), &data));
        if (!find.IsValid()) {
            const DWORD dwError = GetLastError();
            // Only the staging folder itself may be missing: a subfolder just
            // found that cannot be listed hides what is in it.
            if (strRelative.empty() &&
                (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND))
                return true;
            return false;
        }
        do {
            const std::string strName = data.cFileName;
            if (strName == "." || strName == "..")
                continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                pending.push_back(strPrefix + strName);
            else
                files.push_back(strPrefix + strName);
        } while (FindNextFileA(find.Get(), &data));
        if (GetLastError() != ERROR_NO_MORE_FILES)
            return false;
    }
    return true;
}

bool CWinTrustHost::IsMissing(const std::string& strPath) {
    if (GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD dwError = GetLastError();
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

std::int64_t CWinTrustHost::Now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const unsigned long long qwTicks =
        (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    // 100-nanosecond ticks since 1601-01-01; 11644473600 seconds lie before 1970.
    return static_cast<std::int64_t>(qwTicks / 10000000ULL) - 11644473600LL;
}

std::string CWinTrustHost::FileSha256(const std::string& strPath) {
    return talvex::GetFileSha256(strPath.c_str());
}
