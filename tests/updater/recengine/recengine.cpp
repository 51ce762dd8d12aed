// A stand-in PellowD.dll for the updater's scenarios: it fetches nothing. It
// writes every DownLoadCommand's records byte for byte to "recengine.bin"
// beside itself, notes the thread's top-level windows once the dialog's loop
// has idled ("recengine-windows.txt": class, title, visible, the last
// system-menu entry's command and text, whether icons are set), and then acts
// as "recengine.ini" ([engine] mode=...) says:
//   exit   (default) calls OnServiceExit, as an engine that shuts down;
//   serve  reports every request as finished (the test has put the files in
//          place), each batch position in order;
//   stop   serves the manifests, reports the first file of a batch and then
//          calls OnServiceStop, as an engine that gave up;
//   hold   serves the manifests and calls OnServiceExit when files are asked
//          for, so what the updater wrote before sending them stays in place;
//   idle   answers nothing, as an engine still fetching, until the test puts
//          "recengine.go" beside it; then calls OnServiceExit;
//   about  sends the dialog the system commands 0x001F and then 0x0020, notes
//          the windows again while the first one's box is open (a second
//          "recengine-windows.txt" block after a "--" line), closes the box
//          with OK, and calls OnServiceExit.
//   ok, cancel  post the dialog the OK or Cancel command, as something other
//          than the run would, and then fetch nothing.
//
// recengine.bin: per call "RCMD", the command code (int32), the number of
// records (int32), then each 1356-byte record. recengine-life.txt: "created"
// and "released", one a line. (Whether FreeLibrary unloads the library cannot
// be seen from inside: the MinGW runtime pins a DLL that uses its TLS.)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "engine/downloadservice.h"

namespace {

HMODULE g_hModule = nullptr;
const UINT_PTR kTimerId = 1;
const UINT kDelayMs = 400;

std::string OwnFolder() {
    char szPath[MAX_PATH] = {};
    GetModuleFileNameA(g_hModule, szPath, sizeof(szPath));
    char* pszSlash = std::strrchr(szPath, '\\');
    if (pszSlash != nullptr)
        pszSlash[1] = '\0';
    return szPath;
}

void Append(const std::string& strName, const void* pData, size_t cbData) {
    FILE* pFile = std::fopen((OwnFolder() + strName).c_str(), "ab");
    if (pFile == nullptr)
        return;
    std::fwrite(pData, 1, cbData, pFile);
    std::fclose(pFile);
}

BOOL CALLBACK NoteWindow(HWND hWnd, LPARAM) {
    char szClass[128] = {};
    char szTitle[128] = {};
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    GetWindowTextA(hWnd, szTitle, sizeof(szTitle));
    // The last system-menu entry (the about entry) and whether an icon is set.
    char szMenu[128] = {};
    UINT nMenuId = 0;
    HMENU hSysMenu = GetSystemMenu(hWnd, FALSE);
    int nItems = hSysMenu != nullptr ? GetMenuItemCount(hSysMenu) : 0;
    if (nItems > 0) {
        nMenuId = GetMenuItemID(hSysMenu, nItems - 1);
        GetMenuStringA(hSysMenu, nItems - 1, szMenu, sizeof(szMenu), MF_BYPOSITION);
    }
    bool bIcon = SendMessageA(hWnd, WM_GETICON, ICON_BIG, 0) != 0 &&
                 SendMessageA(hWnd, WM_GETICON, ICON_SMALL, 0) != 0;
    char szLine[600];
    int nLength =
        std::snprintf(szLine, sizeof(szLine), "%s\t%s\t%d\t%u\t%s\t%d\r\n", szClass, szTitle,
                      IsWindowVisible(hWnd) ? 1 : 0, nMenuId, szMenu, bIcon ? 1 : 0);
    Append("recengine-windows.txt", szLine, static_cast<size_t>(nLength));
    return TRUE;
}

HWND FindDialog() {
    struct Search {
        static BOOL CALLBACK Visit(HWND hWnd, LPARAM lParam) {
            char szClass[16] = {};
            char szTitle[16] = {};
            GetClassNameA(hWnd, szClass, sizeof(szClass));
            GetWindowTextA(hWnd, szTitle, sizeof(szTitle));
            if (std::strcmp(szClass, "#32770") == 0 && std::strcmp(szTitle, "Talvex") == 0) {
                *reinterpret_cast<HWND*>(lParam) = hWnd;
                return FALSE;
            }
            return TRUE;
        }
    };
    HWND hDialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), Search::Visit, reinterpret_cast<LPARAM>(&hDialog));
    return hDialog;
}

