#include "updater/core/updaterun.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

#include "names/safename.h"

#include "updater/core/cp936text.h"
#include "updater/core/manifest.h"
#include "updater/core/startup.h"

namespace {

// The size a manifest gives a file: its low 32 bits in signed decimal, so
// "-1073741824" is 3 GiB; the engine takes no file of 4 GiB or more, so
// these bits name the size. Unknown when the text is no such number.
std::uint64_t ExpectedSize(const std::string& strBytes) {
    char* pEnd = nullptr;
    const long long llValue = std::strtoll(strBytes.c_str(), &pEnd, 10);
    if (strBytes.empty() || *pEnd != '\0' || llValue < INT32_MIN || llValue > INT32_MAX)
        return kDownLoadSizeUnknown;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(llValue));
}

const char kPlazaExe[] = "ZIVGame.exe";

NeedUpdateFile MakeNeedUpdateFile(const ManifestFileEntry& entry) {
    NeedUpdateFile file;
    std::memset(&file, 0, sizeof(file));
    // The manifest reader refused names and digests that do not fit.
    CopyWhole(file.fileName, sizeof(file.fileName), entry.strName);
    CopyWhole(file.fileDate, sizeof(file.fileDate), entry.strDate);
    file.isSpecial = entry.nIsSpecial;
    return file;
}

// Digest texts compare without regard to case; the platform writes lower case.
std::string Lowered(std::string strText) {
    for (char& c : strText)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return strText;
}

std::string TaskGameName(const DownLoadTask& task) {
    const char* pszName = task.Request.szGameName;
    return std::string(pszName, strnlen(pszName, sizeof(task.Request.szGameName)));
}

// The log line of one request of a batch of nCount.
std::string RequestLine(bool bPlaza, int nCount, const DownLoadRequest& req) {
    if (bPlaza)
        return FormatText("updatefile(%d)%s(%s)", nCount, req.szUrl, req.szUrlReserve);
    if (nCount == 1)
        return FormatText("单个游戏更新:%s(%s)", req.szUrl, req.szUrlReserve);
    return FormatText("多个游戏文件更新:(%d)%s(%s)", nCount, req.szUrl, req.szUrlReserve);
}

}  // namespace

// The one place where the run's texts about a manifest are built.
CUpdateRun::Kind CUpdateRun::KindOf(bool bGame, const std::string& strGame) const {
    Kind kind;
    kind.bPlaza = !bGame;
    kind.strGame = strGame;
    if (kind.bPlaza) {
        kind.strName = kPlazaManifestName;
        kind.strPath = PlazaManifestPath(m_config);
        kind.strOwnExe = kPlazaExe;
        kind.strRefusedBox = "LastUpdateFiles.xml出错！";
        kind.strMissingLog =
            FormatText("LastUpdateFiles.xml文件不存在！(%s)", kind.strPath.c_str());
        kind.strMissingBox = "LastUpdateFiles.xml文件不存在！";
        kind.strGarbledLog = "网络下载LastUpdateFiles.xml出错！(无法解释xml文件)";
        kind.strGarbledBox = "网络下载LastUpdateFiles.xml出错！";
        kind.strBroken = "操作LastUpdateFiles.xml出错！";
        return kind;
    }
    kind.bNameSafe = IsSafeGameName(strGame);
    kind.nManifestCommand = DOWNLOAD_CMD_GAME_XML;
    kind.strName = strGame + kGameManifestSuffix;
    kind.strPath = GameManifestPath(m_config, strGame);
    kind.strOwnExe = strGame + ".exe";
    kind.strRefusedBox = "打开" + kind.strPath + "出错！";
    kind.strRefusedLog = kind.strRefusedBox;
    kind.strUnsafeLog = FormatText("游戏名称无效，拒绝更新(%s)", strGame.c_str());
    kind.strMissingBox = kind.strPath + "文件不存在！";
    kind.strMissingLog = FormatText("单个游戏更新(%s)", kind.strMissingBox.c_str());
    kind.strGarbledLog = "网络下载" + kind.strPath + "出错！";
    kind.strGarbledBox = kind.strPath;
    kind.strBroken = "操作" + kind.strPath + "出错！";
    return kind;
}

bool CUpdateRun::DownloadLastUpdateXMLFile(int& nEngineResult) {
    m_host.Log("DownloadLastUpdateXMLFile start ...");
    return AskForManifest(KindOf(false, ""), nEngineResult);
}

