#include "xmllimits/xmllimits.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "files/wholefile.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// TinyXML skips these byte-order marks as white space when it reads UTF-8;
// skipping them always keeps this walk with it in either reading.
const char* SkipSpace(const char* p) {
    for (;;) {
        const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
        if (u[0] == 0xEF &&
            ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF)))) {
            p += 3;
        } else if (IsSpace(*p)) {
            ++p;
        } else {
            return p;
        }
    }
}

// TinyXML takes every byte from 0x7F up for a letter.
bool IsNameStart(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x7F || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || c == '_';
}

bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
}

const char* ReadName(const char* p, std::string* pName) {
    const char* pStart = p;
    while (IsNameChar(*p))
        ++p;
    if (pName != nullptr)
        pName->assign(pStart, static_cast<std::size_t>(p - pStart));
    return p;
}

bool StartsWith(const char* p, const char* pszHead) {
    return std::strncmp(p, pszHead, std::strlen(pszHead)) == 0;
}

// Past the first occurrence of pszEnd, or at the terminating zero.
const char* SkipPast(const char* p, const char* pszEnd) {
    const char* pFound = std::strstr(p, pszEnd);
    return pFound != nullptr ? pFound + std::strlen(pszEnd) : p + std::strlen(p);
}

enum class Tag { kOpen, kEmpty, kBroken, kEnd };

enum class Value { kRead, kEnd, kBroken };

// One attribute, p at its name, as TinyXML reads it: a quoted value runs to
// its own quote, an unquoted one to white space, '/' or '>', and a quote
// inside it is an error. p is left past the value.
Value SkipAttribute(const char*& p) {
    p = SkipSpace(ReadName(p, nullptr));
    if (*p != '=')
        return *p == '\0' ? Value::kEnd : Value::kBroken;
    p = SkipSpace(p + 1);
    if (*p == '"' || *p == '\'') {
        const char* pClose = std::strchr(p + 1, *p);
        if (pClose == nullptr)
            return Value::kEnd;
        p = pClose + 1;
        return Value::kRead;
    }
    while (*p != '\0' && !IsSpace(*p) && *p != '/' && *p != '>') {
        if (*p == '"' || *p == '\'')
            return Value::kBroken;
        ++p;
    }
    return Value::kRead;
}

// The attributes of a start tag, p just past its name.
Tag ReadAttributes(const char*& p) {
    for (;;) {
        p = SkipSpace(p);
        if (*p == '\0')
            return Tag::kEnd;
        if (*p == '/') {
            if (p[1] != '>')
                return Tag::kBroken;
            p += 2;
            return Tag::kEmpty;
        }
        if (*p == '>') {
            ++p;
            return Tag::kOpen;
        }
        if (!IsNameStart(*p))
            return Tag::kBroken;
        switch (SkipAttribute(p)) {
            case Value::kEnd:
                return Tag::kEnd;
            case Value::kBroken:
                return Tag::kBroken;
            case Value::kRead:
                break;
        }
    }
}

// TinyXML reads text and quoted values a character at a time, and once it
// takes a document for UTF-8 (a byte-order mark at the start, or a
// declaration whose encoding is missing or UTF-8) a byte from 0xC2 up is
// the start of a character of two to four bytes, whatever follows it. A
// quote or '<' taken into such a character would shift every tag after it
// against the walk above. Code page 936 text is read a byte at a time.
// A declaration of the plain form <?xml version="1.0" encoding="GB2312"?>
// (attributes version, encoding and standalone, quoted values without
// '&', '<' or '>') with an encoding other than UTF-8 keeps TinyXML there.
bool IsPlainLegacyDeclaration(const char* p) {
    p += 5;  // "<?xml"
    bool bLegacy = false;
    for (;;) {
        const char* pAttribute = SkipSpace(p);
        if (std::strncmp(pAttribute, "?>", 2) == 0)
            return bLegacy;
        if (pAttribute == p)
            return false;  // attributes are separated by white space
        std::string strName;
        p = ReadName(pAttribute, &strName);
        if ((strName != "version" && strName != "encoding" && strName != "standalone") ||
            *p != '=' || (p[1] != '"' && p[1] != '\'')) {
            return false;
        }
        const char cQuote = p[1];
        const char* pValue = p + 2;
        const char* pClose = std::strchr(pValue, cQuote);
        if (pClose == nullptr)
            return false;
        const std::string strValue(pValue, pClose);
        if (strValue.find_first_of("&<>") != std::string::npos)
            return false;
        if (strName == "encoding") {
            std::string strLower;
            for (char c : strValue)
                strLower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            bLegacy = !strLower.empty() && strLower.compare(0, 4, "utf8") != 0 &&
                      strLower.compare(0, 5, "utf-8") != 0;
        }
        p = pClose + 1;
    }
}

