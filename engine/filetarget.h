// The writer's side of a body: the temporary file.
#pragma once

#include <windows.h>

#include <string>

#include "writepipe.h"

namespace pellowd {

// Flushes a file's bytes to disk; a build for the benchmark alone skips it.
BOOL FlushFile(HANDLE hFile);

// Writes to a file the caller keeps open; strPath names it in the reasons.
class CFileTarget : public CWritePipe::ITarget {
public:
    CFileTarget(HANDLE hFile, const std::string& strPath) : m_hFile(hFile), m_strPath(strPath) {}
    bool Write(const char* pData, std::size_t cb, std::string* pstrWhy) override;
    bool Flush(std::string* pstrWhy) override;

private:
    const HANDLE m_hFile;
    const std::string& m_strPath;
};

}  // namespace pellowd
