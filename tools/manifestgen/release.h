// Publishing a release: the files of a release folder become the plaza
// manifest "LastUpdateFiles.xml" and one "<game>_UpdateFiles.xml" per game.
//
// The scan (which touches the file system) is kept apart from the planning
// and the XML text (data in, data out), so both can be tested on their own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One file of the release, as the updater will see it.
struct ReleaseFile {
    std::string strRelative;  // "sub/x.dll": '/'-separated, UTF-8 on every platform
    std::string strName;      // "\sub\x.dll": the manifest name, code page 936
    std::uint64_t qwSize = 0;
    std::string strDigest;  // lower-case hexadecimal MD5 text
    std::string strSha256;  // lower-case hexadecimal SHA-256 text; signed releases only
    bool bSpecial = false;
};

struct GameRule {
    std::string strName;                // code page 936 (used in file names and XML)
    std::vector<std::string> patterns;  // the game's files; default NAME.exe and NAME/**
};

struct PublishOptions {
    std::vector<std::string> specialPatterns;
    std::vector<GameRule> games;
};

// Matches a '/'-separated relative path against a pattern: '*' and '?' stay
// inside one folder step, '**' spans steps ("**/x.dll" also matches "x.dll").
// Letter case is ignored for ASCII, as Windows names are.
bool MatchPattern(const std::string& strPattern, const std::string& strPath);

// The size text of a manifest: the low 32 bits in signed "%d", so a file of
// 3 GiB reads "-1073741824", exactly as the updater writes a local size.
std::string SizeText(std::uint64_t qwSize);

// Why a release cannot be published as it stands; empty when it can.
struct Refusal {
    std::string strFile;  // the file or game concerned, as found in the release
    std::string strWhy;   // English, for the publisher
};

struct Manifests {
    std::string strPlaza;                                    // LastUpdateFiles.xml
    std::vector<std::pair<std::string, std::string>> games;  // file name, text
};

// Sorts the files into the plaza's and each game's, marks special files, and
// checks every name against what the updater accepts. Refusals list every
// file the updater would refuse; the manifests are only valid without any.
Manifests PlanManifests(std::vector<ReleaseFile>& files, const PublishOptions& options,
                        std::vector<Refusal>& refusals);

// The XML text of one manifest, code page 936, declared as such so that
// the parser takes the bytes as they are. A file with a SHA-256 text carries
// it as sha256.
std::string ManifestXml(const std::vector<const ReleaseFile*>& files,
                        const std::vector<std::string>* pGames);

// The text as it may stand inside a quoted XML attribute value.
std::string XmlEscaped(const std::string& strText);

// Scanning. The callback sees every file as its digest completes.
struct ScanProgress {
    std::uint64_t qwFilesDone = 0, qwFilesTotal = 0;
    std::uint64_t qwBytesDone = 0, qwBytesTotal = 0;
};

// Lists the regular files under strRoot (sorted, '/'-separated relative
// paths) with their sizes and manifest names. False with strError when the
// folder cannot be read or a name has no code page 936 form.
bool ListRelease(const std::string& strRoot, std::vector<ReleaseFile>& files,
                 std::string& strError);

// Called with the chunk index of every file of at least
// chunks::kIndexThreshold bytes, right after its digest; false (with
// strError) stops the scan.
typedef std::function<bool(const ReleaseFile&, const std::string& strIndex, std::string& strError)>
    IndexSink;

// Computes every file's digest, with bSha256 its SHA-256 as well, and with
// onIndex its chunk index, all from the same read. False with strError on a
// read error.
bool DigestRelease(const std::string& strRoot, std::vector<ReleaseFile>& files, bool bSha256,
                   const std::function<void(const ScanProgress&)>& onProgress,
                   std::string& strError, const IndexSink& onIndex = IndexSink());

// Where a file's chunk index goes in the folder served as the clients'
// files: the file's manifest name (code page 936, as a server holds the
// files the updater asks for by those bytes) plus the index suffix.
std::string IndexPathFor(const std::string& strClientDir, const ReleaseFile& file);

// Writes text to strPath through a temporary file in the same folder, so a
// reader sees the old file or the new one, never a part.
bool WriteFileAtomically(const std::string& strPath, const std::string& strText,
                         std::string& strError);
