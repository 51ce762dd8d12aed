// CUserTitle: score and level titles from two XML title tables. Quorle.dll
// exports the whole class; the plaza links against it and makes its own
// objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "titletable.h"

#if defined(_WIN32)
#if defined(QUORLE_BUILDING)
#define QUORLE_CLASS __declspec(dllexport)
#else
#define QUORLE_CLASS __declspec(dllimport)
#endif
#else
#define QUORLE_CLASS __attribute__((visibility("default")))
#endif

// Construct, Init once, then ask in any order. One thread at a time; Init
// must finish before the lookups start. No member throws: every one of them
// is called across the library's boundary. Texts are code page 936 bytes as
// the files hold them.
class QUORLE_CLASS CUserTitle {
public:
    CUserTitle();
    ~CUserTitle();
    CUserTitle(const CUserTitle&) = delete;
    CUserTitle& operator=(const CUserTitle&) = delete;

    // Appends the rows of the score table file, then those of the level table
    // file, after any rows already read (a second Init doubles the tables).
    // A file that is missing or not well-formed XML adds nothing; the other
    // file is still read. Running out of memory stops Init with the rows read
    // so far kept. Nothing is reported to the caller.
    void Init(const char* pszScoreFile, const char* pszLevelFile);

    // The experience to leave the level at position dwLevel (from 0, in file
    // order, not by "lv"); past the last row, the last row's. 0 when the level
    // table is empty.
    std::int32_t GetLvUpExp(std::uint32_t dwLevel) const;

    // The title of the last row, in file order, whose "lv" (as an unsigned
    // number, so a negative "lv" is never reached) is not above dwLevel; the
    // first row's title when there is none; empty for an empty table.
    std::string GetLvTileName(std::uint32_t dwLevel) const;

    // The same rule over the score table, compared as signed numbers.
    std::string GetScoreTileName(std::int32_t lScore) const;

    // Score title, "的", level title, without spaces; "的" alone when both
    // tables are empty. An empty string only when out of memory.
    std::string GetTitleName(std::int32_t lScore, std::uint32_t dwLevel) const;

private:
    std::vector<tagScoreTitle> m_ScoreTitleArray;
    std::vector<tagLevelTitle> m_LevelTitleArray;
};
