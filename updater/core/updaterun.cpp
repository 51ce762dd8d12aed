#include "updater/core/updaterun.h"

#include <cstdint>
#include <cstdlib>

#include <cctype>
#include <cstring>
#include <map>

#include "kelmar/zivformat.h"
#include "names/safename.h"

#include "updater/core/cp936text.h"
#include "updater/core/manifest.h"

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

}  // namespace

bool CUpdateRun::DownloadLastUpdateXMLFile(int& nEngineResult) {
    nEngineResult = 0;
    m_host.Log("DownloadLastUpdateXMLFile start ...");
    DownLoadRequest req;
    std::string strProblem;
    if (!FillPlazaManifestRequest(m_config, req, strProblem)) {
        Refuse(strProblem, "LastUpdateFiles.xml出错！");
        return false;
    }
    m_host.Log(FormatText("%s(%s)", req.szUrl, req.szUrlReserve));
    if (!m_config.strPublicKey.empty())
        return SendSigned(DOWNLOAD_CMD_PLAZA_XML, req, PlazaManifestPath(m_config), nEngineResult);
    nEngineResult = m_host.DownLoadCommand(DOWNLOAD_CMD_PLAZA_XML, &req, nullptr);
    return true;
}

bool CUpdateRun::DownloadGameXMLFile(const std::string& strGameName, int& nEngineResult) {
    nEngineResult = 0;
    DownLoadRequest req;
    std::string strProblem;
    const std::string strOpenFailed = "打开" + GameManifestPath(m_config, strGameName) + "出错！";
    if (!IsSafeGameName(strGameName)) {
        Refuse(FormatText("游戏名称无效，拒绝更新(%s)", strGameName.c_str()), strOpenFailed);
        return false;
    }
    if (!FillGameManifestRequest(m_config, strGameName, req, strProblem)) {
        Refuse(strProblem, strOpenFailed);
        return false;
    }
    if (!m_config.strPublicKey.empty())
        return SendSigned(DOWNLOAD_CMD_GAME_XML, req, GameManifestPath(m_config, strGameName),
                          nEngineResult);
    nEngineResult = m_host.DownLoadCommand(DOWNLOAD_CMD_GAME_XML, &req, nullptr);
    return true;
}

bool CUpdateRun::SendSigned(int nCommandCode, DownLoadRequest& req, const std::string& strSavedPath,
                            int& nEngineResult) {
    DownLoadRequest sigReq;
    std::string strProblem = "更新列表签名无法验证";
    if (m_pTrust == nullptr || !FillSignatureRequest(req, sigReq, strProblem)) {
        m_host.Log(strProblem);
        return false;
    }
    // A .sig left by an earlier run must not stand in for one that never
    // arrives: its absence is how a failed batch is told apart (OnServiceStop).
    m_pTrust->RemoveFile(strSavedPath + kSignatureSuffix);
    m_host.Log(FormatText("%s(%s)", sigReq.szUrl, sigReq.szUrlReserve));
    DownLoadRequestList others(1, sigReq);
    nEngineResult = m_host.DownLoadCommand(nCommandCode, &req, &others);
    return true;
}

bool CUpdateRun::AdmitSigned(const std::string& strName, const std::string& strPath,
                             const std::string& strRefusedMessage, std::string& strText) {
    std::string strLogLine = FormatText("更新列表签名验证失败(%s)：无法验证", strName.c_str());
    if (m_pTrust != nullptr && m_pExpected != nullptr &&
        AdmitManifest(m_config, strName, strPath, *m_pTrust, strText, strLogLine) ==
            TrustVerdict::Accepted) {
        m_host.Log(strLogLine);
        return true;
    }
    Fail(strLogLine, strRefusedMessage);
    return false;
}