bool CUpdateRun::DownloadGameXMLFile(const std::string& strGameName, int& nEngineResult) {
    return AskForManifest(KindOf(true, strGameName), nEngineResult);
}

bool CUpdateRun::AskForManifest(const Kind& kind, int& nEngineResult) {
    nEngineResult = 0;
    DownLoadRequest req;
    std::string strProblem = kind.strUnsafeLog;
    if (!kind.bNameSafe ||
        !(kind.bPlaza ? FillPlazaManifestRequest(m_config, req, strProblem)
                      : FillGameManifestRequest(m_config, kind.strGame, req, strProblem))) {
        Refuse(strProblem, kind.strRefusedBox);
        return false;
    }
    if (kind.bPlaza)
        m_host.Log(FormatText("%s(%s)", req.szUrl, req.szUrlReserve));
    if (!m_config.strPublicKey.empty())
        return SendSigned(kind.nManifestCommand, req, kind.strPath, nEngineResult);
    nEngineResult = m_host.DownLoadCommand(kind.nManifestCommand, &req, nullptr);
    return true;
}

bool CUpdateRun::SendSigned(int nCommandCode, DownLoadRequest& req, const std::string& strSavedPath,
                            int& nEngineResult) {
    DownLoadRequest sigReq;
    std::string strProblem = "更新列表签名无法验证";
    if (!FillSignatureRequest(req, sigReq, strProblem)) {
        m_host.Log(strProblem);
        return false;
    }
    // A .sig left by an earlier run must not stand in for one that never
    // arrives: its absence is how a failed batch is told apart (OnServiceStop).
    m_trust.RemoveFile(strSavedPath + kSignatureSuffix);
    m_host.Log(FormatText("%s(%s)", sigReq.szUrl, sigReq.szUrlReserve));
    DownLoadRequestList others(1, sigReq);
    nEngineResult = m_host.DownLoadCommand(nCommandCode, &req, &others);
    return true;
}

bool CUpdateRun::AdmitSigned(const Kind& kind, std::string& strText) {
    std::string strLogLine;
    if (AdmitManifest(m_config, kind.strName, kind.strPath, m_trust, strText, strLogLine) ==
        TrustVerdict::Accepted) {
        m_host.Log(strLogLine);
        return true;
    }
    Fail(strLogLine, kind.strRefusedBox);
    return false;
}

bool CUpdateRun::OnServiceStop(const std::string& strGameName) {
    if (m_config.strPublicKey.empty())
        return false;
    const Kind kind = KindOf(!strGameName.empty(), strGameName);
    // The .sig of this run arrived: the batch that failed was another (or the
    // manifest itself), and the run ends as it always has.
    if (m_host.FileExists(kind.strPath + kSignatureSuffix))
        return false;
    Fail(FormatText("更新列表签名验证失败(%s)：缺少签名文件", kind.strName.c_str()),
         kind.strRefusedBox);
    return true;
}

void CUpdateRun::OnDownLoadEvent(int nEvent, const DownLoadTask* pTask) {
    if (nEvent != DOWNLOAD_EVENT_FINISHED || pTask == nullptr)
        return;
    // A signed manifest comes in a batch with its .sig: the decision waits
    // for the batch's last report.
    if (!m_config.strPublicKey.empty() && pTask->nCommandCode != DOWNLOAD_CMD_FILES &&
        static_cast<unsigned long long>(pTask->dwBatchIndex) + 1 < pTask->dwBatchCount) {
        return;
    }
    if (pTask->nCommandCode == DOWNLOAD_CMD_PLAZA_XML) {
        Decide(KindOf(false, ""), *pTask);
    } else if (pTask->nCommandCode == DOWNLOAD_CMD_GAME_XML) {
        Decide(KindOf(true, TaskGameName(*pTask)), *pTask);
    } else if (pTask->nCommandCode == DOWNLOAD_CMD_FILES) {
        CheckCompletion(*pTask);
    }
}

void CUpdateRun::Refuse(const std::string& strLogLine, const std::string& strMessage) {
    m_host.Log(strLogLine);
    m_host.ShowMessage(strMessage);
}

void CUpdateRun::Fail(const std::string& strLogLine, const std::string& strMessage) {
    if (!strLogLine.empty())
        m_host.Log(strLogLine);
    m_host.ShowMessage(strMessage);
    m_host.PostQuit();
}

