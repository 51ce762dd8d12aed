#include "updater/trusthost.h"

#include <windows.h>

#include "files/wholefile.h"
#include "templates/winhandle.h"
#include "updater/core/filedigest.h"

bool CWinTrustHost::ReadWholeFile(const std::string& strPath, std::size_t cbMax,
                                  std::string& strBytes) {
    return files::ReadWholeFile(strPath, cbMax, strBytes) == files::ReadResult::kOk;
}

bool CWinTrustHost::ReplaceFile(const std::string& strPath, const std::string& strBytes) {
    // Under a name of this process: a second run writing the same record
    // never writes into this one's temporary file.
    return files::WriteWholeFile(
        strPath, strPath + "." + std::to_string(GetCurrentProcessId()) + ".tmp", strBytes);
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
