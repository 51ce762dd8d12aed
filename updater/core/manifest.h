// Reading an update manifest: the plaza manifest (files, then games) or one
// game's manifest (files only). Elements are found by position, never by
// name. Everything that is read comes from the network, so every value is
// checked before anything acts on it.
#pragma once

#include <string>
#include <vector>

struct ManifestFileEntry {
    std::string strName;   // "\sub\x.dll": relative to the installation folder
    std::string strDate;   // the MD5 digest text
    std::string strBytes;  // the size text; empty when the attribute is missing
    int nIsSpecial = 0;    // nonzero: replaced through DownLoad\Special
};

struct Manifest {
    std::vector<ManifestFileEntry> files;  // in document order
    std::vector<std::string> games;        // plaza manifest only, in document order
};

enum class ManifestStatus {
    Ok,
    LoadFailed,     // missing, unreadable or not XML
    RootTextFirst,  // the root's first node is text: not a manifest
    Refused,        // parsed, but a section, attribute or value is missing or unsafe
};

// Loads the manifest at strPath (a path in the local multi-byte code page).
// With bPlaza the root's second child element is the game section, and it
// must exist. On Refused, strProblem holds a log line naming the entry.
ManifestStatus ReadManifest(const std::string& strPath, bool bPlaza, Manifest& manifest,
                            std::string& strProblem);

// The same from text in memory, for the tests and for callers that hold the text.
ManifestStatus ParseManifest(const char* pszText, bool bPlaza, Manifest& manifest,
                             std::string& strProblem);

// A file name stays inside the installation folder: it begins with exactly
// one separator, every step between separators is a non-empty ordinary name
// (no "." or ".." step, nothing made only of dots and blanks, which Windows
// would shorten to one), and it holds no drive or stream colon, no control
// character and no wildcard or reserved character.
bool IsSafeFileName(const std::string& strName, std::string& strWhy);

// A special file's name is also written into SpecialCpy.bat: none of the
// characters the command interpreter acts on inside a quoted argument may
// appear (" % ^ & | < > and line ends).
bool IsBatchSafeName(const std::string& strName);

// A game name becomes "<name>.exe" in the installation folder and
// "<name>_UpdateFiles.xml" in DownLoad: it must be one plain file name step.
bool IsSafeGameName(const std::string& strName);
