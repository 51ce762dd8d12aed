#include "enginelog.h"

#include <windows.h>

#include <cstdio>

#include "kelmar/logline.h"
#include "savepath.h"
#include "templates/winhandle.h"

namespace pellowd {

void CEngineLog::Write(const std::string& strLine) {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    char szName[40];
    std::snprintf(szName, sizeof(szName), "PellowD-%02u-%02u.log", st.wMonth, st.wDay);
    char szStamp[20];
    kelmar::FormatLogStamp(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, szStamp);
    const std::string strFolder = m_strFolder + "errRpt";
    const std::string strText = kelmar::DatedLogLine(szStamp, strLine.data(), strLine.size());

    std::lock_guard<std::mutex> lock(m_mutex);
    ::CreateDirectoryA(strFolder.c_str(), /*lpSecurityAttributes=*/nullptr);
    CFileHandle file(::CreateFileA((strFolder + "\\" + szName).c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    if (!file.IsValid())
        return;
    DWORD dwWritten = 0;
    ::WriteFile(file.Get(), strText.data(), static_cast<DWORD>(strText.size()), &dwWritten,
                /*lpOverlapped=*/nullptr);
}

std::string EngineFolder() {
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&EngineFolder), &hModule)) {
        return std::string();
    }
    char szPath[MAX_PATH] = {};
    DWORD cch = ::GetModuleFileNameA(hModule, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return std::string();
    std::string strFolder = ParentFolder(szPath);
    return strFolder.empty() ? std::string() : strFolder + "\\";
}

}  // namespace pellowd
