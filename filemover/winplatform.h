#pragma once
// The real Windows services behind IDravikPlatform.

#include "filemover/platform.h"

class CWinDravikPlatform : public IDravikPlatform {
public:
    bool GetCurrentDir(std::string& strDir) override;
    std::unique_ptr<IFolderSearch> FindFiles(const std::string& pattern) override;
    bool IsFolder(const std::string& path) override;
    bool MakeFolder(const std::string& path) override;
    bool MoveFileOver(const std::string& src, const std::string& dest) override;
    bool RemoveFolder(const std::string& path) override;
    void Pause(unsigned int nMilliseconds) override;
    bool ListProcesses(std::vector<ProcessEntry>& processes) override;
    TerminateResult EndProcess(unsigned long dwProcessId) override;
    bool StartProgram(const std::string& program, const std::string& commandLine) override;
};