// The about box: a dialog of this thread other than the update dialog.
BOOL CALLBACK CloseAboutBox(HWND hWnd, LPARAM lParam) {
    char szClass[16] = {};
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    if (std::strcmp(szClass, "#32770") == 0 && hWnd != reinterpret_cast<HWND>(lParam)) {
        char szText[128] = {};
        GetDlgItemTextA(hWnd, IDOK, szText, sizeof(szText));
        std::string strLine = std::string("about-ok\t") + szText + "\r\n";
        Append("recengine-windows.txt", strLine.data(), strLine.size());
        PostMessageA(hWnd, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

struct Pending {
    int nCode;
    std::vector<DownLoadRequest> requests;
};

class CRecEngine final : public IDownLoadService {
public:
    CRecEngine() {
        char szMode[32] = {};
        GetPrivateProfileStringA("engine", "mode", "exit", szMode, sizeof(szMode),
                                 (OwnFolder() + "recengine.ini").c_str());
        m_strMode = szMode;
        m_hWnd = CreateWindowExA(0, "STATIC", "recengine", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 g_hModule, nullptr);
        SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        m_pfnStatic = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WndProc)));
    }
    ~CRecEngine() {
        if (m_hWnd != nullptr)
            DestroyWindow(m_hWnd);
    }

    bool IsValid() override { return true; }
    void Release() override {
        Append("recengine-life.txt", "released\r\n", 10);
        delete this;
    }
    void* QueryInterface(const GUID& Guid, DWORD dwQueryVer) override {
        if (IsEqualIdentifier(Guid, IID_IDownLoadService) &&
            InterfaceVersionCompatible(dwQueryVer, VER_IDownLoadService)) {
            return static_cast<IDownLoadService*>(this);
        }
        return nullptr;
    }
    bool IsBusy() override { return !m_pending.empty(); }
    bool SetDownLoadServiceSink(IUnknownEx* pIUnknownEx) override {
        if (pIUnknownEx == nullptr)
            return false;
        m_pSink = static_cast<IDownLoadServiceSink*>(
            pIUnknownEx->QueryInterface(IID_IDownLoadServiceSink, VER_IDownLoadServiceSink));
        return m_pSink != nullptr;
    }
    int DownLoadCommand(int nCode, const DownLoadRequest* pFirst,
                        const DownLoadRequestList* pOthers) override {
        try {
            Pending pending;
            pending.nCode = nCode;
            if (pFirst != nullptr)
                pending.requests.push_back(*pFirst);
            if (pOthers != nullptr) {
                pending.requests.insert(pending.requests.end(), pOthers->begin(), pOthers->end());
            }
            std::string strRecord = "RCMD";
            int nCount = static_cast<int>(pending.requests.size());
            strRecord.append(reinterpret_cast<const char*>(&nCode), 4);
            strRecord.append(reinterpret_cast<const char*>(&nCount), 4);
            for (const DownLoadRequest& req : pending.requests) {
                strRecord.append(reinterpret_cast<const char*>(&req), sizeof(req));
            }
            Append("recengine.bin", strRecord.data(), strRecord.size());
            if (nCode != DOWNLOAD_CMD_NOTHING)
                m_pending.push_back(pending);
            SetTimer(m_hWnd, kTimerId, kDelayMs, nullptr);
            return nCount;
        } catch (...) {
            return 0;
        }
    }

private:
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
        CRecEngine* pThis = reinterpret_cast<CRecEngine*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
        if (uMsg == WM_TIMER && wParam == kTimerId && pThis != nullptr) {
            KillTimer(hWnd, kTimerId);
            try {
                pThis->OnTimer();
            } catch (...) {
            }
            return 0;
        }
        return pThis != nullptr ? CallWindowProcA(pThis->m_pfnStatic, hWnd, uMsg, wParam, lParam)
                                : DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }

    void OnTimer() {
        if (!m_bWindowsNoted) {
            m_bWindowsNoted = true;
            EnumThreadWindows(GetCurrentThreadId(), NoteWindow, 0);
        }
        if (m_pSink == nullptr)
            return;
        if (m_strMode == "about") {
            OnAboutStep();
            return;
        }
        if (m_strMode == "ok" || m_strMode == "cancel") {
            PostMessageA(FindDialog(), WM_COMMAND, m_strMode == "ok" ? IDOK : IDCANCEL, 0);
            return;
        }
        if (m_strMode == "exit") {
            m_pSink->OnServiceExit();
            return;
        }
        if (m_strMode == "idle") {
            if (GetFileAttributesA((OwnFolder() + "recengine.go").c_str()) !=
                INVALID_FILE_ATTRIBUTES) {
                m_pSink->OnServiceExit();
            } else {
                SetTimer(m_hWnd, kTimerId, kDelayMs, nullptr);
            }
            return;
        }
        while (!m_pending.empty()) {
            Pending pending = m_pending.front();
            m_pending.pop_front();
            if (m_strMode == "hold" && pending.nCode == DOWNLOAD_CMD_FILES) {
                m_pSink->OnServiceExit();
                return;
            }
            unsigned int nCount = static_cast<unsigned int>(pending.requests.size());
            for (unsigned int i = 0; i < nCount; ++i) {
                DownLoadTask task;
                std::memset(&task, 0, sizeof(task));
                task.nCommandCode = pending.nCode;
                task.Request = pending.requests[i];
                task.dwBatchCount = nCount;
                task.dwBatchIndex = i;
                // The sink may send the next batch from inside the report.
                m_pSink->OnDownLoadEvent(DOWNLOAD_EVENT_FINISHED, &task);
                if (m_strMode == "stop" && pending.nCode == DOWNLOAD_CMD_FILES) {
                    m_pSink->OnServiceStop();
                    return;
                }
            }
        }
    }

    // Runs from the dialog's loop, then from the about box's own loop.
    void OnAboutStep() {
        HWND hDialog = FindDialog();
        switch (m_nAboutStep++) {
            case 0:
                // 0x0020 must do nothing; 0x001F (low bits ignored) opens the box.
                SendMessageA(hDialog, WM_SYSCOMMAND, 0x0020, 0);
                PostMessageA(hDialog, WM_SYSCOMMAND, 0x001F, 0);
                SetTimer(m_hWnd, kTimerId, kDelayMs, nullptr);
                return;
            case 1:
                Append("recengine-windows.txt", "--\r\n", 4);
                EnumThreadWindows(GetCurrentThreadId(), NoteWindow, 0);
                EnumThreadWindows(GetCurrentThreadId(), CloseAboutBox,
                                  reinterpret_cast<LPARAM>(hDialog));
                SetTimer(m_hWnd, kTimerId, kDelayMs, nullptr);
                return;
            default:
                m_pSink->OnServiceExit();
                return;
        }
    }

    int m_nAboutStep = 0;
    std::string m_strMode;
    HWND m_hWnd = nullptr;
    WNDPROC m_pfnStatic = nullptr;
    IDownLoadServiceSink* m_pSink = nullptr;
    std::deque<Pending> m_pending;
    bool m_bWindowsNoted = false;
};

}  // namespace

extern "C" __declspec(dllexport) void* CreateDownLoadService(const GUID& Guid, DWORD dwVersion) {
    try {
        if (!IsEqualIdentifier(Guid, IID_IDownLoadService) ||
            !InterfaceVersionCompatible(dwVersion, VER_IDownLoadService)) {
            return nullptr;
        }
        IDownLoadService* pService = new CRecEngine();
        Append("recengine-life.txt", "created\r\n", 9);
        return pService;
    } catch (...) {
        return nullptr;
    }
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH)
        g_hModule = hInstance;
    return TRUE;
}
