#include "updater/talvexdlg.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <thread>

#include "updater/core/cp936text.h"
#include "updater/core/filedigest.h"
#include "updater/core/instance.h"
#include "updater/core/specialbat.h"
#include "updater/core/startup.h"
#include "updater/core/updatelog.h"
#include "updater/resource.h"

namespace {

const char kAppTitle[] = "Talvex";
const char kPlazaWindowClass[] = "ZIVGamePlaza";
const UINT WM_UPDATE_FINISHED = WM_USER + 100;  // 0x0464
const char kSpecialCopyBat[] = "SpecialCpy.bat";
// How long an ended process may take to go; a hung one must not hold the run.
const DWORD kTerminateWaitMs = 5000;

// Starts a program the way the hand-over does: nothing is inherited, the
// updater's environment and current directory carry over. pszProgram, when
// given, names the program, else the command line does. The handles are not
// needed afterwards. 0, or why the program did not start.
DWORD StartProcess(const char* pszProgram, const std::string& strCommandLine) {
    char szCommandLine[300] = {};
    if (!CopyWhole(szCommandLine, sizeof(szCommandLine), strCommandLine))
        return ERROR_FILENAME_EXCED_RANGE;
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    std::memset(&pi, 0, sizeof(pi));
    if (!CreateProcessA(pszProgram, szCommandLine,
                        /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr,
                        /*bInheritHandles=*/FALSE, CREATE_DEFAULT_ERROR_MODE,
                        /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &si, &pi)) {
        return GetLastError();
    }
    CKernelHandle process(pi.hProcess);
    CKernelHandle thread(pi.hThread);
    return 0;
}

}  // namespace

// The run's view of the world, answered with Windows calls.
class CTalvexDlg::CHost : public IUpdateHost, public IFileProbe {
public:
    explicit CHost(CTalvexDlg& dlg) : m_dlg(dlg) {}

    void Log(const std::string& strLine) override { m_dlg.WriteUpdateLog("%s", strLine.c_str()); }
    void ShowMessage(const std::string& strText) override { m_dlg.ShowMessage(strText.c_str()); }
    void PostQuit() override { m_dlg.RequestQuit(); }
    void TerminateProcessByName(const std::string& strExe) override {
        m_dlg.TerminateProcessByName(strExe.c_str());
    }
    bool FileExists(const std::string& strPath) override {
        return PathFileExistsA(strPath.c_str()) != FALSE;
    }
    IFileProbe& Probe() override { return *this; }
    bool ExpectFile(const DownLoadRequest& request, std::uint64_t qwSize,
                    const std::string& strSha256) override {
        IDownLoadService* pService = m_dlg.m_DownLoadServiceHelper.GetInterface();
        IDownLoadExpect* pExpect = pService == nullptr
                                       ? nullptr
                                       : static_cast<IDownLoadExpect*>(pService->QueryInterface(
                                             IID_IDownLoadExpect, VER_IDownLoadExpect));
        return pExpect != nullptr && pExpect->ExpectFile(request.szSaveDir, request.szSaveName,
                                                         qwSize, strSha256.c_str());
    }
    int DownLoadCommand(int nCode, const DownLoadRequest* pFirst,
                        const DownLoadRequestList* pOthers) override {
        IDownLoadService* pService = m_dlg.m_DownLoadServiceHelper.GetInterface();
        return pService != nullptr ? pService->DownLoadCommand(nCode, pFirst, pOthers) : 0;
    }
    bool WriteSpecialCopyBat(const std::vector<NeedUpdateFile>& files) override {
        return m_dlg.WriteSpecialCopyBat(files);
    }
    void FinishUpdate() override { m_dlg.FinishUpdate(); }
    void OpenGame() override { m_dlg.OpenGame(); }

