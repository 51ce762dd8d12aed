#pragma once
// An in-memory Windows-like file system and process list behind IDravikPlatform, with faults
// to inject, and a copy log that records into the same timeline as the pauses, so a test can
// assert the exact order of entries and waits.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "filemover/copylog.h"
#include "filemover/platform.h"

class CFakePlatform : public IDravikPlatform, public ICopyLog {
public:
    // Paths take '\' or '/' as separators; runs of them count as one, as on Windows.
    static std::string Canonical(const std::string& path);

    void AddFolder(const std::string& path);  // with all missing parents
    void AddFile(const std::string& path, const std::string& content);
    bool HasFolder(const std::string& path) const;
    bool HasFile(const std::string& path) const;
    std::string Content(const std::string& path) const;

    // Faults. A count of kAlways never runs out.
    static constexpr int kAlways = -1;
    std::map<std::string, int> moveFailures;    // by source path: failing move attempts
    std::map<std::string, int> removeFailures;  // by folder: failing RemoveFolder calls
    std::set<std::string> uncreatableFolders;   // MakeFolder fails

    std::string strCurrentDir = "C:\\Game";
    bool bCurrentDirFails = false;
    bool bNoProcessList = false;
    std::vector<ProcessEntry> processes;
    std::map<unsigned long, TerminateResult> terminateResults;  // default kTerminated

    // What happened.
    std::vector<std::string> events;  // "log:<message>" and "pause:<ms>", in order
    std::vector<unsigned long> endedProcessIds;
    std::vector<std::pair<std::string, std::string>> startedPrograms;  // program, command line
    int nMoveAttempts = 0;
    int nRemoveFolderCalls = 0;

    // The log entries alone, in order.
    std::vector<std::string> LogEntries() const;

    // IDravikPlatform
    bool GetCurrentDir(std::string& strDir) override;
    std::unique_ptr<IFolderSearch> FindFiles(const std::string& pattern) override;
    bool IsFolder(const std::string& path) override { return HasFolder(path); }
    bool MakeFolder(const std::string& path) override;
    bool MoveFileOver(const std::string& src, const std::string& dest) override;
    bool RemoveFolder(const std::string& path) override;
    void Pause(unsigned int nMilliseconds) override;
    bool ListProcesses(std::vector<ProcessEntry>& list) override;
    TerminateResult EndProcess(unsigned long dwProcessId) override;
    bool StartProgram(const std::string& program, const std::string& commandLine) override;

    // ICopyLog
    void WriteCopyLog(const std::string& message) override { events.push_back("log:" + message); }

private:
    struct Node {
        bool bFolder = false;
        std::string content;
    };
    static std::string Parent(const std::string& canonical);
    bool HasChildren(const std::string& canonical) const;
    static bool TakeFault(std::map<std::string, int>& faults, const std::string& key);

    std::map<std::string, Node> m_nodes;  // by canonical path
};
