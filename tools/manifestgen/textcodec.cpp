#include "tools/manifestgen/textcodec.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
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

bool WriteFileToDisk(const std::filesystem::path& path, const std::string& bytes) {
#ifdef _WIN32
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                               /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    bool bOk = true;
    for (std::size_t nAt = 0; bOk && nAt < bytes.size();) {
        const DWORD cbPiece =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - nAt, 1u << 20));
        DWORD cbWritten = 0;
        bOk = WriteFile(hFile, bytes.data() + nAt, cbPiece, &cbWritten, /*lpOverlapped=*/nullptr) &&
              cbWritten > 0;
        nAt += cbWritten;
    }
    bOk = bOk && FlushFileBuffers(hFile);
    return CloseHandle(hFile) && bOk;
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool bOk = true;
    for (std::size_t nAt = 0; bOk && nAt < bytes.size();) {
        const ssize_t nWritten = write(fd, bytes.data() + nAt, bytes.size() - nAt);
        if (nWritten < 0 && errno == EINTR)
            continue;
        bOk = nWritten > 0;
        if (bOk)
            nAt += static_cast<std::size_t>(nWritten);
    }
    bOk = bOk && fsync(fd) == 0;
    return close(fd) == 0 && bOk;
#endif
}

bool MoveFileOver(const std::filesystem::path& source, const std::filesystem::path& target) {
#ifdef _WIN32
    return MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
#else
    std::error_code ec;
    std::filesystem::rename(source, target, ec);
    return !ec;
#endif
}
