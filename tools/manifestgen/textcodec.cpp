#include "tools/manifestgen/textcodec.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace {

#ifdef _WIN32
const UINT kCodePage936 = 936;

bool WideToCp936(const std::wstring& strWide, std::string& strOut) {
    strOut.clear();
    if (strWide.empty())
        return true;
    BOOL bUsedDefault = FALSE;
    int nBytes = WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, strWide.data(),
                                     static_cast<int>(strWide.size()), nullptr, 0,
                                     /*lpDefaultChar=*/nullptr, &bUsedDefault);
    if (nBytes <= 0 || bUsedDefault)
        return false;
    strOut.resize(static_cast<std::size_t>(nBytes));
    WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, strWide.data(),
                        static_cast<int>(strWide.size()), &strOut[0], nBytes, nullptr,
                        &bUsedDefault);
    return !bUsedDefault;
}

std::wstring AnsiToWide(const std::string& strAnsi) {
    if (strAnsi.empty())
        return std::wstring();
    int nChars = MultiByteToWideChar(CP_ACP, 0, strAnsi.data(), static_cast<int>(strAnsi.size()),
                                     nullptr, 0);
    std::wstring strWide(static_cast<std::size_t>(nChars > 0 ? nChars : 0), L'\0');
    if (nChars > 0)
        MultiByteToWideChar(CP_ACP, 0, strAnsi.data(), static_cast<int>(strAnsi.size()),
                            &strWide[0], nChars);
    return strWide;
}
#else
bool Utf8ToCp936(const std::string& strUtf8, std::string& strOut) {
    strOut.clear();
    iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string in = strUtf8;
    char* pIn = in.empty() ? nullptr : &in[0];
    std::size_t cbIn = in.size();
    std::string out(in.size() * 2 + 4, '\0');
    char* pOut = &out[0];
    std::size_t cbOut = out.size();
    bool bOk = iconv(cd, &pIn, &cbIn, &pOut, &cbOut) != static_cast<std::size_t>(-1) && cbIn == 0;
    iconv_close(cd);
    if (!bOk)
        return false;
    out.resize(out.size() - cbOut);
    strOut = out;
    return true;
}
#endif

}  // namespace

bool PathToCp936(const std::filesystem::path& path, std::string& strOut) {
#ifdef _WIN32
    return WideToCp936(path.generic_wstring(), strOut);
#else
    return Utf8ToCp936(path.generic_string(), strOut);
#endif
}

std::filesystem::path PathFromArgument(const std::string& strArgument) {
#ifdef _WIN32
    return std::filesystem::path(AnsiToWide(strArgument));
#else
    return std::filesystem::path(strArgument);
#endif
}

bool ArgumentToCp936(const std::string& strArgument, std::string& strOut) {
#ifdef _WIN32
    return WideToCp936(AnsiToWide(strArgument), strOut);
#else
    return Utf8ToCp936(strArgument, strOut);
#endif
}