bool CUpdateRun::OnServiceStop(const std::string& strGameName) {
    if (m_config.strPublicKey.empty() || m_pTrust == nullptr)
        return false;
    const std::string strName =
        strGameName.empty() ? std::string(kPlazaManifestName) : strGameName + kGameManifestSuffix;
    const std::string strPath =
        strGameName.empty() ? PlazaManifestPath(m_config) : GameManifestPath(m_config, strGameName);
    // The .sig of this run arrived: the batch that failed was another (or the
    // manifest itself), and the run ends as it always has.
    if (m_host.FileExists(strPath + kSignatureSuffix))
        return false;
    Fail(FormatText("更新列表签名验证失败(%s)：缺少签名文件", strName.c_str()),
         strGameName.empty() ? "LastUpdateFiles.xml出错！" : "打开" + strPath + "出错！");
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
        DecidePlaza();
    } else if (pTask->nCommandCode == DOWNLOAD_CMD_GAME_XML) {
        DecideGame(*pTask);
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

CUpdateRun::Verdict CUpdateRun::ReadAndCompare(const std::string& strPath, bool bPlaza,
                                               const std::string& strOwnExe, Manifest& manifest,
                                               std::vector<NeedUpdateFile>& files,
                                               std::vector<ManifestFileEntry>& entries,
                                               std::string& strProblem,
                                               const std::string* pVerifiedText) {
    // The guarded region: from loading the document to the end of the file
    // loop. Anything thrown in it ends the decision as one failure.
    try {
        // A signed manifest is read from the bytes that were verified, never
        // from the file again.
        const ManifestStatus status =
            pVerifiedText != nullptr
                ? ParseManifest(pVerifiedText->c_str(), bPlaza, manifest, strProblem)
                : ReadManifest(strPath, bPlaza, manifest, strProblem);
        switch (status) {
            case ManifestStatus::LoadFailed:
                return Verdict::LoadFailed;
            case ManifestStatus::RootTextFirst:
                return Verdict::RootTextFirst;
            case ManifestStatus::Refused:
                return Verdict::Refused;
            case ManifestStatus::Ok:
                break;
        }
        // The signature covers each file only through its SHA-256.
        for (const ManifestFileEntry& entry : manifest.files) {
            if (pVerifiedText != nullptr && !IsSha256Text(entry.strSha256)) {
                strProblem = FormatText("更新列表文件SHA-256校验码无效(%s)(%s)",
                                        entry.strName.c_str(), entry.strSha256.c_str());
                return Verdict::Refused;
            }
        }
        if (!EntriesFit(manifest, strProblem))
            return Verdict::Refused;
        // Only a manifest that will be acted on ends anything: a refused one
        // leaves the player's plaza or game running.
        m_host.TerminateProcessByName(strOwnExe);
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
        return Verdict::Proceed;
    } catch (...) {
        files.clear();
        entries.clear();
        return Verdict::Exception;
    }
}

void CUpdateRun::DecidePlaza() {
    const std::string strPath = PlazaManifestPath(m_config);
    if (!m_host.FileExists(strPath)) {
        Fail(FormatText("LastUpdateFiles.xml文件不存在！(%s)", strPath.c_str()),
             "LastUpdateFiles.xml文件不存在！");
        return;
    }
    // A manifest that fails its signature ends nothing: the check comes first.
    std::string strVerified;
    const bool bSigned = !m_config.strPublicKey.empty();
    if (bSigned &&
        !AdmitSigned(kPlazaManifestName, strPath, "LastUpdateFiles.xml出错！", strVerified)) {
        return;
    }
    Manifest manifest;
    std::vector<NeedUpdateFile> files;
    std::vector<ManifestFileEntry> entries;
    std::string strProblem;
    const Verdict verdict = ReadAndCompare(strPath, true, kPlazaExe, manifest, files, entries,
                                           strProblem, bSigned ? &strVerified : nullptr);
    switch (verdict) {
        case Verdict::Proceed:
            if (bSigned)
                DropStaleStaging(manifest);
            SendPlazaBatch(files, entries);
            return;
        case Verdict::LoadFailed:
            Fail("", "LastUpdateFiles.xml出错！");
            return;
        case Verdict::Refused:
            Fail(strProblem, "LastUpdateFiles.xml出错！");
            return;
        case Verdict::RootTextFirst:
            Fail("网络下载LastUpdateFiles.xml出错！(无法解释xml文件)",
                 "网络下载LastUpdateFiles.xml出错！");
            return;
        case Verdict::Exception:
            Fail("操作LastUpdateFiles.xml出错！", "操作LastUpdateFiles.xml出错！");
            return;
    }
}

void CUpdateRun::DecideGame(const DownLoadTask& task) {
    const std::string strGame = TaskGameName(task);
    const std::string strPath = GameManifestPath(m_config, strGame);
    if (!IsSafeGameName(strGame)) {
        Fail(FormatText("游戏名称无效，拒绝更新(%s)", strGame.c_str()),
             "打开" + strPath + "出错！");
        return;
    }
    if (!m_host.FileExists(strPath)) {
        const std::string strErrInfo = strPath + "文件不存在！";
        Fail(FormatText("单个游戏更新(%s)", strErrInfo.c_str()), strErrInfo);
        return;
    }
    const std::string strOpenFailed = "打开" + strPath + "出错！";
    std::string strVerified;
    const bool bSigned = !m_config.strPublicKey.empty();
    if (bSigned &&
        !AdmitSigned(strGame + kGameManifestSuffix, strPath, strOpenFailed, strVerified)) {
        return;
    }
    Manifest manifest;
    std::vector<NeedUpdateFile> files;
    std::vector<ManifestFileEntry> entries;
    std::string strProblem;
    const Verdict verdict = ReadAndCompare(strPath, false, strGame + ".exe", manifest, files,
                                           entries, strProblem, bSigned ? &strVerified : nullptr);
    switch (verdict) {
        case Verdict::Proceed:
            SendGameBatch(files, entries, task);
            return;
        case Verdict::Refused:
            Fail(strOpenFailed + strProblem, strOpenFailed);
            return;
        case Verdict::LoadFailed:
            Fail(strOpenFailed, strOpenFailed);
            return;
        case Verdict::RootTextFirst:
            Fail("网络下载" + strPath + "出错！", strPath);
            return;
        case Verdict::Exception:
            Fail("操作" + strPath + "出错！", "操作" + strPath + "出错！");
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
    const bool bListed = m_pTrust->ListFiles(strStaging, staged);
    std::map<std::string, std::string> special;  // name as Windows compares it -> SHA-256
    for (const ManifestFileEntry& entry : manifest.files) {
        if (entry.nIsSpecial != 0)
            special[names::NameKey(entry.strName.substr(1))] = Lowered(entry.strSha256);
    }
    bool bStale = !bListed;
    for (const std::string& strFile : staged) {
        auto it = special.find(names::NameKey(strFile));
        if (it == special.end() || m_pTrust->FileSha256(strStaging + "\\" + strFile) != it->second)
            bStale = true;
    }
    if (!bStale)
        return;
    for (const std::string& strFile : staged)
        m_pTrust->RemoveFile(strStaging + "\\" + strFile);
    m_pTrust->RemoveFile(m_config.strProgramFolder + "SpecialCpy.bat");
    m_host.Log(FormatText("删除上次未完成的特殊文件和SpecialCpy.bat(%d)",
                          static_cast<int>(staged.size())));
}

void CUpdateRun::RememberExpected(const std::vector<DownLoadRequest>& requests,
                                  const std::vector<ManifestFileEntry>& entries) {
    if (m_config.strPublicKey.empty() || m_pExpected == nullptr)
        return;
    m_pExpected->clear();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const DownLoadRequest& req = requests[i];
        // An engine that checks refuses a wrong file before it replaces the
        // installed one; reading the file again would only cost time.
        const bool bEngineChecks =
            m_host.ExpectFile(req, ExpectedSize(entries[i].strBytes), entries[i].strSha256);
        m_pExpected->push_back({req.szFileName, std::string(req.szSaveDir) + "\\" + req.szSaveName,
                                entries[i].strSha256, bEngineChecks});
    }
}

void CUpdateRun::SendPlazaBatch(const std::vector<NeedUpdateFile>& files,
                                const std::vector<ManifestFileEntry>& entries) {
    const int nCount = static_cast<int>(files.size());
    if (nCount == 0) {
        m_host.Log(FormatText("没有需要更新的文件(%d)", nCount));
        m_host.DownLoadCommand(DOWNLOAD_CMD_NOTHING, nullptr, nullptr);
        m_host.FinishUpdate();
        return;
    }
    // Every request is filled before anything is written or sent, so a value
    // that does not fit leaves no batch file and no half-sent batch behind.
    std::vector<DownLoadRequest> requests;
    if (!FillBatch(files, "", 0, requests)) {
        Fail("", "LastUpdateFiles.xml出错！");
        return;
    }
    RememberExpected(requests, entries);
    bool bHasSpecial = false;
    for (const NeedUpdateFile& file : files) {
        if (file.isSpecial != 0)
            bHasSpecial = true;
    }
    auto logRequest = [&](const DownLoadRequest& req) {
        m_host.Log(FormatText("updatefile(%d)%s(%s)", nCount, req.szUrl, req.szUrlReserve));
    };
    // Without its batch file the special files would wait in DownLoad\Special
    // for ever beside the new plaza: nothing is fetched then.
    auto writeBat = [&] {
        if (!bHasSpecial || m_host.WriteSpecialCopyBat(files))
            return true;
        Fail("", "SpecialCpy.bat创建失败！");
        return false;
    };
    if (nCount == 1) {
        if (!writeBat())
            return;
        logRequest(requests[0]);
        m_host.DownLoadCommand(DOWNLOAD_CMD_FILES, &requests[0], nullptr);
        return;
    }
    logRequest(requests[0]);
    DownLoadRequestList otherDownloadReqList;
    for (int i = 1; i < nCount; ++i) {
        otherDownloadReqList.push_back(requests[i]);
        logRequest(requests[i]);
    }
    if (!writeBat())
        return;
    m_host.DownLoadCommand(DOWNLOAD_CMD_FILES, &requests[0], &otherDownloadReqList);
}

void CUpdateRun::SendGameBatch(const std::vector<NeedUpdateFile>& files,
                               const std::vector<ManifestFileEntry>& entries,
                               const DownLoadTask& task) {
    const int nCount = static_cast<int>(files.size());
    if (nCount == 0) {
        m_host.DownLoadCommand(DOWNLOAD_CMD_NOTHING, nullptr, nullptr);
        m_host.OpenGame();
        return;
    }
    const std::string strGame = TaskGameName(task);
    std::vector<DownLoadRequest> requests;
    if (!FillBatch(files, strGame.c_str(), task.Request.bForGame, requests)) {
        const std::string strOpenFailed = "打开" + GameManifestPath(m_config, strGame) + "出错！";
        Fail(strOpenFailed, strOpenFailed);
        return;
    }
    RememberExpected(requests, entries);
    // Special files do not belong in a game update; they are still fetched
    // into DownLoad\Special, and no batch file moves them.
    if (nCount == 1) {
        if (files[0].isSpecial != 0) {
            m_host.Log(FormatText("游戏更新不允许有特殊文件1(%s)", requests[0].szSaveDir));
            m_host.ShowMessage("游戏更新不允许有特殊文件1");
        }
        m_host.Log(FormatText("单个游戏更新:%s(%s)", requests[0].szUrl, requests[0].szUrlReserve));
        m_host.DownLoadCommand(DOWNLOAD_CMD_FILES, &requests[0], nullptr);
        return;
    }
    auto logRequest = [&](const DownLoadRequest& req) {
        m_host.Log(FormatText("多个游戏文件更新:(%d)%s(%s)", nCount, req.szUrl, req.szUrlReserve));
    };
    logRequest(requests[0]);
    DownLoadRequestList otherDownloadReqList;
    for (int i = 1; i < nCount; ++i) {
        if (files[i].isSpecial != 0) {
            m_host.Log(FormatText("游戏更新不允许有特殊文件2(%s)", requests[i].szSaveDir));
            m_host.ShowMessage("游戏更新不允许有特殊文件2");
        }
        otherDownloadReqList.push_back(requests[i]);
        logRequest(requests[i]);
    }
    m_host.DownLoadCommand(DOWNLOAD_CMD_FILES, &requests[0], &otherDownloadReqList);
}

void CUpdateRun::CheckCompletion(const DownLoadTask& task) {
    // Widened so that a position of 0xFFFFFFFF cannot wrap to 0.
    const unsigned long long qwNext = static_cast<unsigned long long>(task.dwBatchIndex) + 1;
    if (qwNext < task.dwBatchCount)
        return;
    if (!FetchedFilesMatch(task))
        return;
    if (task.Request.bForGame != 0) {
        m_host.Log("更新完成，打开游戏。");
        m_host.OpenGame();
    } else {
        m_host.Log("更新完成，打开大厅。");
        m_host.FinishUpdate();
    }
}

bool CUpdateRun::FetchedFilesMatch(const DownLoadTask& task) {
    if (m_config.strPublicKey.empty())
        return true;
    // Without the trust host or the list nothing can be checked, and an
    // unchecked batch is refused like one that failed.
    std::string strLogLine = "更新文件SHA-256校验不符，已删除";
    if (m_pTrust != nullptr && m_pExpected != nullptr) {
        ExpectedFiles fetched;
        fetched.swap(*m_pExpected);
        std::string strRemoved;
        for (const ExpectedFile& file : fetched) {
            if (file.bEngineChecks || m_pTrust->FileSha256(file.strPath) == Lowered(file.strSha256))
                continue;
            // Whatever came instead must not be run or moved into place later.
            m_pTrust->RemoveFile(file.strPath);
            strRemoved += "(" + file.strName + ")";
        }
        strLogLine += strRemoved;
        bool bAdopted = true;
        for (const ExpectedFile& file : fetched) {
            if (strRemoved.empty() && IsPlazaInfoEntry(file.strName))
                bAdopted = AdoptPlazaInfo(file.strPath, strLogLine);
        }
        if (strRemoved.empty() && bAdopted)
            return true;
    }
    const std::string strGame = TaskGameName(task);
    Fail(strLogLine, task.Request.bForGame != 0
                         ? "打开" + GameManifestPath(m_config, strGame) + "出错！"
                         : "LastUpdateFiles.xml出错！");
    return false;
}

bool CUpdateRun::AdoptPlazaInfo(const std::string& strFetched, std::string& strProblem) {
    // A release signed with a stolen key could otherwise turn the
    // installation unsigned for good, or lock its updater out at start-up:
    // the file replaces the trusted one only when it still names a key.
    std::string strBytes;
    std::string strXml;
    PlazaInfo info;
    UpdaterConfig next;
    std::string strWhy;
    if (!m_pTrust->ReadWholeFile(strFetched, kelmar::kZivHeaderSize + kelmar::kZivMaxTextSize,
                                 strBytes) ||
        kelmar::DecodeZiv(strBytes, &strXml) != kelmar::kZivOk ||
        !ParsePlazaInfo(strXml.c_str(), info)) {
        strWhy = "无法解析";
    } else if (!ApplyTrustSettings(info, next, strWhy)) {
    } else if (next.strPublicKey.empty()) {
        strWhy = "没有发布者公钥";
    } else if (!m_pTrust->ReplaceFile(m_config.strProgramFolder + kPlazaInfoName, strBytes)) {
        strWhy = "无法替换";
    } else {
        m_pTrust->RemoveFile(strFetched);
        m_host.Log(FormatText("已更新%s", kPlazaInfoName));
        return true;
    }
    m_pTrust->RemoveFile(strFetched);
    strProblem = FormatText("拒绝更新%s：%s", kPlazaInfoName, strWhy.c_str());
    return false;
}
