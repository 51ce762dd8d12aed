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
    // The SHA-256 text as written (empty when missing): only signed
    // manifests carry it, and only a signed run reads it (IsSha256Text).
    std::string strSha256;
};

struct Manifest {
    std::vector<ManifestFileEntry> files;  // in document order
    std::vector<std::string> games;        // plaza manifest only, in document order
    // Game entries without a usable name (empty when the name is missing):
    // passed over, for the log.
    std::vector<std::string> skippedGames;
};

enum class ManifestStatus {
    Ok,
    LoadFailed,     // missing, unreadable or not XML
    RootTextFirst,  // the root's first node is text: not a manifest
    Refused,        // parsed, but a section, attribute or value is missing or unsafe
};

// Loads the manifest at strPath (a path in the local multi-byte code page).
// A file larger than 16 MiB or nested deeper than a manifest needs is
// LoadFailed before the XML parser sees it; so is one that is not XML.
// Every file entry must carry a digest (IsDigestText), and no two entries
// may name one file as Windows compares names.
// With bPlaza the root's second child element is the game section, and it
// must exist. On Refused, strProblem holds a log line naming the entry.
ManifestStatus ReadManifest(const std::string& strPath, bool bPlaza, Manifest& manifest,
                            std::string& strProblem);

// The same from text in memory, for the tests and for callers that hold the text.
ManifestStatus ParseManifest(const char* pszText, bool bPlaza, Manifest& manifest,
                             std::string& strProblem);

// A file name stays inside the installation folder: it begins with exactly
// one separator and the rest passes the shared name rule (names/safename.h):
// well-formed code page 936, no empty step, no step ending in a dot or a
// blank, no device name, no drive or stream colon, control character,
// wildcard or reserved character. strWhy names the fault for the log.
bool IsSafeFileName(const std::string& strName, std::string& strWhy);

// A special file's name is also written into SpecialCpy.bat: none of the
// characters the command interpreter acts on inside a quoted argument may
// appear (" % ^ & | < > and line ends), and no cut character may hide one.
bool IsBatchSafeName(const std::string& strName);

// A game name becomes "<name>.exe" in the installation folder and
// "<name>_UpdateFiles.xml" in DownLoad: it must be one step that passes the
// shared name rule.
bool IsSafeGameName(const std::string& strName);

// A digest as the common library writes it: 32 hexadecimal digits (either
// case; digests are compared without regard to case).
bool IsDigestText(const std::string& strDate);

// A SHA-256 digest text: 64 hexadecimal digits, either case.
bool IsSha256Text(const std::string& strSha256);
