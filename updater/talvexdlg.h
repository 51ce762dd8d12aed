// The updater's hidden dialog: it carries one update run from start-up to the
// hand-over. Its window hides itself on every frame paint, so the user only
// ever sees message boxes; the download engine reports to it through the sink
// on the dialog's own thread.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "engine/downloadservice.h"
#include "updater/core/requests.h"
#include "updater/core/updaterun.h"
#include "updater/trusthost.h"
#include "templates/winhandle.h"

// Exit codes of Talvex.exe (listed in the README as well).
enum TalvexExitCode {
    kExitHandedOver = 0,     // plaza or game handed over, or updating disabled
    kExitQuitRequest = 1,    // a manifest could not be used (message box shown)
    kExitStartupFailed = 2,  // engine, plaza information or a configured value unusable
    kExitEngineStopped = 3,  // the engine ended the run before the hand-over
    kExitNoDialog = 4,       // the dialog could not be created: nothing ran
    kExitDialogCommand = 5,  // an OK or Cancel command ended the run before the hand-over
    kExitNotStarted = 6,     // the hand-over could not start the plaza or SpecialCpy.bat
};

class CTalvexDlg : public IDownLoadServiceSink {
public:
    typedef ::NeedUpdateFile NeedUpdateFile;

    // hInstance holds the resources (templates 100 and 102, icon 128, string 101).
    explicit CTalvexDlg(HINSTANCE hInstance, HWND hParent = nullptr);
    // Releases the engine, then frees its library.
    virtual ~CTalvexDlg();

    CTalvexDlg(const CTalvexDlg&) = delete;
    CTalvexDlg& operator=(const CTalvexDlg&) = delete;

    // Runs the dialog modally on template 102; returns when the run ends (close
    // message, quit request, or a start-up failure once its box is dismissed).
    INT_PTR DoModal();
    int GetExitCode() const { return m_nExitCode; }

    // IUnknownEx and IDownLoadServiceSink. The dialog is not heap-allocated:
    // Release does nothing. Every entry catches everything.
    bool IsValid() override;
    void Release() override;
    void* QueryInterface(const GUID& Guid, DWORD dwQueryVer) override;
    void OnDownLoadEvent(int nEvent, const DownLoadTask* pTask) override;
    void OnServiceStop() override;
    void OnServiceExit() override;

    // The run's operations on the world.
    void FinishUpdate();
    bool WriteSpecialCopyBat(const std::vector<NeedUpdateFile>& needUpdateFiles);
    void OpenGame();
    void TerminateProcessByName(const char* pszExeName);
    void WriteUpdateLog(const char* pszFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(gnu_printf, 2, 3)))
#endif
        ;

private:
    class CHost;

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK AboutProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog();
    void OnSysCommand(WPARAM nID, LPARAM lParam);
    void OnPaint();
    void StartupFailed(const char* pszLogLine, const char* pszMessage);
    // The engine gave up or shut down: before the hand-over that is a failure
    // the player must be told of; afterwards it only closes the dialog.
    void EngineEnded(const char* pszLogLine);
    void ShowMessage(const char* pszText);
    void RequestQuit();
    void CloseDialog();

    HINSTANCE m_hInstance;
    HWND m_hParent;
    HWND m_hWnd = nullptr;
    int m_nExitCode = kExitHandedOver;
    bool m_bRunEnded = false;

public:
    HICON m_hIcon;

private:
    CDownLoadServiceHelper m_DownLoadServiceHelper;
    // Held for the whole run: one updater per installation folder.
    CKernelHandle m_instanceMutex;
    // The start-up settings (ReadStartup): the folder from the start, the
    // servers and keys once the run asks for a manifest.
    UpdaterConfig m_config;
    // Signed manifests: the game of this run (empty: the plaza), the checks'
    // view of the world, and the files the batch must bring, from its sending
    // to its last report.
    std::string m_strUpdateSpecificGame;
    CWinTrustHost m_trustHost;
    ExpectedFiles m_expectedFiles;
};
