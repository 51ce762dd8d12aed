// The updater's application object: its start-up runs the hidden update
// dialog modally and ends the program when the dialog's run is over.
#pragma once

#include <windows.h>

class CTalvexApp {
public:
    explicit CTalvexApp(HINSTANCE hInstance);

    // Runs the whole program. Returns FALSE: there is no message loop after
    // the dialog; the process ends with GetExitCode().
    BOOL InitInstance();
    int GetExitCode() const { return m_nExitCode; }

private:
    HINSTANCE m_hInstance;
    int m_nExitCode = 0;
};
