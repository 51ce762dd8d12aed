// How the engine words a failed Win32 or WinINet call in its log.
#pragma once

#include <windows.h>

#include <string>

namespace pellowd {

inline std::string ErrorText(const std::string& strWhat, DWORD dwError) {
    return strWhat + " failed, error " + std::to_string(dwError);
}

}  // namespace pellowd
