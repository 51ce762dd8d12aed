// The plaza stand-in as the updater and the file mover meet it: found by its
// window class, told about a game update by message 0x0464, ended by
// WM_CLOSE, and every step visible in the log beside its executable.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "templates/winhandle.h"

namespace {

std::string BinFolder() {
    char szPath[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strPath(szPath);
    return strPath.substr(0, strPath.find_last_of('\\') + 1);
}

// A private installation folder, so the log holds only this test's lines.
std::string FreshFolder(const char* pszTag) {
    char szTemp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, szTemp);
    std::string strFolder = std::string(szTemp) + pszTag + std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryA(strFolder.c_str(), nullptr);
    ::DeleteFileA((strFolder + "\\ZIVGame.log").c_str());
    return strFolder;
}

struct FindByPid {
    DWORD dwPid;
    HWND hWnd;
};

BOOL CALLBACK MatchPlazaWindow(HWND hWnd, LPARAM lParam) {
    FindByPid* pFind = reinterpret_cast<FindByPid*>(lParam);
    char szClass[64] = {};
    ::GetClassNameA(hWnd, szClass, sizeof(szClass));
    DWORD dwPid = 0;
    ::GetWindowThreadProcessId(hWnd, &dwPid);
    if (dwPid == pFind->dwPid && std::string(szClass) == "ZIVGamePlaza") {
        pFind->hWnd = hWnd;
        return FALSE;
    }
    return TRUE;
}

// Ends the started plaza when a check fails early, so no process outlives the test.
struct ProcessGuard {
    PROCESS_INFORMATION pi;
    ~ProcessGuard() {
        const CKernelHandle thread(pi.hThread), process(pi.hProcess);
        if (::WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT)
            ::TerminateProcess(process.Get(), 3);
    }
};

std::vector<std::string> ReadLines(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::vector<std::string> lines;
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        lines.push_back(strLine);
    }
    return lines;
}

TEST(PlazaStandIn, FoundByClassLogsStartMessagesAndClose) {
    const std::string strFolder = FreshFolder("plaza-");
    const std::string strExe = strFolder + "\\ZIVGame.exe";
    ASSERT_TRUE(::CopyFileA((BinFolder() + "ZIVGame.exe").c_str(), strExe.c_str(), FALSE))
        << "copy ZIVGame.exe, error " << ::GetLastError();

    std::string strCommand = "\"" + strExe + "\" -u";
    std::vector<char> command(strCommand.begin(), strCommand.end());
    command.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 strFolder.c_str(), &si, &pi))
        << "error " << ::GetLastError();

    ProcessGuard guard{pi};

    // Wine may report the program idle before its window exists, so look for
    // the window until it appears (bounded), as the updater's callers would.
    ::WaitForInputIdle(pi.hProcess, 30000);
    FindByPid find = {pi.dwProcessId, nullptr};
    for (int nTry = 0; nTry < 1500 && find.hWnd == nullptr; ++nTry) {
        ::EnumWindows(MatchPlazaWindow, reinterpret_cast<LPARAM>(&find));
        if (find.hWnd == nullptr)
            ::Sleep(20);
    }
    ASSERT_NE(nullptr, find.hWnd) << "no ZIVGamePlaza window of the started process";
    EXPECT_NE(nullptr, ::FindWindowA("ZIVGamePlaza", nullptr));
    char szTitle[64] = {};
    ::GetWindowTextA(find.hWnd, szTitle, sizeof(szTitle));
    EXPECT_STREQ("ZIVGame", szTitle);

    ASSERT_TRUE(::PostMessageA(find.hWnd, 0x0464, 2, -5));
    ASSERT_TRUE(::PostMessageA(find.hWnd, 0x0464, 0xFFFFFFFFu, 7));
    ASSERT_TRUE(::PostMessageA(find.hWnd, WM_CLOSE, 0, 0));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(pi.hProcess, 60000));
    DWORD dwExit = 99;
    ::GetExitCodeProcess(pi.hProcess, &dwExit);
    EXPECT_EQ(0u, dwExit);

    const std::string strPid = std::to_string(pi.dwProcessId);
    const std::vector<std::string> lines = ReadLines(strFolder + "\\ZIVGame.log");
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("start\t" + strPid + "\t" + strCommand, lines[0]);
    EXPECT_EQ("0x0464\t2\t-5", lines[1]);
    EXPECT_EQ("0x0464\t4294967295\t7", lines[2]);
    EXPECT_EQ("close\t" + strPid, lines[3]);
}

}  // namespace
