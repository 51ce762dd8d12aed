// The checks of signed manifests answered with Windows calls: whole-file
// reads, the state file replaced in one step, the system clock in UTC, the
// platform's SHA-256 of fetched files.
#pragma once

#include "updater/core/manifesttrust.h"

class CWinTrustHost : public IManifestTrustHost {
public:
    bool ReadWholeFile(const std::string& strPath, std::size_t cbMax,
                       std::string& strBytes) override;
    bool ReplaceFile(const std::string& strPath, const std::string& strBytes) override;
    void RemoveFile(const std::string& strPath) override;
    bool IsMissing(const std::string& strPath) override;
    bool ListFiles(const std::string& strFolder, std::vector<std::string>& files) override;
    std::int64_t Now() override;
    std::string FileSha256(const std::string& strPath) override;
};
