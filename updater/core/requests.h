// Filling the engine's request records: the two manifests and the
// installation files. Every text goes into its field whole or the request is
// refused: a cut address or path would fetch or write the wrong file.
#pragma once

#include <string>

#include "engine/downloadservice.h"
#include "updater/core/plazainfo.h"

// One file that needs updating, in manifest order. A new record is all zero.
struct NeedUpdateFile {
    char fileName[260];  // the entry's name, beginning with a separator
    char fileDate[40];   // the entry's digest text
    int isSpecial;       // nonzero: fetched into DownLoad\Special
};

// The plaza information file, beside the updater: its servers and keys.
const char kPlazaInfoName[] = "GamePlazaInfo.ziv";
// True when a manifest entry ("\GamePlazaInfo.ziv") names that file, as
// Windows compares names.
bool IsPlazaInfoEntry(const std::string& strName);

// The manifest names the engine saves into DownLoad.
const char kPlazaManifestName[] = "LastUpdateFiles.xml";
const char kGameManifestSuffix[] = "_UpdateFiles.xml";

// Each Fill* clears req first. On false, req is all zero again and
// strProblem holds a log line naming the value that does not fit.

// The plaza manifest, command 2.
bool FillPlazaManifestRequest(const UpdaterConfig& config, DownLoadRequest& req,
                              std::string& strProblem);

// One game's manifest, command 5. szFileName carries the manifest name cut
// to 127 bytes on a character boundary (the engine does not build a path
// from it); the name, the save name and the addresses must fit whole.
bool FillGameManifestRequest(const UpdaterConfig& config, const std::string& strGameName,
                             DownLoadRequest& req, std::string& strProblem);

// File nIndex of a batch of nCount. pszGameName and bForGame come from the
// game manifest's finished task for a game update ("" and 0 for the plaza).
// With a key, the plaza information file is saved into DownLoad, not over
// the installed one: it names the keys, so the updater reads it before it
// installs it (CUpdateRun).
bool FillFileRequest(const UpdaterConfig& config, const NeedUpdateFile& file, int nCount,
                     int nIndex, const char* pszGameName, unsigned char bForGame,
                     DownLoadRequest& req, std::string& strProblem);

// "<program folder>DownLoad\LastUpdateFiles.xml" and "...\<game>_UpdateFiles.xml":
// where the engine saves each manifest.
std::string PlazaManifestPath(const UpdaterConfig& config);
std::string GameManifestPath(const UpdaterConfig& config, const std::string& strGameName);

// The installed copy of a file: the program folder without its trailing
// backslash, then the name with its own leading separator.
std::string LocalFilePath(const UpdaterConfig& config, const std::string& strName);
