// The rows of the two XML title tables and how they are read from a parsed
// document. Pure: the caller loads the document.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TiXmlDocument;

// One row of the score title table: the smallest score that earns the title.
struct tagScoreTitle {
    std::int32_t lScore;
    std::string strItemTitle;
};

// One row of the level title table: the level that earns the title, and the
// experience needed to leave the row's level.
struct tagLevelTitle {
    std::int32_t lLevel;
    std::string strItemTitle;
    std::int32_t lLvUpExp;
};

// An integer attribute by the atoi rule: leading blanks, an optional sign,
// decimal digits up to the first other byte; no digits gives 0. An absent
// attribute (null) gives 0, and a number beyond 32 bits is held at the
// nearest bound, as the Windows runtime's atoi does.
std::int32_t ReadTitleInteger(const char* pszText);

// Appends a row for each element child of the document's root, in document
// order, reading "Score" and "Title". A document without a root element
// gives no rows. Titles are the parser's bytes (entities decoded), no code
// page conversion; an absent "Title" is empty. Throws std::bad_alloc.
void ReadScoreTitles(const TiXmlDocument& doc, std::vector<tagScoreTitle>* pRows);

// The same over "lv", "Title" and "LvUpExp".
void ReadLevelTitles(const TiXmlDocument& doc, std::vector<tagLevelTitle>* pRows);
