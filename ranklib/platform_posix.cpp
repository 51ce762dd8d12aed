// The native side of the seam: the INI text read here and looked up by the
// portable reader; code page 936 converted by iconv.
#include "platform.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "files/wholefile.h"
#include "inireader.h"

namespace quorle_platform {
namespace {

// Windows reads a profile of any size.
const std::size_t kNoCap = std::numeric_limits<std::size_t>::max();

bool IsLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xfe;
}

// "dir\GameLevel.ini" names dir/GameLevel.ini here. The second byte of a
// double-byte character may be 0x5C and is left alone.
std::string NativePath(const char* pszFileName) {
    std::string strPath(pszFileName);
    for (std::size_t i = 0; i < strPath.size(); ++i) {
        if (IsLeadByte(static_cast<unsigned char>(strPath[i])) && i + 1 < strPath.size()) {
            ++i;
        } else if (strPath[i] == '\\') {
            strPath[i] = '/';
        }
    }
    return strPath;
}

class CIconv {
public:
    CIconv(const char* pszTo, const char* pszFrom) : m_cd(::iconv_open(pszTo, pszFrom)) {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error("iconv lacks CP936");
    }
    ~CIconv() { ::iconv_close(m_cd); }
    CIconv(const CIconv&) = delete;
    CIconv& operator=(const CIconv&) = delete;

    // Converts as much as it can; returns false at a sequence it cannot take
    // (errno tells which), leaving *ppIn at it.
    bool Convert(char** ppIn, std::size_t* pcbIn, std::string* pstrOut) {
        while (*pcbIn > 0) {
            char buffer[256];
            char* pOut = buffer;
            std::size_t cbOut = sizeof(buffer);
            const std::size_t rc = ::iconv(m_cd, ppIn, pcbIn, &pOut, &cbOut);
            pstrOut->append(buffer, static_cast<std::size_t>(pOut - buffer));
            if (rc == static_cast<std::size_t>(-1) && errno != E2BIG)
                return false;
        }
        return true;
    }

private:
    iconv_t m_cd;
};

}  // namespace

std::size_t ReadProfileString(const char* pszSection, const char* pszKey, char* pszBuffer,
                              std::size_t cbBuffer, const char* pszFileName) {
    if (cbBuffer == 0)
        return 0;
    std::string strText;
    std::string strValue;
    if (pszFileName == nullptr || pszSection == nullptr || pszKey == nullptr ||
        files::ReadWholeFile(NativePath(pszFileName), kNoCap, strText) != files::ReadResult::kOk ||
        !FindProfileValue(strText, pszSection, pszKey, &strValue)) {
        strValue.clear();
    }
    const std::size_t cbCopy = strValue.size() < cbBuffer - 1 ? strValue.size() : cbBuffer - 1;
    std::memcpy(pszBuffer, strValue.data(), cbCopy);
    pszBuffer[cbCopy] = '\0';
    return cbCopy;
}

std::u16string AnsiToUtf16(const char* pszText) {
    CIconv conv("UTF-16LE", "CP936");
    std::string strIn(pszText);
    std::string strOut;
    char* pIn = &strIn[0];
    std::size_t cbIn = strIn.size();
    while (!conv.Convert(&pIn, &cbIn, &strOut)) {
        // Windows turns a byte that starts no character of the code page,
        // and a lead byte cut off at the end, into U+003F.
        strOut.append("?\0", 2);
        ++pIn;
        --cbIn;
    }
    std::u16string strWide(strOut.size() / 2, u'\0');
    std::memcpy(&strWide[0], strOut.data(), strWide.size() * 2);
    return strWide;
}

std::string Utf16ToAnsi(const char16_t* pText, std::size_t cchText) {
    CIconv conv("CP936", "UTF-16LE");
    std::string strIn(reinterpret_cast<const char*>(pText), cchText * 2);
    std::string strOut;
    char* pIn = &strIn[0];
    std::size_t cbIn = strIn.size();
    while (!conv.Convert(&pIn, &cbIn, &strOut)) {
        // A character the code page lacks, or a lone surrogate: one "?" for
        // the unit, as WideCharToMultiByte's default character.
        strOut.push_back('?');
        const std::size_t cbSkip = cbIn < 2 ? cbIn : 2;
        pIn += cbSkip;
        cbIn -= cbSkip;
    }
    return strOut;
}

}  // namespace quorle_platform
