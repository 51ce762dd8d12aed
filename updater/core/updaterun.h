// One update run as the engine's reports drive it: asking for a manifest,
// deciding which files differ, sending the batch, and recognising the last
// file. Everything the run does to the world goes through IUpdateHost, which
// the dialog implements with Windows calls and the tests with a recorder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/downloadservice.h"
#include "updater/core/filerule.h"
#include "updater/core/manifest.h"
#include "updater/core/manifesttrust.h"
#include "updater/core/plazainfo.h"
#include "updater/core/requests.h"

class IUpdateHost {
public:
    virtual ~IUpdateHost() = default;
    // One line in the updater log, already formatted.
    virtual void Log(const std::string& strLine) = 0;
    // A modal message box with the application's caption; returns when dismissed.
    virtual void ShowMessage(const std::string& strText) = 0;
    // Ends the dialog's modal run with exit code 1.
    virtual void PostQuit() = 0;
    // Ends every running process whose executable file name equals strExeName
    // byte for byte.
    virtual void TerminateProcessByName(const std::string& strExeName) = 0;
    virtual bool FileExists(const std::string& strPath) = 0;
    virtual IFileProbe& Probe() = 0;
    // Tells the engine, when it offers that (IDownLoadExpect), the size and
    // SHA-256 a signed manifest gives a file of the next batch, so that it
    // refuses a wrong file before it replaces anything; false when it does
    // not offer it, and the run then checks the fetched files itself.
    virtual bool ExpectFile(const DownLoadRequest& request, std::uint64_t qwSize,
                            const std::string& strSha256) = 0;
    // The engine's command operation; requests are copied before it returns.
    virtual int DownLoadCommand(int nCommandCode, const DownLoadRequest* pFirst,
                                const DownLoadRequestList* pOthers) = 0;
    // False when the batch file could not be written whole; then none is left.
    virtual bool WriteSpecialCopyBat(const std::vector<NeedUpdateFile>& files) = 0;
    // Hand-over after a plaza update: runs SpecialCpy.bat or the plaza, closes the dialog.
    virtual void FinishUpdate() = 0;
    // Hand-over after a game update: tells the plaza's window, closes the dialog.
    virtual void OpenGame() = 0;
};

// A file of a signed run's batch and the SHA-256 its verified manifest gives
// it: MD5, which the engine checks, is no proof against a colliding twin.
struct ExpectedFile {
    std::string strName;    // the manifest's name of the file, for the log
    std::string strPath;    // where the engine saves it: szSaveDir, "\", szSaveName
    std::string strSha256;  // as the manifest writes it
    // The engine was told the SHA-256 and refuses a file that differs before
    // its move: the run need not read it again.
    bool bEngineChecks = false;
};
typedef std::vector<ExpectedFile> ExpectedFiles;

// The run keeps no state between reports beyond the configuration and, when
// signed, the files its batch must bring: which step comes next is read from
// the command code and the counters that come back with each task. Used on
// the dialog's thread only. The configuration is copied; the host, trust
// (which serves the checks of signed manifests) and expected (which holds a
// signed batch from its sending to its last report: a CUpdateRun lasts one
// report, so its owner keeps the list for the whole run) must outlive it.
class CUpdateRun {
public:
    CUpdateRun(const UpdaterConfig& config, IUpdateHost& host, IManifestTrustHost& trust,
               ExpectedFiles& expected)
        : m_config(config), m_host(host), m_trust(trust), m_expected(expected) {}

    CUpdateRun(const CUpdateRun&) = delete;
    CUpdateRun& operator=(const CUpdateRun&) = delete;

    // Ask for the plaza manifest (command 2) or one game's manifest (command
    // 5). False, with a log line, a message box and nothing sent, when a
    // value does not fit its request field or the game name is unusable;
    // nEngineResult is then 0. The caller ends the program.
    bool DownloadLastUpdateXMLFile(int& nEngineResult);
    bool DownloadGameXMLFile(const std::string& strGameName, int& nEngineResult);

    // The engine's report. Only event 3 (a request finished) with task
    // command 2, 5 or 3 does anything. Exceptions from the manifest's
    // reading and comparison are caught and end the run through PostQuit;
    // the host's own calls are expected not to throw.
    void OnDownLoadEvent(int nEvent, const DownLoadTask* pTask);

