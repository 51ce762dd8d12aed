#include "filemover/dravikapp.h"

#include <cstring>
#include <vector>

#include "filemover/messages.h"

namespace {

const char kPlazaExe[] = "ZIVGame.exe";
const char kGameCommandTail[] = "\\ZIVGame.exe -u";

// Copy attempts after the first failed one, and the pause after each failed attempt.
const int kCopyRetries = 10;
const unsigned int kCopyRetryPauseMs = 1000;
// Removal attempts after the first failed final removal of a folder.
const int kRemoveRetries = 3;
const unsigned int kRemoveRetryPauseMs = 500;

}  // namespace

CDravikApp::CDravikApp(IDravikPlatform& platform, ICopyLog& log)
    : m_platform(platform), m_log(log) {}

bool CDravikApp::InitInstance() {
    std::string strCurDrt;
    if (!m_platform.GetCurrentDir(strCurDrt) || strCurDrt.empty()) {
        WriteCopyLog(kMsgNoCurrentDirectory);
        return false;
    }
    // A directory too long for the path buffers would be cut or overrun. Cutting it would point
    // the move and the plaza's command line at some other folder, so the run does nothing at
    // all: the running plaza is left alone, since it could not be started again.
    if (strCurDrt.size() + 1 > kCurDrtSize ||
        strCurDrt.size() + std::strlen(kGameCommandTail) + 1 > kGameFilePathNameSize) {
        WriteCopyLog(FormatText(kMsgCurrentDirectoryTooLong, strCurDrt.c_str()));
        return false;
    }

    const std::string srcStr = strCurDrt + "\\DownLoad\\Special";
    const std::string destStr = strCurDrt;

    EndPlazaProcesses();
    CopyAndDeleteFolder(srcStr, destStr);
    StartPlaza(strCurDrt);
    // Logged whether or not the start worked: the start's result has never been looked at.
    WriteCopyLog(kMsgStartPlaza);
    return false;
}

void CDravikApp::EndPlazaProcesses() {
    std::vector<ProcessEntry> processes;
    if (!m_platform.ListProcesses(processes)) {
        return;
    }
    for (const ProcessEntry& process : processes) {
        // Byte-wise: "zivgame.exe" is some other program.
        if (process.strExeFile != kPlazaExe) {
            continue;
        }
        switch (m_platform.EndProcess(process.dwProcessId)) {
            case TerminateResult::kNotOpened:
                break;
            case TerminateResult::kTerminated:
                WriteCopyLog(kMsgPlazaEnded);
                break;
            case TerminateResult::kFailed:
                WriteCopyLog(kMsgPlazaEndFailed);
                break;
        }
    }
}

void CDravikApp::CopyAndDeleteFolder(std::string srcDir, std::string destDir) {
    // The system reads "//" as one separator.
    const std::string szDir = srcDir + "//" + "*.*";
    const std::string str_resSpecialDir = szDir;
    int n = 0;  // operation number, counted per folder level

    if (std::unique_ptr<IFolderSearch> search = m_platform.FindFiles(szDir)) {
        FolderEntry entry;
        while (search->Next(entry)) {
            if (entry.strName == "." || entry.strName == "..") {
                continue;
            }
            if (!entry.bFolder) {
                MoveOneFile(entry, destDir, n);
                continue;
            }
            const std::string& strFolderPath = entry.strPath;
            const std::string exPath = "\\" + entry.strName;
            const std::string exDestPath = destDir + exPath;
            if (!m_platform.IsFolder(exDestPath)) {
                WriteCopyLog(FormatText(kMsgCreateFolder, exDestPath.c_str()));
                // Not checked here: a folder that is missing makes the copies into it fail, and
                // those are retried and logged.
                m_platform.MakeFolder(exDestPath);
            }
            ++n;
            WriteCopyLog(FormatText(kMsgDeleteFolder, srcDir.c_str(), n));
            CopyAndDeleteFolder(strFolderPath, exDestPath);
            // Succeeds only once srcDir is empty, i.e. this was its last entry and it has moved.
            m_platform.RemoveFolder(srcDir);
        }
    }
    // The search is closed before the final removal so that it holds no handle on srcDir.
    RemoveFolderFinally(srcDir, str_resSpecialDir, n);
}

void CDravikApp::MoveOneFile(const FolderEntry& entry, const std::string& destDir, int& n) {
    const std::string& strFileName = entry.strName;
    const std::string& strFilePath = entry.strPath;
    const std::string strNewFilePath = destDir + "//" + strFileName;

    // The staged file lies on the installation's volume and the engine made it durable: moved
    // over the installed one, the installed file is the old or the new, even after a power loss,
    // where a copy in place could leave it cut with nothing staged to finish from. The log still
    // speaks of copying and deleting, as support staff search for those words.
    std::string strMessage;
    const bool bMoved = m_platform.MoveFileOver(strFilePath, strNewFilePath);
    ++n;
    if (bMoved) {
        strMessage =
            FormatText(kMsgCopiedAndDeleted, n, strFilePath.c_str(), strNewFilePath.c_str());
    } else {
        // The first failure is usually a plaza that is still going away after its termination.
        for (int nRetry = 0; nRetry < kCopyRetries; ++nRetry) {
            const bool bRetryMoved = m_platform.MoveFileOver(strFilePath, strNewFilePath);
            ++n;
            if (bRetryMoved) {
                strMessage = FormatText(kMsgCopiedAndDeleted, n, strFilePath.c_str(),
                                        strNewFilePath.c_str());
                WriteCopyLog(strMessage);
                break;
            }
            strMessage = FormatText(kMsgCopyFailed, n, strFilePath.c_str(), strNewFilePath.c_str());
            WriteCopyLog(strMessage);
            m_platform.Pause(kCopyRetryPauseMs);
        }
    }
    // After retries this repeats the last retry's entry; log readers count on that.
    WriteCopyLog(strMessage);
}

void CDravikApp::RemoveFolderFinally(const std::string& srcDir,
                                     const std::string& str_resSpecialDir, int& n) {
    if (!m_platform.FindFiles(str_resSpecialDir)) {
        return;  // already removed, or never there
    }
    ++n;
    if (m_platform.RemoveFolder(srcDir)) {
        WriteCopyLog(FormatText(kMsgFinallyRemoved, srcDir.c_str(), n));
        return;
    }
    for (int nRetry = 0; nRetry < kRemoveRetries; ++nRetry) {
        const bool bRemoved = m_platform.RemoveFolder(srcDir);
        ++n;
        if (bRemoved) {
            WriteCopyLog(FormatText(kMsgFinallyRemoved, srcDir.c_str(), n));
            return;
        }
        ++m_nFailedRemovals;
        WriteCopyLog(FormatText(kMsgFinalRemoveFailed, srcDir.c_str(), m_nFailedRemovals));
        m_platform.Pause(kRemoveRetryPauseMs);
    }
}

bool CDravikApp::StartPlaza(const std::string& strCurDrt) {
    const std::string gameFilePathName = strCurDrt + kGameCommandTail;
    if (gameFilePathName.size() + 1 > kGameFilePathNameSize) {
        return false;
    }
    // The program is named on its own as well, so that an unquoted path with spaces cannot
    // start "C:\Program.exe" instead; the command line the plaza sees stays as it always was.
    return m_platform.StartProgram(strCurDrt + "\\" + kPlazaExe, gameFilePathName);
}