bool CUpdateRun::EntriesFit(const Manifest& manifest, std::string& strProblem) {
    // Addresses and save paths grow with the configured folder and servers:
    // a name that fits its own field may still not fit a request.
    for (const ManifestFileEntry& entry : manifest.files) {
        DownLoadRequest req;
        // The local path needs no check of its own: it is never longer than
        // the save path (the same one for an ordinary file), refused at 260.
        if (!FillFileRequest(m_config, MakeNeedUpdateFile(entry), 1, 0, "", 0, req, strProblem)) {
            return false;
        }
    }
    return true;
}

void CUpdateRun::CompareFiles(const Manifest& manifest, std::vector<NeedUpdateFile>& files,
                              std::vector<ManifestFileEntry>& entries) {
    std::vector<std::string> localPaths;
    localPaths.reserve(manifest.files.size());
    for (const ManifestFileEntry& entry : manifest.files)
        localPaths.push_back(LocalFilePath(m_config, entry.strName));
    const std::vector<bool> needs = FilesNeedingUpdate(manifest.files, localPaths, m_host.Probe());
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        if (needs[i]) {
            files.push_back(MakeNeedUpdateFile(manifest.files[i]));
            // Signed, the updater installs that file itself once it has read
            // it: no batch file may move it, whatever the manifest says.
            if (!m_config.strPublicKey.empty() && IsPlazaInfoEntry(manifest.files[i].strName))
                files.back().isSpecial = 0;
            entries.push_back(manifest.files[i]);
        }
    }
}

ManifestStatus CUpdateRun::ReadAndCompare(const Kind& kind, Manifest& manifest,
                                          std::vector<NeedUpdateFile>& files,
                                          std::vector<ManifestFileEntry>& entries,
                                          std::string& strProblem,
                                          const std::string* pVerifiedText) {
    // A signed manifest is read from the bytes that were verified, never
    // from the file again.
    const ManifestStatus status =
        pVerifiedText != nullptr
            ? ParseManifest(pVerifiedText->c_str(), kind.bPlaza, manifest, strProblem)
            : ReadManifest(kind.strPath, kind.bPlaza, manifest, strProblem);
    if (status != ManifestStatus::Ok)
        return status;
    // The signature covers each file only through its SHA-256.
    for (const ManifestFileEntry& entry : manifest.files) {
        if (pVerifiedText != nullptr && !IsSha256Text(entry.strSha256)) {
            strProblem = FormatText("更新列表文件SHA-256校验码无效(%s)(%s)", entry.strName.c_str(),
                                    entry.strSha256.c_str());
            return ManifestStatus::Refused;
        }
    }
    if (!EntriesFit(manifest, strProblem))
        return ManifestStatus::Refused;
    // Only a manifest that will be acted on ends anything: a refused one
    // leaves the player's plaza or game running.
    m_host.TerminateProcessByName(kind.strOwnExe);
    for (const std::string& strGame : manifest.skippedGames)
        m_host.Log(FormatText("更新列表游戏名称无效，跳过(%s)", strGame.c_str()));
    // Only the plaza manifest has games: the installed ones are ended
    // before their files are compared.
    for (const std::string& strGame : manifest.games) {
        const std::string strExe = strGame + ".exe";
        if (m_host.FileExists(m_config.strProgramFolder + strExe)) {
            m_host.TerminateProcessByName(strExe);
        }
    }
    CompareFiles(manifest, files, entries);
    return ManifestStatus::Ok;
}

void CUpdateRun::Decide(const Kind& kind, const DownLoadTask& task) {
    if (!kind.bNameSafe) {
        Fail(kind.strUnsafeLog, kind.strRefusedBox);
        return;
    }
    if (!m_host.FileExists(kind.strPath)) {
        Fail(kind.strMissingLog, kind.strMissingBox);
        return;
    }
    // A manifest that fails its signature ends nothing: the check comes first.
    std::string strVerified;
    const bool bSigned = !m_config.strPublicKey.empty();
    if (bSigned && !AdmitSigned(kind, strVerified))
        return;
    Manifest manifest;
    std::vector<NeedUpdateFile> files;
    std::vector<ManifestFileEntry> entries;
    std::string strProblem;
    // From loading the document to the end of the file loop, anything
    // thrown ends the decision as one failure.
    ManifestStatus status;
    try {
        status = ReadAndCompare(kind, manifest, files, entries, strProblem,
                                bSigned ? &strVerified : nullptr);
    } catch (...) {
        Fail(kind.strBroken, kind.strBroken);
        return;
    }
    switch (status) {
        case ManifestStatus::Ok:
            if (bSigned && kind.bPlaza)
                DropStaleStaging(manifest);
            SendBatch(kind, files, entries, task);
            return;
        case ManifestStatus::LoadFailed:
            Fail(kind.strRefusedLog, kind.strRefusedBox);
            return;
        case ManifestStatus::Refused:
            Fail(kind.strRefusedLog + strProblem, kind.strRefusedBox);
            return;
        case ManifestStatus::RootTextFirst:
            Fail(kind.strGarbledLog, kind.strGarbledBox);
            return;
    }
}