    bool Exists(const std::string& strPath) override { return FileExists(strPath); }
    bool ReadSize(const std::string& strPath, std::uint64_t& qwSize) override {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(strPath.c_str(), GetFileExInfoStandard, &data))
            return false;
        qwSize = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        return true;
    }
    std::string Digest(const std::string& strPath) override {
        return talvex::GetFileMD5(strPath.c_str());
    }
    // The probe's calls keep nothing between them, so every core can judge a
    // file of its own; at least two, so that one file's waiting on the disk or
    // the Wine server overlaps another's hashing even on one core.
    unsigned int ConcurrentFiles() override {
        return std::max(2u, std::thread::hardware_concurrency());
    }

private:
    CTalvexDlg& m_dlg;
};

CTalvexDlg::CTalvexDlg(HINSTANCE hInstance, HWND hParent)
    : m_hInstance(hInstance),
      m_hParent(hParent),
      m_hIcon(LoadIconA(hInstance, MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

CTalvexDlg::~CTalvexDlg() {
    m_DownLoadServiceHelper.CloseInstance();
}

INT_PTR CTalvexDlg::DoModal() {
    INT_PTR nResult = DialogBoxParamA(m_hInstance, MAKEINTRESOURCEA(IDD_TALVEX_DIALOG), m_hParent,
                                      DialogProc, reinterpret_cast<LPARAM>(this));
    if (nResult == -1) {
        const DWORD dwError = GetLastError();
        // No run took place, so the exit code must not say "handed over".
        WriteUpdateLog("更新窗口创建失败(%lu)", static_cast<unsigned long>(dwError));
        m_nExitCode = kExitNoDialog;
    }
    m_hWnd = nullptr;
    m_bRunEnded = true;
    // A quit request may still wait in the queue when the loop ended otherwise.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    return nResult;
}

INT_PTR CALLBACK CTalvexDlg::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    try {
        CTalvexDlg* pThis;
        if (uMsg == WM_INITDIALOG) {
            pThis = reinterpret_cast<CTalvexDlg*>(lParam);
            SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
            pThis->m_hWnd = hWnd;
        } else {
            pThis = reinterpret_cast<CTalvexDlg*>(GetWindowLongPtrA(hWnd, DWLP_USER));
        }
        return pThis != nullptr ? pThis->HandleMessage(uMsg, wParam, lParam) : FALSE;
    } catch (...) {
        // Nothing may unwind into the system's dialog code.
        return FALSE;
    }
}

INT_PTR CTalvexDlg::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_NCPAINT:
            // The system shows the dialog once its loop idles; every frame
            // paint hides it again, so it is never seen.
            ShowWindow(m_hWnd, SW_HIDE);
            return FALSE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                OnSysCommand(wParam, lParam);
                return TRUE;
            }
            return FALSE;
        case WM_PAINT:
            if (IsIconic(m_hWnd)) {
                OnPaint();
                return TRUE;
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(m_hIcon);
        case WM_CLOSE:
            // Ended here rather than through the posted Cancel command, so a
            // close sent during initialisation ends the dialog before it shows.
            m_bRunEnded = true;
            EndDialog(m_hWnd, IDCANCEL);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) {
                // The run's own ends all close the dialog otherwise (WM_CLOSE
                // or EndDialog); a command means someone else ended it.
                if (!m_bRunEnded) {
                    WriteUpdateLog("更新被中止(%s)", LOWORD(wParam) == IDOK ? "IDOK" : "IDCANCEL");
                    m_nExitCode = kExitDialogCommand;
                }
                m_bRunEnded = true;
                EndDialog(m_hWnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK CTalvexDlg::AboutProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM) {
    if (uMsg == WM_INITDIALOG)
        return TRUE;
    if (uMsg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(hWnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void CTalvexDlg::OnSysCommand(WPARAM, LPARAM) {
    DialogBoxParamA(m_hInstance, MAKEINTRESOURCEA(IDD_ABOUTBOX), m_hWnd, AboutProc, 0);
}

void CTalvexDlg::OnPaint() {
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(m_hWnd, &ps);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(m_hWnd, &rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(hdc, x, y, m_hIcon);
    EndPaint(m_hWnd, &ps);
}

BOOL CTalvexDlg::OnInitDialog() {
    char szAbout[128] = {};
    if (LoadStringA(m_hInstance, IDS_ABOUTBOX, szAbout, sizeof(szAbout)) > 0) {
        HMENU hSysMenu = GetSystemMenu(m_hWnd, FALSE);
        if (hSysMenu != nullptr) {
            AppendMenuA(hSysMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(hSysMenu, MF_STRING, IDM_ABOUTBOX, szAbout);
        }
    }
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    // A path that fills the whole buffer has been cut: never run from a cut folder.
    char szExePath[MAX_PATH] = {};
    const DWORD cchExePath = GetModuleFileNameA(nullptr, szExePath, sizeof(szExePath));
    const char* pszCmdLine = GetCommandLineA();
    const StartupSettings settings = ReadStartup(
        szExePath, cchExePath > 0 && cchExePath < sizeof(szExePath), pszCmdLine, m_trustHost);
    if (settings.status == StartupStatus::FolderUnusable) {
        StartupFailed(settings.strLogLine.c_str(), settings.strMessage.c_str());
        return FALSE;
    }
    m_config = settings.config;
    m_strUpdateSpecificGame = settings.strGameName;
    SetCurrentDirectoryA(m_config.strProgramFolder.c_str());

    // A second updater on this installation would write the same temporary
    // files and batch file as the first: it leaves everything to the first.
    m_instanceMutex.Reset(CreateMutexA(/*lpMutexAttributes=*/nullptr, /*bInitialOwner=*/TRUE,
                                       InstanceMutexName(m_config.strProgramFolder).c_str()));
    const DWORD dwMutexError = GetLastError();
    if (!m_instanceMutex.IsValid() || dwMutexError == ERROR_ALREADY_EXISTS) {
        m_instanceMutex.Reset();
        const std::string strLine =
            FormatText("已有更新程序在运行，本次不更新(%s)(%lu)", m_config.strProgramFolder.c_str(),
                       static_cast<unsigned long>(dwMutexError));
        StartupFailed(strLine.c_str(), nullptr);
        return FALSE;
    }

    if (!m_DownLoadServiceHelper.CreateInstance()) {
        StartupFailed("Create DownLoad Service Error", "DownLoad Service Error");
        return FALSE;
    }
    m_DownLoadServiceHelper->SetDownLoadServiceSink(static_cast<IUnknownEx*>(this));

    // The settings were read first, but their failures are told in the order
    // they always were: after the instance and the engine.
    if (settings.status == StartupStatus::UpdateDisabled) {
        WriteUpdateLog("不需要更新，直接进入大厅了(%d)", settings.nEnableUpdate);
        FinishUpdate();
        return TRUE;
    }
    if (settings.status != StartupStatus::Ready) {
        StartupFailed(settings.strLogLine.c_str(), settings.strMessage.c_str());
        return FALSE;
    }
    WriteUpdateLog("传递进来的参数(%s)", pszCmdLine);

    CHost host(*this);
    CUpdateRun run(m_config, host, m_trustHost, m_expectedFiles);
    int nEngineResult = 0;
    bool bAsked = m_strUpdateSpecificGame.empty()
                      ? run.DownloadLastUpdateXMLFile(nEngineResult)
                      : run.DownloadGameXMLFile(m_strUpdateSpecificGame, nEngineResult);
    if (!bAsked) {
        // The refused value is in the log; there is nothing to wait for.
        StartupFailed(nullptr, nullptr);
        return FALSE;
    }
    return TRUE;
}

void CTalvexDlg::StartupFailed(const char* pszLogLine, const char* pszMessage) {
    if (pszLogLine != nullptr)
        WriteUpdateLog("%s", pszLogLine);
    if (pszMessage != nullptr)
        ShowMessage(pszMessage);
    // Nothing would ever close the dialog: end the program once the box is gone.
    m_nExitCode = kExitStartupFailed;
    m_bRunEnded = true;
    EndDialog(m_hWnd, IDABORT);
}

void CTalvexDlg::ShowMessage(const char* pszText) {
    MessageBoxA(m_hWnd, pszText, kAppTitle, MB_OK);
}

void CTalvexDlg::RequestQuit() {
    if (!m_bRunEnded)
        m_nExitCode = kExitQuitRequest;
    PostQuitMessage(kExitQuitRequest);
    // Ending the dialog as well keeps the outcome independent of how the
    // system's dialog loop treats a quit message.
    m_bRunEnded = true;
    if (m_hWnd != nullptr && IsWindow(m_hWnd))
        EndDialog(m_hWnd, IDABORT);
}

void CTalvexDlg::CloseDialog() {
    if (m_hWnd != nullptr && IsWindow(m_hWnd))
        SendMessageA(m_hWnd, WM_CLOSE, 0, 0);
}

bool CTalvexDlg::IsValid() {
    return true;
}

void CTalvexDlg::Release() {
    // The dialog lives in the start-up routine; the engine only borrows it.
}

void* CTalvexDlg::QueryInterface(const GUID& Guid, DWORD dwQueryVer) {
    if (IsEqualIdentifier(Guid, IID_IDownLoadServiceSink) &&
        InterfaceVersionCompatible(dwQueryVer, VER_IDownLoadServiceSink)) {
        return static_cast<IDownLoadServiceSink*>(this);
    }
    if (IsEqualIdentifier(Guid, IID_IUnknownEx) &&
        InterfaceVersionCompatible(dwQueryVer, VER_IUnknownEx)) {
        return static_cast<IUnknownEx*>(this);
    }
    return nullptr;
}

void CTalvexDlg::OnDownLoadEvent(int nEvent, const DownLoadTask* pTask) {
    try {
        if (m_bRunEnded)
            return;
        CHost host(*this);
        CUpdateRun run(m_config, host, m_trustHost, m_expectedFiles);
        run.OnDownLoadEvent(nEvent, pTask);
    } catch (...) {
        // Only the host's own calls can get here; the engine must not see it.
        WriteUpdateLog("%s", "更新过程出现未知异常");
        RequestQuit();
    }
}

void CTalvexDlg::OnServiceStop() {
    try {
        // A signed manifest whose .sig never arrived is refused as such.
        if (!m_bRunEnded) {
            CHost host(*this);
            CUpdateRun run(m_config, host, m_trustHost, m_expectedFiles);
            if (run.OnServiceStop(m_strUpdateSpecificGame))
                return;
        }
    } catch (...) {
    }
    EngineEnded("下载服务停止，更新未完成");
}

void CTalvexDlg::OnServiceExit() {
    EngineEnded("下载服务退出，更新未完成");
}

void CTalvexDlg::EngineEnded(const char* pszLogLine) {
    try {
        if (!m_bRunEnded) {
            // Ended first, so that a report arriving while the box is open
            // finds the run over and shows no second box.
            m_bRunEnded = true;
            m_nExitCode = kExitEngineStopped;
            WriteUpdateLog("%s", pszLogLine);
            ShowMessage("DownLoad Service Error");
        }
        CloseDialog();
    } catch (...) {
    }
}

void CTalvexDlg::FinishUpdate() {
    DWORD dwError = 0;
    if (PathFileExistsA(kSpecialCopyBat)) {
        WriteUpdateLog("运行bat文件(%s)", kSpecialCopyBat);
        dwError = StartProcess(/*pszProgram=*/nullptr, kSpecialCopyBat);
        if (dwError != 0)
            WriteUpdateLog("运行bat文件失败(%lu)", static_cast<unsigned long>(dwError));
    } else {
        const std::string strProgram = m_config.strProgramFolder + "ZIVGame.exe";
        const std::string strGameFilePathName = strProgram + " -u";
        WriteUpdateLog("运行大厅(%s)", strGameFilePathName.c_str());
        // The program is named on its own as well: in a folder with a blank,
        // the unquoted command line alone would let Windows start
        // "...\<first word>.exe" instead. The plaza's command line is unchanged.
        dwError = StartProcess(strProgram.c_str(), strGameFilePathName);
        if (dwError != 0)
            WriteUpdateLog("运行大厅失败(%lu)", static_cast<unsigned long>(dwError));
    }
    // Nothing was handed over: the exit code must not say it was.
    if (dwError != 0)
        m_nExitCode = kExitNotStarted;
    CloseDialog();
    WriteUpdateLog("更新完成！");
}

bool CTalvexDlg::WriteSpecialCopyBat(const std::vector<NeedUpdateFile>& needUpdateFiles) {
    const std::string strBatFilePathName = m_config.strProgramFolder + kSpecialCopyBat;
    CFileHandle file(CreateFileA(strBatFilePathName.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                 /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    if (!file.IsValid()) {
        const DWORD dwError = GetLastError();
        WriteUpdateLog("SpecialCpy.bat创建失败(%lu)", static_cast<unsigned long>(dwError));
        return false;
    }
    for (const std::string& strText : SpecialCopyBatTexts(needUpdateFiles)) {
        DWORD dwBytesWritten = 0;
        if (!WriteFile(file.Get(), strText.data(), static_cast<DWORD>(strText.size()),
                       &dwBytesWritten, /*lpOverlapped=*/nullptr) ||
            dwBytesWritten != strText.size()) {
            // A batch file cut short could copy files and never start the
            // plaza or delete itself: none at all is better.
            const DWORD dwError = GetLastError();
            file.Reset();
            DeleteFileA(strBatFilePathName.c_str());
            WriteUpdateLog("SpecialCpy.bat写入失败(%lu)", static_cast<unsigned long>(dwError));
            return false;
        }
        WriteUpdateLog("%s", strText.c_str());
    }
    return true;
}

void CTalvexDlg::OpenGame() {
    HWND hPlaza = FindWindowA(kPlazaWindowClass, /*lpWindowName=*/nullptr);
    if (hPlaza != nullptr)
        PostMessageA(hPlaza, WM_UPDATE_FINISHED, 2, 0);
    CloseDialog();
}

void CTalvexDlg::TerminateProcessByName(const char* pszExeName) {
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
        return;
    PROCESSENTRY32 pe32;
    std::memset(&pe32, 0, sizeof(pe32));
    pe32.dwSize = sizeof(pe32);
    const DWORD dwSelf = GetCurrentProcessId();
    for (BOOL bMore = Process32First(snapshot.Get(), &pe32); bMore;
         bMore = Process32Next(snapshot.Get(), &pe32)) {
        // Exact bytes: "zivgame.exe" is not "ZIVGame.exe".
        if (std::strcmp(pszExeName, pe32.szExeFile) != 0 || pe32.th32ProcessID == dwSelf)
            continue;
        CKernelHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pe32.th32ProcessID));
        if (!process.IsValid() || !TerminateProcess(process.Get(), 0))
            continue;
        // Termination is asynchronous: until the process is gone it still
        // maps its executable, and replacing that file would fail.
        if (WaitForSingleObject(process.Get(), kTerminateWaitMs) != WAIT_OBJECT_0)
            WriteUpdateLog("结束进程超时(%s)(%lu)", pszExeName,
                           static_cast<unsigned long>(pe32.th32ProcessID));
    }
}

void CTalvexDlg::WriteUpdateLog(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    talvex::WriteUpdateLogV(pszFormat, args);
    va_end(args);
}
