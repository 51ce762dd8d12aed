// Dravik.exe: no window, no message box, no command line. Started by the updater's hand-over
// with the plaza's installation folder as its current directory.

#include <windows.h>

#include "filemover/copylog.h"
#include "filemover/dravikapp.h"
#include "filemover/winplatform.h"

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nShowCmd*/) {
    // Nobody is there to answer a critical-error box (a drive not ready, a missing DLL of a
    // copied file): such errors fail the call, which is logged, instead. The plaza is started
    // with the default error mode again.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    try {
        // The application object lives on this stack rather than as a global, so that the
        // platform and the log it borrows plainly outlive it.
        CWinDravikPlatform platform;
        CCopyLog log;
        CDravikApp theApp(platform, log);
        theApp.InitInstance();
    } catch (...) {
        // Nothing can be reported without a window; the plaza's own start is all that is lost.
    }
    return 0;
}