bool CUpdateRun::FillBatch(const std::vector<NeedUpdateFile>& files, const char* pszGameName,
                           unsigned char bForGame, std::vector<DownLoadRequest>& requests) {
    const int nCount = static_cast<int>(files.size());
    requests.assign(files.size(), DownLoadRequest());
    for (int i = 0; i < nCount; ++i) {
        std::string strProblem;
        if (!FillFileRequest(m_config, files[i], nCount, i, pszGameName, bForGame, requests[i],
                             strProblem)) {
            m_host.Log(strProblem);
            return false;
        }
    }
    return true;
}

void CUpdateRun::DropStaleStaging(const Manifest& manifest) {
    // A batch file left by a cut run still runs at this run's hand-over: that
    // is how an interrupted special-file update completes. It may move only
    // what the manifest accepted now names, or a file a later release
    // withdrew would be installed all the same.
    const std::string strStaging = m_config.strProgramFolder + "DownLoad\\Special";
    std::vector<std::string> staged;
    const bool bListed = m_trust.ListFiles(strStaging, staged);
    std::map<std::string, std::string> special;  // name as Windows compares it -> SHA-256
    for (const ManifestFileEntry& entry : manifest.files) {
        if (entry.nIsSpecial != 0)
            special[names::NameKey(entry.strName.substr(1))] = Lowered(entry.strSha256);
    }
    bool bStale = !bListed;
    for (const std::string& strFile : staged) {
        auto it = special.find(names::NameKey(strFile));
        if (it == special.end() || m_trust.FileSha256(strStaging + "\\" + strFile) != it->second)
            bStale = true;
    }
    if (!bStale)
        return;
    for (const std::string& strFile : staged)
        m_trust.RemoveFile(strStaging + "\\" + strFile);
    m_trust.RemoveFile(m_config.strProgramFolder + "SpecialCpy.bat");
    m_host.Log(FormatText("删除上次未完成的特殊文件和SpecialCpy.bat(%d)",
                          static_cast<int>(staged.size())));
}

void CUpdateRun::RememberExpected(const std::vector<DownLoadRequest>& requests,
                                  const std::vector<ManifestFileEntry>& entries) {
    if (m_config.strPublicKey.empty())
        return;
    m_expected.clear();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const DownLoadRequest& req = requests[i];
        // An engine that checks refuses a wrong file before it replaces the
        // installed one; reading the file again would only cost time.
        const bool bEngineChecks =
            m_host.ExpectFile(req, ExpectedSize(entries[i].strBytes), entries[i].strSha256);
        m_expected.push_back({req.szFileName, std::string(req.szSaveDir) + "\\" + req.szSaveName,
                              entries[i].strSha256, bEngineChecks});
    }
}

