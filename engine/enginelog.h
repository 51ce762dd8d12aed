// The engine's own log: "errRpt\PellowD-MM-DD.log" in the folder of
// PellowD.dll (the installation folder), one dated line per entry, the same
// shape as the updater's log. The errRpt folder is created when missing, so
// a failed download always leaves its reason behind. A line that cannot be
// written is lost silently. Write may be called from any thread.
#pragma once

#include <mutex>
#include <string>

namespace pellowd {

class CEngineLog {
public:
    // strFolder: the folder that holds errRpt, ending in a backslash.
    explicit CEngineLog(std::string strFolder) : m_strFolder(std::move(strFolder)) {}
    void Write(const std::string& strLine);

private:
    std::string m_strFolder;
    std::mutex m_mutex;
};

// The folder of the module that holds this code (PellowD.dll), with a
// trailing backslash; empty when it cannot be found.
std::string EngineFolder();

}  // namespace pellowd
