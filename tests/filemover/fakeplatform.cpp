#include "fakeplatform.h"

namespace {

class CFakeSearch : public IFolderSearch {
public:
    CFakeSearch(const CFakePlatform& platform, std::string folder, std::vector<FolderEntry> entries)
        : m_platform(platform), m_folder(std::move(folder)), m_entries(std::move(entries)) {}

    bool Next(FolderEntry& entry) override {
        // Like the real search, a folder that has gone lists nothing more.
        if (m_next >= m_entries.size() || !m_platform.HasFolder(m_folder)) {
            return false;
        }
        entry = m_entries[m_next++];
        return true;
    }

private:
    const CFakePlatform& m_platform;
    std::string m_folder;
    std::vector<FolderEntry> m_entries;
    size_t m_next = 0;
};

}  // namespace

std::string CFakePlatform::Canonical(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '/') {
            c = '\\';
        }
        if (c == '\\' && !out.empty() && out.back() == '\\') {
            continue;
        }
        out += c;
    }
    while (out.size() > 1 && out.back() == '\\') {
        out.pop_back();
    }
    return out;
}

std::string CFakePlatform::Parent(const std::string& canonical) {
    const size_t slash = canonical.rfind('\\');
    return slash == std::string::npos ? std::string() : canonical.substr(0, slash);
}

bool CFakePlatform::HasChildren(const std::string& canonical) const {
    const std::string prefix = canonical + "\\";
    auto it = m_nodes.lower_bound(prefix);
    return it != m_nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

bool CFakePlatform::TakeFault(std::map<std::string, int>& faults, const std::string& key) {
    auto it = faults.find(key);
    if (it == faults.end() || it->second == 0) {
        return false;
    }
    if (it->second > 0) {
        --it->second;
    }
    return true;
}

void CFakePlatform::AddFolder(const std::string& path) {
    const std::string canonical = Canonical(path);
    const std::string parent = Parent(canonical);
    if (!parent.empty() && !HasFolder(parent)) {
        AddFolder(parent);
    }
    m_nodes[canonical].bFolder = true;
}

void CFakePlatform::AddFile(const std::string& path, const std::string& content) {
    const std::string canonical = Canonical(path);
    AddFolder(Parent(canonical));
    m_nodes[canonical] = Node{false, content};
}

bool CFakePlatform::HasFolder(const std::string& path) const {
    auto it = m_nodes.find(Canonical(path));
    return it != m_nodes.end() && it->second.bFolder;
}

bool CFakePlatform::HasFile(const std::string& path) const {
    auto it = m_nodes.find(Canonical(path));
    return it != m_nodes.end() && !it->second.bFolder;
}

std::string CFakePlatform::Content(const std::string& path) const {
    auto it = m_nodes.find(Canonical(path));
    return it == m_nodes.end() ? std::string("<missing>") : it->second.content;
}

std::vector<std::string> CFakePlatform::LogEntries() const {
    std::vector<std::string> entries;
    for (const std::string& event : events) {
        if (event.compare(0, 4, "log:") == 0) {
            entries.push_back(event.substr(4));
        }
    }
    return entries;
}

bool CFakePlatform::GetCurrentDir(std::string& strDir) {
    if (bCurrentDirFails) {
        return false;
    }
    strDir = strCurrentDir;
    return true;
}

std::unique_ptr<IFolderSearch> CFakePlatform::FindFiles(const std::string& pattern) {
    const std::string canonical = Canonical(pattern);
    const std::string wildcard = "\\*.*";
    if (canonical.size() < wildcard.size() ||
        canonical.compare(canonical.size() - wildcard.size(), wildcard.size(), wildcard) != 0) {
        return nullptr;  // the mover only ever searches "<folder>//*.*"
    }
    const std::string folder = canonical.substr(0, canonical.size() - wildcard.size());
    if (!HasFolder(folder)) {
        return nullptr;
    }
    std::vector<FolderEntry> entries = {{".", folder + "\\.", true}, {"..", folder + "\\..", true}};
    const std::string prefix = folder + "\\";
    for (auto it = m_nodes.lower_bound(prefix);
         it != m_nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        const std::string name = it->first.substr(prefix.size());
        if (name.find('\\') == std::string::npos) {
            entries.push_back({name, it->first, it->second.bFolder});
        }
    }
    return std::make_unique<CFakeSearch>(*this, folder, std::move(entries));
}

bool CFakePlatform::MakeFolder(const std::string& path) {
    const std::string canonical = Canonical(path);
    if (uncreatableFolders.count(canonical) || m_nodes.count(canonical) ||
        !HasFolder(Parent(canonical))) {
        return false;
    }
    m_nodes[canonical].bFolder = true;
    return true;
}

bool CFakePlatform::MoveFileOver(const std::string& src, const std::string& dest) {
    ++nMoveAttempts;
    const std::string from = Canonical(src);
    const std::string to = Canonical(dest);
    if (TakeFault(moveFailures, from) || !HasFile(from) || HasFolder(to) ||
        !HasFolder(Parent(to))) {
        return false;
    }
    m_nodes[to] = m_nodes[from];
    m_nodes.erase(from);
    return true;
}

bool CFakePlatform::RemoveFolder(const std::string& path) {
    ++nRemoveFolderCalls;
    const std::string canonical = Canonical(path);
    if (TakeFault(removeFailures, canonical) || !HasFolder(canonical) || HasChildren(canonical)) {
        return false;
    }
    m_nodes.erase(canonical);
    return true;
}

void CFakePlatform::Pause(unsigned int nMilliseconds) {
    events.push_back("pause:" + std::to_string(nMilliseconds));
}

bool CFakePlatform::ListProcesses(std::vector<ProcessEntry>& list) {
    if (bNoProcessList) {
        return false;
    }
    list = processes;
    return true;
}

TerminateResult CFakePlatform::EndProcess(unsigned long dwProcessId) {
    auto it = terminateResults.find(dwProcessId);
    const TerminateResult result =
        it == terminateResults.end() ? TerminateResult::kTerminated : it->second;
    if (result == TerminateResult::kTerminated) {
        endedProcessIds.push_back(dwProcessId);
    }
    return result;
}

bool CFakePlatform::StartProgram(const std::string& program, const std::string& commandLine) {
    startedPrograms.emplace_back(program, commandLine);
    return HasFile(program);
}
