#pragma once
// Dravik finishes an update whose files cannot be replaced while the plaza runs: it ends every
// running plaza, moves the tree waiting under DownLoad\Special into the installation folder
// (its current directory), starts the plaza again with "-u" and ends. Everything it does or fails
// to do goes to the copy log; nothing stops the run.

#include <cstddef>
#include <string>

#include "filemover/copylog.h"
#include "filemover/platform.h"

// The fixed buffers the installation's paths have always been held in; a current directory that
// does not fit them is refused instead of being cut.
constexpr std::size_t kCurDrtSize = 500;
constexpr std::size_t kGameFilePathNameSize = 300;

class CDravikApp {
public:
    // platform and log must outlive the application object. One thread only.
    CDravikApp(IDravikPlatform& platform, ICopyLog& log);
    CDravikApp(const CDravikApp&) = delete;
    CDravikApp& operator=(const CDravikApp&) = delete;

    // The whole run. Returns false, always: there is no message loop to run afterwards.
    bool InitInstance();

    // Ends every process whose executable is exactly "ZIVGame.exe" (letter case included).
    void EndPlazaProcesses();

    // Moves the content of srcDir into destDir (neither with a trailing separator): files are
    // moved over the installed ones, subfolders moved the same way, and srcDir is removed once
    // empty. Failures are logged and passed over.
    void CopyAndDeleteFolder(std::string srcDir, std::string destDir);

    // Starts "<strCurDrt>\ZIVGame.exe -u"; false if it was not started.
    bool StartPlaza(const std::string& strCurDrt);

    // Failed final folder removals of the whole run.
    int GetFailedRemovals() const { return m_nFailedRemovals; }

private:
    void WriteCopyLog(const std::string& message) { m_log.WriteCopyLog(message); }
    void MoveOneFile(const FolderEntry& entry, const std::string& destDir, int& n);
    void RemoveFolderFinally(const std::string& srcDir, const std::string& str_resSpecialDir,
                             int& n);

    IDravikPlatform& m_platform;
    ICopyLog& m_log;
    int m_nFailedRemovals = 0;
};
