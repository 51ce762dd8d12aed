#pragma once
// The operating-system services Dravik uses, behind one seam so that the move can be tested
// off Windows. All paths are code page 936 strings; every call reports failure by its result and
// never throws (except std::bad_alloc).

#include <memory>
#include <string>
#include <vector>

// One entry of a folder search.
struct FolderEntry {
    std::string strName;  // the entry's name alone
    std::string strPath;  // its full path in the system's canonical form, separator '\'
    bool bFolder = false;
};

// A running folder search. Entries come in the order the system lists them, "." and ".."
// included. Next() may be called on one thread only.
class IFolderSearch {
public:
    virtual ~IFolderSearch() = default;
    // Fills entry with the next entry; false once there are no more.
    virtual bool Next(FolderEntry& entry) = 0;
};

struct ProcessEntry {
    unsigned long dwProcessId = 0;
    std::string strExeFile;  // executable file name without folder, as the system lists it
};

enum class TerminateResult {
    kNotOpened,   // the process could not be opened with terminate access
    kTerminated,  // the termination call succeeded (the process may still be going away)
    kFailed,      // opened, but the termination call failed
};

class IDravikPlatform {
public:
    virtual ~IDravikPlatform() = default;

    // The current directory as a full path of any length; false if it cannot be read.
    virtual bool GetCurrentDir(std::string& strDir) = 0;

    // Starts a search for pattern (a folder, a separator and "*.*"). Null when nothing matches,
    // for instance when the folder does not exist; the search is closed when it is destroyed.
    virtual std::unique_ptr<IFolderSearch> FindFiles(const std::string& pattern) = 0;

    virtual bool IsFolder(const std::string& path) = 0;
    // Creates one folder level.
    virtual bool MakeFolder(const std::string& path) = 0;
    // Moves src over dest in one step, replacing an existing dest, and returns only once the
    // move is on the disk: dest is the old file or the new one, never part of either. Fails,
    // leaving both as they were, when src cannot be deleted (held open) or lies on another
    // volume.
    virtual bool MoveFileOver(const std::string& src, const std::string& dest) = 0;
    // Removes a folder; fails unless it is empty.
    virtual bool RemoveFolder(const std::string& path) = 0;
    virtual void Pause(unsigned int nMilliseconds) = 0;

    // The running processes in the order the system lists them; false if no list can be had.
    virtual bool ListProcesses(std::vector<ProcessEntry>& processes) = 0;
    // Ends a process with exit code 0 without waiting for it to go.
    virtual TerminateResult EndProcess(unsigned long dwProcessId) = 0;

    // Starts program with commandLine (its first token naming the program), inheriting no
    // handles, with the default error mode, this process's environment and current directory.
    // The new process runs on by itself; the result says only whether it was started.
    virtual bool StartProgram(const std::string& program, const std::string& commandLine) = 0;
};
