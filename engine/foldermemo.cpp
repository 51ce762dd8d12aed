#include "foldermemo.h"

#include "savepath.h"

namespace pellowd {

bool CFolderMemo::Known(const std::string& strFolder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_known.count(strFolder) != 0;
}

void CFolderMemo::Learn(const std::string& strFolder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_known.insert(strFolder);
}

bool CFolderMemo::FirstSweep(const std::string& strFolder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_swept.insert(strFolder).second;
}

void CFolderMemo::Want(const std::string& strMD5) {
    std::string strPrefix;
    if (!ParsePartialName(PartialPathFor("x", strMD5), &strPrefix))
        return;  // not a digest: no partial is ever named after it
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wanted.insert(strPrefix);
}

bool CFolderMemo::Wanted(const std::string& strDigestPrefix) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wanted.count(strDigestPrefix) != 0;
}

bool CFolderMemo::Claim(const std::string& strPartial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_claimed.insert(strPartial).second;
}

void CFolderMemo::Release(const std::string& strPartial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_claimed.erase(strPartial);
}

void CFolderMemo::SetValidator(const std::string& strPartial, const std::string& strValidator) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (strValidator.empty())
        m_validators.erase(strPartial);
    else
        m_validators[strPartial] = strValidator;
}

std::string CFolderMemo::Validator(const std::string& strPartial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_validators.find(strPartial);
    return it == m_validators.end() ? std::string() : it->second;
}

}  // namespace pellowd