bool StartsWithNoCase(const char* p, const char* pszHead) {
    for (; *pszHead != '\0'; ++p, ++pszHead) {
        if (std::tolower(static_cast<unsigned char>(*p)) != *pszHead)
            return false;
    }
    return true;
}

// Past a declaration at the top, p at "<?xml" (in any case), as TinyXML
// reads it: the attributes version, encoding and standalone are read whole,
// so a quoted value may hold a '>'; anything else is passed over up to a
// blank or a '>'; the first '>' outside them ends it. nullptr where TinyXML
// stops reading the document there (it fails the declaration or the text
// ends): nothing after it is read at all.
const char* SkipDeclaration(const char* p) {
    p += 5;
    while (*p != '\0') {
        if (*p == '>')
            return p + 1;
        p = SkipSpace(p);
        if (!StartsWithNoCase(p, "version") && !StartsWithNoCase(p, "encoding") &&
            !StartsWithNoCase(p, "standalone")) {
            while (*p != '\0' && *p != '>' && !IsSpace(*p))
                ++p;
            continue;
        }
        if (SkipAttribute(p) != Value::kRead)
            return nullptr;
    }
    return nullptr;
}

bool MayBeReadAsUtf8(const char* pszText) {
    if (StartsWith(pszText, "\xEF\xBB\xBF"))
        return true;
    for (const char* p = pszText; (p = std::strchr(p, '<')) != nullptr; ++p) {
        if (StartsWithNoCase(p, "<?xml") && !IsPlainLegacyDeclaration(p))
            return true;
    }
    return false;
}

// True when no byte that UTF-8 reading takes for the start of a longer
// character would take in a byte that ends text, a value or a tag, or the
// terminating zero (TinyXML would read on past it).
bool NoMarkupInUtf8Characters(const char* pszText) {
    for (const unsigned char* u = reinterpret_cast<const unsigned char*>(pszText); *u != 0; ++u) {
        const unsigned char c = *u;
        const int nLength = c >= 0xF5 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
        for (int i = 1; i < nLength; ++i) {
            if (u[i] == 0 || std::strchr("<>\"'", u[i]) != nullptr)
                return false;
        }
    }
    return true;
}

}  // namespace

bool XmlDepthWithin(const char* pszText, std::size_t nMaxDepth) {
    if (MayBeReadAsUtf8(pszText) && !NoMarkupInUtf8Characters(pszText))
        return false;
    std::vector<std::string> open;  // names of the elements TinyXML is inside
    const char* p = pszText;
    while (*p != '\0') {
        if (*p != '<') {
            ++p;
            continue;
        }
        if (p[1] == '/' && !open.empty()) {
            // Inside an element TinyXML wants exactly "</name", blanks, ">".
            std::string strName;
            p = SkipSpace(ReadName(p + 2, &strName));
            if (*p == '\0')
                return true;
            if (strName != open.back() || *p != '>')
                return false;
            open.pop_back();
            ++p;
        } else if (StartsWith(p, "<!--")) {
            p = SkipPast(p + 4, "-->");
        } else if (StartsWith(p, "<![CDATA[")) {
            p = SkipPast(p + 9, "]]>");
        } else if (p[1] == '?' && !open.empty()) {
            // A declaration inside an element: TinyXML reads its attributes
            // its own way; no manifest has one there.
            return false;
        } else if (StartsWithNoCase(p, "<?xml")) {
            // Read to its first '>', a quoted '>' would end it early here
            // and hide the tags that TinyXML goes on to read.
            p = SkipDeclaration(p);
            if (p == nullptr)
                return true;
        } else if (IsNameStart(p[1])) {
            std::string strName;
            p = ReadName(p + 1, &strName);
            switch (ReadAttributes(p)) {
                case Tag::kEnd:
                    return true;
                case Tag::kBroken:
                    return false;
                case Tag::kEmpty:
                    break;
                case Tag::kOpen:
                    if (open.size() >= nMaxDepth)
                        return false;
                    open.push_back(strName);
                    break;
            }
        } else {
            // Unknown nodes and stray end tags at the top: TinyXML reads
            // them up to the first '>'.
            p = SkipPast(p + 1, ">");
        }
    }
    return true;
}

bool XmlWithinLimits(const char* pszText) {
    return std::strlen(pszText) <= kMaxXmlBytes && XmlDepthWithin(pszText, kMaxXmlDepth);
}

bool ReadFileText(const std::string& strPath, std::size_t cbMax, std::string& strText) {
    return files::ReadWholeFile(strPath, cbMax, strText) == files::ReadResult::kOk;
}