void CUpdateRun::SendBatch(const Kind& kind, const std::vector<NeedUpdateFile>& files,
                           const std::vector<ManifestFileEntry>& entries,
                           const DownLoadTask& task) {
    const int nCount = static_cast<int>(files.size());
    if (nCount == 0) {
        if (kind.bPlaza)
            m_host.Log(FormatText("没有需要更新的文件(%d)", nCount));
        m_host.DownLoadCommand(DOWNLOAD_CMD_NOTHING, nullptr, nullptr);
        kind.bPlaza ? m_host.FinishUpdate() : m_host.OpenGame();
        return;
    }
    // Every request is filled before anything is written or sent, so a value
    // that does not fit leaves no batch file and no half-sent batch behind.
    std::vector<DownLoadRequest> requests;
    if (!FillBatch(files, kind.strGame.c_str(), kind.bPlaza ? 0 : task.Request.bForGame,
                   requests)) {
        Fail(kind.strRefusedLog, kind.strRefusedBox);
        return;
    }
    RememberExpected(requests, entries);
    bool bHasSpecial = false;
    for (const NeedUpdateFile& file : files) {
        if (kind.bPlaza && file.isSpecial != 0)
            bHasSpecial = true;
    }
    // Without its batch file the special files would wait in DownLoad\Special
    // for ever beside the new plaza: nothing is fetched then.
    auto writeBat = [&] {
        if (!bHasSpecial || m_host.WriteSpecialCopyBat(files))
            return true;
        Fail("", "SpecialCpy.bat创建失败！");
        return false;
    };
    if (nCount == 1 && !writeBat())
        return;
    DownLoadRequestList others;
    for (int i = 0; i < nCount; ++i) {
        // Special files do not belong in a game update; they are still
        // fetched into DownLoad\Special, and no batch file moves them. (A
        // longer batch has never been warned of its first file.)
        if (!kind.bPlaza && files[i].isSpecial != 0 && (nCount == 1 || i > 0)) {
            const char* pszWarning =
                nCount == 1 ? "游戏更新不允许有特殊文件1" : "游戏更新不允许有特殊文件2";
            m_host.Log(FormatText("%s(%s)", pszWarning, requests[i].szSaveDir));
            m_host.ShowMessage(pszWarning);
        }
        if (i > 0)
            others.push_back(requests[i]);
        m_host.Log(RequestLine(kind.bPlaza, nCount, requests[i]));
    }
    if (nCount > 1 && !writeBat())
        return;
    m_host.DownLoadCommand(DOWNLOAD_CMD_FILES, &requests[0], nCount > 1 ? &others : nullptr);
}

void CUpdateRun::CheckCompletion(const DownLoadTask& task) {
    // Widened so that a position of 0xFFFFFFFF cannot wrap to 0.
    const unsigned long long qwNext = static_cast<unsigned long long>(task.dwBatchIndex) + 1;
    if (qwNext < task.dwBatchCount)
        return;
    const Kind kind = KindOf(task.Request.bForGame != 0, TaskGameName(task));
    if (!FetchedFilesMatch(kind))
        return;
    m_host.Log(kind.bPlaza ? "更新完成，打开大厅。" : "更新完成，打开游戏。");
    kind.bPlaza ? m_host.FinishUpdate() : m_host.OpenGame();
}

bool CUpdateRun::FetchedFilesMatch(const Kind& kind) {
    if (m_config.strPublicKey.empty())
        return true;
    ExpectedFiles fetched;
    fetched.swap(m_expected);
    std::string strRemoved;
    for (const ExpectedFile& file : fetched) {
        if (file.bEngineChecks || m_trust.FileSha256(file.strPath) == Lowered(file.strSha256))
            continue;
        // Whatever came instead must not be run or moved into place later.
        m_trust.RemoveFile(file.strPath);
        strRemoved += "(" + file.strName + ")";
    }
    std::string strLogLine = "更新文件SHA-256校验不符，已删除" + strRemoved;
    bool bAdopted = true;
    for (const ExpectedFile& file : fetched) {
        if (strRemoved.empty() && IsPlazaInfoEntry(file.strName))
            bAdopted = AdoptPlazaInfo(file.strPath, strLogLine);
    }
    if (strRemoved.empty() && bAdopted)
        return true;
    Fail(strLogLine, kind.strRefusedBox);
    return false;
}

bool CUpdateRun::AdoptPlazaInfo(const std::string& strFetched, std::string& strProblem) {
    // A release signed with a stolen key could otherwise turn the
    // installation unsigned for good, or lock its updater out at start-up:
    // the file replaces the trusted one only when it still names a key.
    std::string strBytes;
    PlazaInfo info;
    UpdaterConfig next;
    std::string strWhy;
    if (!ReadPlazaInfoFile(m_trust, strFetched, strBytes, info)) {
        strWhy = "无法解析";
    } else if (!ApplyTrustSettings(info, next, strWhy)) {
    } else if (next.strPublicKey.empty()) {
        strWhy = "没有发布者公钥";
    } else if (!m_trust.ReplaceFile(m_config.strProgramFolder + kPlazaInfoName, strBytes)) {
        strWhy = "无法替换";
    } else {
        m_trust.RemoveFile(strFetched);
        m_host.Log(FormatText("已更新%s", kPlazaInfoName));
        return true;
    }
    m_trust.RemoveFile(strFetched);
    strProblem = FormatText("拒绝更新%s：%s", kPlazaInfoName, strWhy.c_str());
    return false;
}
