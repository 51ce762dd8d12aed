#include "filemover/winplatform.h"

#include <windows.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <vector>

#include "templates/winhandle.h"

namespace {

// The folder part of a search pattern in the system's canonical form, with its trailing
// separator: "C:\Game\DownLoad\Special//*.*" gives "C:\Game\DownLoad\Special\". The system finds
// the name part itself, which matters in code page 936, where the second byte of a character
// can be a backslash.
std::string PatternFolder(const std::string& pattern) {
    const DWORD dwSize = ::GetFullPathNameA(pattern.c_str(), 0, nullptr, nullptr);
    if (dwSize == 0) {
        return std::string();
    }
    std::vector<char> buffer(dwSize + 1);
    char* pszFilePart = nullptr;
    const DWORD dwLength = ::GetFullPathNameA(pattern.c_str(), static_cast<DWORD>(buffer.size()),
                                              buffer.data(), &pszFilePart);
    if (dwLength == 0 || dwLength >= buffer.size()) {
        return std::string();
    }
    if (pszFilePart == nullptr) {
        return std::string(buffer.data(), dwLength);
    }
    return std::string(buffer.data(), pszFilePart);
}

// The entries are read in one go and the system's search is closed at once. An open search
// keeps a handle on its folder, and where that handle does not share deletion (Wine), the folder
// could not be removed while its own search is still running, which the move relies on.
class CWinFolderSearch : public IFolderSearch {
public:
    CWinFolderSearch(std::string strFolder, std::vector<FolderEntry> entries)
        : m_strFolder(std::move(strFolder)), m_entries(std::move(entries)) {}

    bool Next(FolderEntry& entry) override {
        // A folder that has been removed lists nothing more, as a running search would.
        if (m_nNext >= m_entries.size() || !::PathIsDirectoryA(m_strFolder.c_str())) {
            return false;
        }
        entry = m_entries[m_nNext++];
        return true;
    }

private:
    std::string m_strFolder;  // with its trailing separator
    std::vector<FolderEntry> m_entries;
    size_t m_nNext = 0;
};

}  // namespace

bool CWinDravikPlatform::GetCurrentDir(std::string& strDir) {
    // Read at full length: the caller decides what is too long, rather than a cut-off buffer.
    for (DWORD dwSize = MAX_PATH;;) {
        std::vector<char> buffer(dwSize);
        const DWORD dwLength = ::GetCurrentDirectoryA(dwSize, buffer.data());
        if (dwLength == 0) {
            return false;
        }
        if (dwLength < dwSize) {
            strDir.assign(buffer.data(), dwLength);
            return true;
        }
        dwSize = dwLength + 1;  // the size asked for includes the terminating zero
    }
}

std::unique_ptr<IFolderSearch> CWinDravikPlatform::FindFiles(const std::string& pattern) {
    WIN32_FIND_DATAA data = {};
    CFindHandle find(::FindFirstFileA(pattern.c_str(), &data));
    if (!find.IsValid()) {
        return nullptr;
    }
    std::string strFolder = PatternFolder(pattern);
    if (strFolder.empty()) {
        // Bare names would be taken relative to the installation folder and move the wrong
        // files: without full paths nothing is listed.
        return nullptr;
    }
    std::vector<FolderEntry> entries;
    do {
        FolderEntry entry;
        entry.strName = data.cFileName;
        entry.strPath = strFolder + data.cFileName;
        entry.bFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back(std::move(entry));
    } while (::FindNextFileA(find.Get(), &data));
    return std::make_unique<CWinFolderSearch>(std::move(strFolder), std::move(entries));
}

bool CWinDravikPlatform::IsFolder(const std::string& path) {
    return ::PathIsDirectoryA(path.c_str()) != FALSE;
}

bool CWinDravikPlatform::MakeFolder(const std::string& path) {
    return ::CreateDirectoryA(path.c_str(), /*lpSecurityAttributes=*/nullptr) != FALSE;
}

bool CWinDravikPlatform::MoveFileOver(const std::string& src, const std::string& dest) {
    // No copy across volumes: a copy writes the target in place, and a power loss in the middle
    // would leave it cut with no staged file to finish from.
    return ::MoveFileExA(src.c_str(), dest.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool CWinDravikPlatform::RemoveFolder(const std::string& path) {
    return ::RemoveDirectoryA(path.c_str()) != FALSE;
}

void CWinDravikPlatform::Pause(unsigned int nMilliseconds) {
    ::Sleep(nMilliseconds);
}

bool CWinDravikPlatform::ListProcesses(std::vector<ProcessEntry>& processes) {
    CFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, /*th32ProcessID=*/0));
    if (!snapshot.IsValid()) {
        return false;
    }
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof(pe);
    for (BOOL bMore = ::Process32First(snapshot.Get(), &pe); bMore;
         bMore = ::Process32Next(snapshot.Get(), &pe)) {
        ProcessEntry process;
        process.dwProcessId = pe.th32ProcessID;
        process.strExeFile = pe.szExeFile;
        processes.push_back(std::move(process));
    }
    return true;
}

TerminateResult CWinDravikPlatform::EndProcess(unsigned long dwProcessId) {
    CKernelHandle process(::OpenProcess(PROCESS_TERMINATE, /*bInheritHandle=*/FALSE, dwProcessId));
    if (!process.IsValid()) {
        return TerminateResult::kNotOpened;
    }
    return ::TerminateProcess(process.Get(), /*uExitCode=*/0) ? TerminateResult::kTerminated
                                                              : TerminateResult::kFailed;
}

bool CWinDravikPlatform::StartProgram(const std::string& program, const std::string& commandLine) {
    // CreateProcessA may write into the command line, so it gets a copy of its own.
    std::vector<char> szCommandLine(commandLine.begin(), commandLine.end());
    szCommandLine.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessA(program.c_str(), szCommandLine.data(),
                          /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr,
                          /*bInheritHandles=*/FALSE, CREATE_DEFAULT_ERROR_MODE,
                          /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &si, &pi)) {
        return false;
    }
    // The plaza runs on by itself; its handles are of no further use.
    CKernelHandle process(pi.hProcess);
    CKernelHandle thread(pi.hThread);
    return true;
}
