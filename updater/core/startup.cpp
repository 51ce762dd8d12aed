#include "updater/core/startup.h"

#include "kelmar/zivformat.h"
#include "updater/core/cmdline.h"
#include "updater/core/cp936text.h"
#include "updater/core/requests.h"

namespace {

// The longest folder the updater runs from, as MAX_PATH bounds it.
const std::size_t kMaxProgramFolder = 259;

const char kPlazaInfoMissing[] = "GamePlazaInfo.ziv文件不存在！";
const char kPlazaInfoUnreadable[] = "GamePlazaInfo.ziv文件解析出错！";

StartupSettings Refused(StartupSettings settings, StartupStatus status,
                        const std::string& strLogLine, const std::string& strMessage) {
    settings.status = status;
    settings.strLogLine = strLogLine;
    settings.strMessage = strMessage;
    return settings;
}

}  // namespace

bool ReadPlazaInfoFile(IManifestTrustHost& files, const std::string& strPath, std::string& strBytes,
                       PlazaInfo& info) {
    std::string strXml;
    return files.ReadWholeFile(strPath, kelmar::kZivHeaderSize + kelmar::kZivMaxTextSize,
                               strBytes) &&
           kelmar::DecodeZiv(strBytes, &strXml) == kelmar::kZivOk &&
           ParsePlazaInfo(strXml.c_str(), info);
}

StartupSettings ReadStartup(const std::string& strExePath, bool bExePathWhole,
                            const std::string& strCommandLine, IManifestTrustHost& files) {
    StartupSettings settings;
    const std::string strFolder = bExePathWhole ? FolderOfPath(strExePath) : "";
    if (strFolder.empty() || strFolder.size() > kMaxProgramFolder) {
        return Refused(settings, StartupStatus::FolderUnusable, "程序路径过长",
                       "打开" + strExePath + "出错！");
    }
    settings.config.strProgramFolder = strFolder;

    const std::string strInfoPath = strFolder + kPlazaInfoName;
    if (files.IsMissing(strInfoPath)) {
        return Refused(settings, StartupStatus::PlazaInfoMissing, kPlazaInfoMissing,
                       kPlazaInfoMissing);
    }
    std::string strBytes;
    PlazaInfo info;
    if (!ReadPlazaInfoFile(files, strInfoPath, strBytes, info)) {
        return Refused(settings, StartupStatus::PlazaInfoUnreadable, kPlazaInfoUnreadable,
                       kPlazaInfoUnreadable);
    }
    settings.nEnableUpdate = info.nEnableUpdate;
    if (info.nEnableUpdate == 0) {
        settings.status = StartupStatus::UpdateDisabled;
        return settings;
    }

    UpdaterConfig config = settings.config;
    std::string strProblem;
    if (!BuildServerAddresses(info, config, strProblem) ||
        !ApplyTrustSettings(info, config, strProblem)) {
        return Refused(settings, StartupStatus::ConfigRefused, strProblem, kPlazaInfoUnreadable);
    }
    settings.config = config;
    settings.strGameName = ScanGameName(strCommandLine);
    settings.status = StartupStatus::Ready;
    return settings;
}
