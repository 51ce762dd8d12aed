#include "levelvalue.h"

#include <climits>

namespace {
// Positions of a value that can still belong to the name.
const int kNameWalkLimit = 15;

// Lead bytes of code page 936; each takes the byte after it into its character.
bool IsLeadByte(signed char c) {
    const unsigned char b = static_cast<unsigned char>(c);
    return b >= 0x81 && b <= 0xfe;
}

// The length of the longest run of whole characters at the start of the
// cchText bytes of pszText. A lead byte whose trail byte was cut off is left
// out: code that walks double-byte text would take the terminator after it
// as its trail byte and read on past the end of the name.
int WholeCharacterLength(const char* pszText, int cchText) {
    int n = 0;
    while (n < cchText) {
        const int cchChar = IsLeadByte(static_cast<signed char>(pszText[n])) ? 2 : 1;
        if (n + cchChar > cchText)
            break;
        n += cchChar;
    }
    return n;
}

bool IsDigit(signed char c) {
    return c >= '0' && c <= '9';
}

// The bytes passed over between the name and the bound. Compared as signed
// characters, so the bytes of a double-byte character (0x80 and above, below
// zero here) stop the skip as the end of the value does.
// (0x3A to 0x7F is every signed character from 0x3A up.)
bool IsSkipped(signed char c) {
    return (c >= 0x01 && c <= 0x2f) || c >= 0x3a;
}
}  // namespace

void ParseLevelValue(const char* pszValue, tagLevelDescribe* pLevelDescribe) {
    const signed char* pValue = reinterpret_cast<const signed char*>(pszValue);
    char* pszName = pLevelDescribe->szLevelName;
    int nCopied = 0;
    int nPos = 0;
    // A leading space still counts towards the 15 walked bytes: 15 spaces
    // leave no room for a name.
    while (nPos < kNameWalkLimit && pValue[nPos] != ',' && pValue[nPos] != 0) {
        if (pValue[nPos] != ' ' || nCopied > 0)
            pszName[nCopied++] = static_cast<char>(pValue[nPos]);
        ++nPos;
    }
    // The walk itself is not shortened: the bound is read from where it stopped.
    pszName[WholeCharacterLength(pszName, nCopied)] = '\0';

    while (IsSkipped(pValue[nPos]))
        ++nPos;

    std::int64_t llBound = 0;
    while (IsDigit(pValue[nPos])) {
        llBound = llBound * 10 + (pValue[nPos] - '0');
        if (llBound > INT32_MAX)
            llBound = INT32_MAX;
        ++nPos;
    }
    pLevelDescribe->lLevelValue = static_cast<std::int32_t>(llBound);
}
