#include "inireader.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view str) {
    while (!str.empty() && IsBlank(str.front()))
        str.remove_prefix(1);
    while (!str.empty() && IsBlank(str.back()))
        str.remove_suffix(1);
    return str;
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Bytes of 0x80 and above are compared exactly: they belong to double-byte
// characters, which have no case.
bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

std::string_view StripQuotes(std::string_view str) {
    if (str.size() >= 2 && (str.front() == '"' || str.front() == '\'') &&
        str.back() == str.front()) {
        return str.substr(1, str.size() - 2);
    }
    return str;
}

}  // namespace

bool FindProfileValue(std::string_view strText, std::string_view strSection,
                      std::string_view strKey, std::string* pstrValue) {
    const std::string_view strWantSection = Trim(strSection);
    const std::string_view strWantKey = Trim(strKey);
    bool bInSection = false;
    while (!strText.empty()) {
        const std::size_t nLineEnd = strText.find('\n');
        std::string_view strLine = Trim(strText.substr(0, nLineEnd));
        strText.remove_prefix(nLineEnd == std::string_view::npos ? strText.size() : nLineEnd + 1);

        if (!strLine.empty() && strLine.front() == '[') {
            const std::size_t nClose = strLine.find(']');
            if (nClose == std::string_view::npos)
                continue;
            // Only the first section of the wanted name is searched.
            if (bInSection)
                return false;
            bInSection = EqualNoCase(Trim(strLine.substr(1, nClose - 1)), strWantSection);
            continue;
        }
        if (!bInSection || strLine.empty())
            continue;

        const std::size_t nEquals = strLine.find('=');
        const std::string_view strName = Trim(strLine.substr(0, nEquals));
        if (!EqualNoCase(strName, strWantKey))
            continue;
        const std::string_view strValue = nEquals == std::string_view::npos
                                              ? std::string_view()
                                              : Trim(strLine.substr(nEquals + 1));
        pstrValue->assign(StripQuotes(strValue));
        return true;
    }
    return false;
}
