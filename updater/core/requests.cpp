#include "updater/core/requests.h"

#include <cstring>

#include "names/safename.h"
#include "updater/core/cp936text.h"

namespace {

bool Put(char* pszField, std::size_t cbField, const std::string& strValue, const char* pszWhat,
         DownLoadRequest& req, std::string& strProblem) {
    if (CopyWhole(pszField, cbField, strValue))
        return true;
    strProblem = FormatText("请求的%s过长，拒绝(%s)", pszWhat, strValue.c_str());
    std::memset(&req, 0, sizeof(req));
    return false;
}

std::string DownLoadDir(const UpdaterConfig& config) {
    return config.strProgramFolder + "DownLoad";
}

std::string InstallFolder(const UpdaterConfig& config) {
    const std::string& strFolder = config.strProgramFolder;
    return strFolder.empty() ? strFolder : strFolder.substr(0, strFolder.size() - 1);
}

// The engine saves to szSaveDir + "\" + szSaveName, through a temporary file
// in the same folder whose name may be longer than the file's own; both whole
// paths must be paths the platform accepts, not only each part.
bool SavePathFits(DownLoadRequest& req, std::string& strProblem) {
    std::string strPath = std::string(req.szSaveDir) + "\\" + req.szSaveName;
    const std::size_t cchTemp = FolderOfPath(strPath).size() + DOWNLOAD_TEMP_NAME_LENGTH;
    if (strPath.size() < 260 && cchTemp < 260)
        return true;
    strProblem = FormatText("请求的保存路径过长，拒绝(%s)", strPath.c_str());
    std::memset(&req, 0, sizeof(req));
    return false;
}

}  // namespace

namespace {

// Both manifests are single requests saved in DownLoad under their own name;
// only the name and, for a game, the game fields differ.
void BeginManifestRequest(DownLoadRequest& req) {
    std::memset(&req, 0, sizeof(req));
    req.bFlag = 1;
    req.nFileCount = 1;
    req.nFileIndex = 0;
    req.nParam = 0;
}

bool PutManifestFields(const UpdaterConfig& config, const std::string& strFileName,
                       const std::string& strName, DownLoadRequest& req, std::string& strProblem) {
    return Put(req.szFileName, sizeof(req.szFileName), strFileName, "szFileName", req,
               strProblem) &&
           Put(req.szSaveName, sizeof(req.szSaveName), strName, "szSaveName", req, strProblem) &&
           Put(req.szSaveDir, sizeof(req.szSaveDir), DownLoadDir(config), "szSaveDir", req,
               strProblem) &&
           Put(req.szUrl, sizeof(req.szUrl), config.strXmlBase + "/" + strName, "szUrl", req,
               strProblem) &&
           Put(req.szUrlReserve, sizeof(req.szUrlReserve), config.strXmlBaseReserve + "/" + strName,
               "szUrlReserve", req, strProblem) &&
           SavePathFits(req, strProblem);
}

}  // namespace

bool FillPlazaManifestRequest(const UpdaterConfig& config, DownLoadRequest& req,
                              std::string& strProblem) {
    BeginManifestRequest(req);
    const std::string strName = kPlazaManifestName;
    return PutManifestFields(config, strName, strName, req, strProblem);
}

bool FillGameManifestRequest(const UpdaterConfig& config, const std::string& strGameName,
                             DownLoadRequest& req, std::string& strProblem) {
    BeginManifestRequest(req);
    req.bForGame = 1;
    const std::string strName = strGameName + kGameManifestSuffix;
    return Put(req.szGameName, sizeof(req.szGameName), strGameName, "szGameName", req,
               strProblem) &&
           PutManifestFields(config, CutCp936(strName, sizeof(req.szFileName) - 1), strName, req,
                             strProblem);
}

bool FillFileRequest(const UpdaterConfig& config, const NeedUpdateFile& file, int nCount,
                     int nIndex, const char* pszGameName, unsigned char bForGame,
                     DownLoadRequest& req, std::string& strProblem) {
    std::memset(&req, 0, sizeof(req));
    req.bFlag = 1;
    req.nFileCount = nCount;
    req.nFileIndex = nIndex;
    req.nParam = 0;
    req.bForGame = bForGame;
    // Both records come from this program: the name is terminated within 260.
    const std::string strName(file.fileName, strnlen(file.fileName, sizeof(file.fileName)));
    const std::string strDigest(file.fileDate, strnlen(file.fileDate, sizeof(file.fileDate)));
    const std::string strSaveName = strName.empty() ? strName : strName.substr(1);
    std::string strSaveDir =
        file.isSpecial != 0 ? config.strProgramFolder + "DownLoad\\Special" : InstallFolder(config);
    if (!config.strPublicKey.empty() && IsPlazaInfoEntry(strName))
        strSaveDir = DownLoadDir(config);
    const std::string strGame = pszGameName != nullptr ? pszGameName : "";
    bool bOk =
        Put(req.szFileName, sizeof(req.szFileName), strName, "szFileName", req, strProblem) &&
        Put(req.szSaveName, sizeof(req.szSaveName), strSaveName, "szSaveName", req, strProblem) &&
        Put(req.szSaveDir, sizeof(req.szSaveDir), strSaveDir, "szSaveDir", req, strProblem) &&
        Put(req.szUrl, sizeof(req.szUrl), config.strFileBase + strName, "szUrl", req, strProblem) &&
        Put(req.szUrlReserve, sizeof(req.szUrlReserve), config.strFileBaseReserve + strName,
            "szUrlReserve", req, strProblem) &&
        Put(req.szMD5, sizeof(req.szMD5), strDigest, "szMD5", req, strProblem) &&
        Put(req.szGameName, sizeof(req.szGameName), strGame, "szGameName", req, strProblem);
    return bOk && SavePathFits(req, strProblem);
}

bool IsPlazaInfoEntry(const std::string& strName) {
    return names::NameKey(strName) == names::NameKey(std::string("\\") + kPlazaInfoName);
}

std::string PlazaManifestPath(const UpdaterConfig& config) {
    return config.strProgramFolder + "DownLoad\\" + kPlazaManifestName;
}

std::string GameManifestPath(const UpdaterConfig& config, const std::string& strGameName) {
    return config.strProgramFolder + "DownLoad\\" + strGameName + kGameManifestSuffix;
}

std::string LocalFilePath(const UpdaterConfig& config, const std::string& strName) {
    return InstallFolder(config) + strName;
}
