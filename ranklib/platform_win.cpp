// The Windows side of the seam: the real profile reader and code page calls.
#include "platform.h"

#include <windows.h>

#include <new>

namespace quorle_platform {

std::size_t ReadProfileString(const char* pszSection, const char* pszKey, char* pszBuffer,
                              std::size_t cbBuffer, const char* pszFileName) {
    return ::GetPrivateProfileStringA(pszSection, pszKey, /*lpDefault=*/"", pszBuffer,
                                      static_cast<DWORD>(cbBuffer), pszFileName);
}

std::u16string AnsiToUtf16(const char* pszText) {
    // CP_THREAD_ACP: the thread's ANSI code page, as the players' machines
    // convert the names they show.
    const int cchNeeded = ::MultiByteToWideChar(CP_THREAD_ACP, /*dwFlags=*/0, pszText,
                                                /*cbMultiByte=*/-1, nullptr, 0);
    if (cchNeeded <= 1)
        return std::u16string();
    std::u16string strWide(static_cast<std::size_t>(cchNeeded), u'\0');
    const int cchDone = ::MultiByteToWideChar(CP_THREAD_ACP, 0, pszText, -1,
                                              reinterpret_cast<wchar_t*>(&strWide[0]), cchNeeded);
    if (cchDone <= 0)
        return std::u16string();
    strWide.resize(static_cast<std::size_t>(cchDone - 1));
    return strWide;
}

std::string Utf16ToAnsi(const char16_t* pText, std::size_t cchText) {
    if (cchText == 0)
        return std::string();
    const wchar_t* pWide = reinterpret_cast<const wchar_t*>(pText);
    const int cchWide = static_cast<int>(cchText);
    const int cbNeeded = ::WideCharToMultiByte(CP_THREAD_ACP, /*dwFlags=*/0, pWide, cchWide,
                                               nullptr, 0, /*lpDefaultChar=*/nullptr,
                                               /*lpUsedDefaultChar=*/nullptr);
    if (cbNeeded <= 0)
        return std::string();
    std::string strAnsi(static_cast<std::size_t>(cbNeeded), '\0');
    const int cbDone = ::WideCharToMultiByte(CP_THREAD_ACP, 0, pWide, cchWide, &strAnsi[0],
                                             cbNeeded, nullptr, nullptr);
    strAnsi.resize(cbDone > 0 ? static_cast<std::size_t>(cbDone) : 0);
    return strAnsi;
}

}  // namespace quorle_platform
