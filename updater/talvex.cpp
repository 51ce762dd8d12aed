#include "updater/talvex.h"

#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>

#include "updater/talvexdlg.h"

CTalvexApp::CTalvexApp(HINSTANCE hInstance) : m_hInstance(hInstance) {}

BOOL CTalvexApp::InitInstance() {
    // Restart by the restart manager, restart only; no command line of its own.
    RegisterApplicationRestart(nullptr, 0);
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&icc);
    // The common start-up of the suite's windowed programs; Talvex draws nothing with it.
    Gdiplus::GdiplusStartupInput gdiplusStartupInput;
    ULONG_PTR gdiplusToken = 0;
    const bool bGdiplus =
        Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusStartupInput, nullptr) == Gdiplus::Ok;

    // Leaving this scope destroys the dialog: the engine is released and its
    // library freed before the process ends.
    {
        CTalvexDlg dlg(m_hInstance);
        dlg.DoModal();
        m_nExitCode = dlg.GetExitCode();
    }
    if (bGdiplus)
        Gdiplus::GdiplusShutdown(gdiplusToken);
    return FALSE;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    try {
        CTalvexApp app(hInstance);
        app.InitInstance();
        return app.GetExitCode();
    } catch (...) {
        return kExitStartupFailed;
    }
}
