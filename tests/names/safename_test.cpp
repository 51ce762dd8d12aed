// The one name rule: every name of the shared table gets its verdict, and
// the two helpers built on the same character walk (batch characters and
// the key under which Windows takes two names for one file).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "names/safename.h"
#include "tests/names/nametable.h"

namespace {

std::string Shown(const std::string& strText) {
    std::string strShown;
    for (unsigned char c : strText) {
        char szByte[8];
        std::snprintf(szByte, sizeof(szByte), c < 0x20 || c >= 0x7F ? "<%02X>" : "%c", c);
        strShown += szByte;
    }
    return strShown;
}

TEST(SafeName, TheTable) {
    for (const NameCase& c : NameCases()) {
        EXPECT_EQ(static_cast<int>(c.fault), static_cast<int>(names::CheckRelativePath(c.strPath)))
            << Shown(c.strPath);
    }
}

TEST(SafeName, BatchCharacters) {
    struct Case {
        std::string strText;
        bool bHas;
    };
    const Case cases[] = {
        {"\\a b(1).dll", false},
        {"\\游戏.dll", false},
        {"\\a\x95\x7C.dll", false},  // trail byte 0x7C, not a bar
        {"\\a%b", true},
        {"\\a^b", true},
        {"\\a&b", true},
        {"\\a|b", true},
        {"\\a<b", true},
        {"\\a>b", true},
        {"\\a\"b", true},
        {"\\a\rb", true},
        {"\\a\nb", true},
        {"\\a\x81", true},  // a cut character
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.bHas, names::HasBatchCharacter(c.strText)) << Shown(c.strText);
}

TEST(SafeName, NamesWindowsTakesForOneFile) {
    struct Case {
        std::string strA, strB;
        bool bSame;
    };
    const Case cases[] = {
        {"\\A.dll", "\\a.dll", true},
        {"\\sub\\X.DLL", "/SUB/x.dll", true},
        {"\\\xA3\xC1.txt", "\\\xA3\xE1.txt", true},  // full-width A and a
        {"\\\xA6\xA1", "\\\xA6\xC1", true},          // Greek alpha
        {"\\\xA7\xA1", "\\\xA7\xD1", true},          // Cyrillic A
        {"\\\xA2\xF1", "\\\xA2\xA1", true},          // Roman numeral one
        {"\\\xA3\xDA", "\\\xA3\xFA", true},          // full-width Z and z: the last of each range
        {"\\\xA6\xB8", "\\\xA6\xD8", true},          // Greek omega
        {"\\\xA7\xC1", "\\\xA7\xF1", true},          // Cyrillic ya
        {"\\\xA2\xFA", "\\\xA2\xAA", true},          // Roman numeral ten
        {"\\a.dll", "\\b.dll", false},
        {"\\\xA3\xC1", "\\\xA3\xC2", false},
        {"\\\x95\x41", "\\\x95\x61", false},  // trail bytes are no letters
        {"\\a.dll", "\\a.dll.bak", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.bSame, names::NameKey(c.strA) == names::NameKey(c.strB))
            << Shown(c.strA) << " / " << Shown(c.strB);
    }

    struct Listing {
        std::vector<std::string> paths;
        bool bCollides;
        std::size_t nFirst, nSecond;
    };
    const Listing listings[] = {
        {{"\\a.dll", "\\b.dll", "\\sub\\a.dll"}, false, 0, 0},
        {{"\\a.dll", "\\b.dll", "\\A.DLL"}, true, 0, 2},
        {{"\\sub", "\\x", "\\Sub\\x.dll"}, true, 0, 2},  // a file that is another's folder
        {{"\\sub\\x.dll", "\\SUB"}, true, 0, 1},
        {{"\\\x95\x5C\\x", "\\\x95\x5C"}, true, 0, 1},  // the folder ends in trail byte 0x5C
        {{"\\\x95\x5Cx", "\\\x95"}, false, 0, 0},
    };
    for (const Listing& l : listings) {
        std::size_t nFirst = 99, nSecond = 99;
        const bool bCollides = names::FindCollision(l.paths, nFirst, nSecond);
        EXPECT_EQ(l.bCollides, bCollides) << Shown(l.paths.back());
        if (l.bCollides && bCollides) {
            EXPECT_EQ(l.nFirst, nFirst) << Shown(l.paths.back());
            EXPECT_EQ(l.nSecond, nSecond) << Shown(l.paths.back());
        }
    }
}

}  // namespace
