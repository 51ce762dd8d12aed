// What the workers of one engine learn about the disk and share.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

namespace pellowd {

// Folders that exist and folders already swept of stale temporary files.
// Folders do not vanish under a running update, and one sweep per folder
// finds every file a dead run left. Also the partial files: which digests
// the queued requests want (a partial of any other is swept), which partial
// a worker is writing, and the validator each was started with.
class CFolderMemo {
public:
    bool Known(const std::string& strFolder);
    void Learn(const std::string& strFolder);
    // True the first time it is asked for strFolder.
    bool FirstSweep(const std::string& strFolder);

    // A request for a file with this digest was queued.
    void Want(const std::string& strMD5);
    // Whether a queued request wants a partial with this name's digest.
    bool Wanted(const std::string& strDigestPrefix);
    // One worker at a time writes a partial file; false when another does.
    bool Claim(const std::string& strPartial);
    void Release(const std::string& strPartial);
    // The ETag or date the server gave the file a partial was started
    // from; empty when unknown (a partial left by an earlier run).
    void SetValidator(const std::string& strPartial, const std::string& strValidator);
    std::string Validator(const std::string& strPartial);

private:
    std::mutex m_mutex;
    std::set<std::string> m_known;
    std::set<std::string> m_swept;
    std::set<std::string> m_wanted;  // digest prefixes, lower case
    std::set<std::string> m_claimed;
    std::map<std::string, std::string> m_validators;
};

}  // namespace pellowd
