// A fetched temporary file on its way over its target.
#pragma once

#include <functional>
#include <string>

#include "templates/winhandle.h"
#include "transfer.h"

namespace pellowd {

// Still open from its writing: flushed through that handle, then closed and
// moved over its target.
class CStagedFile : public IStagedFile {
public:
    // onGone runs once the file is moved or deleted (may be empty).
    CStagedFile(CFileHandle file, std::string strTemp, std::string strTarget,
                std::function<void()> onGone);
    ~CStagedFile() override;
    CStagedFile(const CStagedFile&) = delete;
    CStagedFile& operator=(const CStagedFile&) = delete;

    bool Flush(std::string* pstrWhy) override;
    bool Replace(std::string* pstrWhy) override;

private:
    CFileHandle m_file;
    const std::string m_strTemp;
    const std::string m_strTarget;
    const std::function<void()> m_onGone;
    bool m_bReplaced = false;
};

}  // namespace pellowd