    // The engine gave up a batch. With a public key, a manifest whose .sig
    // never arrived is refused like one that fails its check, and true is
    // returned; otherwise false, and the caller ends the run as it always has.
    // strGameName is the game being updated, empty for the plaza.
    bool OnServiceStop(const std::string& strGameName);

private:
    // Everything that tells the plaza's manifest and a game's apart.
    struct Kind {
        bool bPlaza = true;
        bool bNameSafe = true;  // a game's name passes the name rule
        int nManifestCommand = DOWNLOAD_CMD_PLAZA_XML;
        std::string strGame;    // empty for the plaza
        std::string strName;    // the manifest's own name, as signed and recorded
        std::string strPath;    // where the engine saves it
        std::string strOwnExe;  // what an accepted manifest ends first
        // Each failure's box and log line. A refusal's log line is
        // strRefusedLog followed by the problem found, if any.
        std::string strRefusedBox;
        std::string strRefusedLog;
        std::string strUnsafeLog;
        std::string strMissingLog;
        std::string strMissingBox;
        std::string strGarbledLog;  // the root's first node is text
        std::string strGarbledBox;
        std::string strBroken;  // an exception while it was read: line and box
    };
    // The plaza's manifest (bGame false) or strGame's, with all its texts.
    Kind KindOf(bool bGame, const std::string& strGame) const;

    bool AskForManifest(const Kind& kind, int& nEngineResult);
    void Decide(const Kind& kind, const DownLoadTask& task);
    // Ends the kind's own process (the plaza or the game) and the installed
    // games only once the manifest has been read and every entry accepted.
    // A signed manifest is read from pVerifiedText, the bytes that were
    // verified. entries holds the manifest entry of each of files (its
    // SHA-256 is empty when unsigned).
    ManifestStatus ReadAndCompare(const Kind& kind, Manifest& manifest,
                                  std::vector<NeedUpdateFile>& files,
                                  std::vector<ManifestFileEntry>& entries, std::string& strProblem,
                                  const std::string* pVerifiedText);
    // Signed plaza runs: staged files that the accepted manifest does not
    // name as special with their SHA-256 are removed with the batch file.
    void DropStaleStaging(const Manifest& manifest);
    // Signed manifests: sends the manifest with its .sig, and checks them.
    bool SendSigned(int nCommandCode, DownLoadRequest& req, const std::string& strSavedPath,
                    int& nEngineResult);
    bool AdmitSigned(const Kind& kind, std::string& strText);
    // The files of the batch, or straight to the hand-over when none differ.
    void SendBatch(const Kind& kind, const std::vector<NeedUpdateFile>& files,
                   const std::vector<ManifestFileEntry>& entries, const DownLoadTask& task);
    // A signed run notes what each request must bring before the batch goes out.
    void RememberExpected(const std::vector<DownLoadRequest>& requests,
                          const std::vector<ManifestFileEntry>& entries);
    void CheckCompletion(const DownLoadTask& task);
    // Signed runs: removes every fetched file whose SHA-256 differs and
    // installs a fetched plaza information file; false, with the line and
    // the box, when a file differed or that file was refused.
    bool FetchedFilesMatch(const Kind& kind);
    // Signed runs: installs the plaza information file fetched to strFetched
    // over the trusted one only when it can be read and names a key; false
    // with the log line in strProblem otherwise. The fetched file is removed
    // either way.
    bool AdoptPlazaInfo(const std::string& strFetched, std::string& strProblem);
    void Fail(const std::string& strLogLine, const std::string& strMessage);
    // The log line and the box of a failure, without the quit request.
    void Refuse(const std::string& strLogLine, const std::string& strMessage);
    // Fills every request of the batch, or logs why one cannot be and returns false.
    bool FillBatch(const std::vector<NeedUpdateFile>& files, const char* pszGameName,
                   unsigned char bForGame, std::vector<DownLoadRequest>& requests);
    void CompareFiles(const Manifest& manifest, std::vector<NeedUpdateFile>& files,
                      std::vector<ManifestFileEntry>& entries);
    bool EntriesFit(const Manifest& manifest, std::string& strProblem);

    const UpdaterConfig m_config;
    IUpdateHost& m_host;
    IManifestTrustHost& m_trust;
    ExpectedFiles& m_expected;
};
