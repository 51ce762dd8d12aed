// ZIVGame.exe, the plaza stand-in. It owns a hidden top-level window of class
// "ZIVGamePlaza" (title "ZIVGame") so that the updater and the file mover can
// find it, notify it and end it, and it records what happened to it in
// "ZIVGame.log" beside its own executable, so that tests and the demo can see
// the hand-over.
//
// Log format: one line per event, fields separated by a TAB, lines ended by
// CR LF, each line appended and flushed on its own (several instances may
// share the file):
//
//   start<TAB><process id><TAB><command line as GetCommandLineA gives it>
//   0x0464<TAB><wParam, unsigned decimal><TAB><lParam, signed decimal>
//   close<TAB><process id>
//
// The program ends when its window gets WM_CLOSE (or its process is ended).
#include <windows.h>

#include <cstdio>
#include <string>

#include "templates/winhandle.h"

namespace {

const char kClassName[] = "ZIVGamePlaza";
const char kTitle[] = "ZIVGame";
const UINT kPlazaNotify = 0x0464;

std::string g_strLogPath;

// The folder of our own executable with its trailing backslash. The search
// for the last separator skips double-byte characters, whose trail byte can
// be a backslash in code page 936.
std::string OwnFolder() {
    char szPath[MAX_PATH] = {};
    DWORD cch = ::GetModuleFileNameA(/*hModule=*/nullptr, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return std::string();
    const char* pszLastSep = nullptr;
    for (const char* p = szPath; *p != '\0'; p = ::CharNextA(p)) {
        if (*p == '\\' || *p == '/')
            pszLastSep = p;
    }
    if (pszLastSep == nullptr)
        return std::string();
    return std::string(static_cast<const char*>(szPath), pszLastSep + 1);
}

void AppendLine(const std::string& strLine) {
    if (g_strLogPath.empty())
        return;
    CFileHandle file(
        ::CreateFileA(g_strLogPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                      /*hTemplateFile=*/nullptr));
    if (!file.IsValid())
        return;  // a log that cannot be written is lost
    std::string strText = strLine + "\r\n";
    DWORD dwWritten = 0;
    ::WriteFile(file.Get(), strText.data(), static_cast<DWORD>(strText.size()), &dwWritten,
                /*lpOverlapped=*/nullptr);
    ::FlushFileBuffers(file.Get());
}

LRESULT CALLBACK PlazaWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    try {
        switch (uMsg) {
            case kPlazaNotify: {
                char szLine[96];
                std::snprintf(szLine, sizeof(szLine), "0x0464\t%lu\t%ld",
                              static_cast<unsigned long>(wParam), static_cast<long>(lParam));
                AppendLine(szLine);
                return 0;
            }
            case WM_CLOSE: {
                char szLine[48];
                std::snprintf(szLine, sizeof(szLine), "close\t%lu",
                              static_cast<unsigned long>(::GetCurrentProcessId()));
                AppendLine(szLine);
                ::DestroyWindow(hWnd);
                return 0;
            }
            case WM_DESTROY:
                ::PostQuitMessage(0);
                return 0;
            default:
                break;
        }
    } catch (...) {
        // Nothing may leave a window procedure.
    }
    return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nShowCmd*/) {
    try {
        g_strLogPath = OwnFolder() + "ZIVGame.log";
        char szPid[24];
        std::snprintf(szPid, sizeof(szPid), "%lu",
                      static_cast<unsigned long>(::GetCurrentProcessId()));
        const char* pszCommandLine = ::GetCommandLineA();
        AppendLine(std::string("start\t") + szPid + "\t" +
                   (pszCommandLine != nullptr ? pszCommandLine : ""));

        WNDCLASSA wc = {};
        wc.lpfnWndProc = PlazaWndProc;
        wc.hInstance = hInstance;
        wc.lpszClassName = kClassName;
        wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
        if (::RegisterClassA(&wc) == 0)
            return 1;

        // A real top-level window (not message-only), so that FindWindowA sees
        // it; it stays hidden because nobody needs to look at it.
        HWND hWnd = ::CreateWindowExA(/*dwExStyle=*/0, kClassName, kTitle, WS_OVERLAPPEDWINDOW,
                                      CW_USEDEFAULT, CW_USEDEFAULT, 320, 200,
                                      /*hWndParent=*/nullptr, /*hMenu=*/nullptr, hInstance,
                                      /*lpParam=*/nullptr);
        if (hWnd == nullptr)
            return 1;

        MSG msg;
        while (::GetMessageA(&msg, /*hWnd=*/nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        return static_cast<int>(msg.wParam);
    } catch (...) {
        return 1;
    }
}
