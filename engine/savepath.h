// Where a fetched file goes: the path rules of the engine, free of Windows
// calls. Every text is code page 936, so a byte scan must step over
// double-byte characters: their trail byte may be 0x5C, the backslash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pellowd {

// True for a first byte of a double-byte character in code page 936.
inline bool IsLeadByte936(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

// A save name is a path relative to the save folder that passes the name
// rule the updater also applies (names/safename.h): well-formed code page
// 936, steps separated by "\" or "/", none empty, none ending in a dot or a
// blank, no device name, no drive or stream colon, no character Windows
// refuses in a name. Anything else could write outside the folder the
// request names, or open a device.
bool IsSafeSaveName(const std::string& strName);

// szSaveDir + "\" + szSaveName, with "/" in the name turned into "\" and no
// second separator when the folder already ends in one.
// Example: ("C:\game\DownLoad", "sub/x.dll") -> "C:\game\DownLoad\sub\x.dll".
std::string JoinSavePath(const std::string& strDir, const std::string& strName);

// The folder part of a path (everything before its last separator), or
// empty when it has none.
std::string ParentFolder(const std::string& strPath);

// The folders to create, outermost first, so that the parent of strPath
// exists: every prefix ending before a separator, after the root ("C:\",
// "\\server\share\" or a leading "\"). Creating an existing one is harmless.
// Example: "C:\a\b\c.txt" -> {"C:\a", "C:\a\b"}.
std::vector<std::string> FoldersToCreate(const std::string& strPath);

// The temporary file a transfer writes before it replaces strTarget: in the
// same folder (so the final move is a rename on one volume), named
// "~PellowD-PPPPPPPP-RRRRRRRR-TTTTTTTT.tmp" after the process id, a random
// number drawn once per engine and the engine's task number, so that neither
// the transfers of one engine nor two engines in other processes (even one
// that got a dead process's id) ever share one. Its name has
// DOWNLOAD_TEMP_NAME_LENGTH characters.
std::string TempPathFor(const std::string& strTarget, std::uint32_t nProcessId,
                        std::uint32_t nNonce, unsigned nTaskId);

// True when strName (a file name without folder) is a temporary file of this
// engine; *pnProcessId is then the id of the process that wrote it.
bool ParseTempName(const std::string& strName, std::uint32_t* pnProcessId);

// Where a large file's download keeps what has arrived, so that a run cut
// short (killed, stopped, the link dropped) continues from it: in the
// target's folder, named after the file's expected digest,
// "~PellowD-DDDDDDDDDDDDDDDDDDDDDDDDD.part" (its first 25 hexadecimal digits
// in lower case), as long as a temporary name. Only a file with that digest
// ever comes out of it, whatever it holds: the digest is checked at the end.
std::string PartialPathFor(const std::string& strTarget, const std::string& strMD5);

// True when strName (a file name without folder) is a partial file of this
// engine; *pstrDigestPrefix is then its digest's first 25 digits.
bool ParsePartialName(const std::string& strName, std::string* pstrDigestPrefix);

// True when both strTarget and its temporary file are shorter than MAX_PATH
// (260), the limit of the multi-byte file functions.
bool SavePathFits(const std::string& strTarget);

}  // namespace pellowd
