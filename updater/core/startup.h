// What the updater reads and decides at start-up, before it asks the network
// for anything: its own folder, the plaza information file beside it, the
// servers and keys that file names, and the game the command line names.
#pragma once

#include <string>

#include "updater/core/manifesttrust.h"
#include "updater/core/plazainfo.h"

enum class StartupStatus {
    Ready,                // everything read: ask for the manifest
    UpdateDisabled,       // isEnableUpdate is 0: hand over at once
    FolderUnusable,       // the program's path names no usable folder
    PlazaInfoMissing,     // no plaza information file beside the program
    PlazaInfoUnreadable,  // it cannot be read, decoded or parsed
    ConfigRefused,        // a server address or trust setting in it is unusable
};

struct StartupSettings {
    StartupStatus status = StartupStatus::FolderUnusable;
    // The program folder for every status but FolderUnusable; the addresses
    // and keys only when Ready.
    UpdaterConfig config;
    int nEnableUpdate = 0;    // as the plaza information file gives it
    std::string strGameName;  // the game to update; empty: the plaza
    // Unless Ready or UpdateDisabled: the log line and the box that end the run.
    std::string strLogLine;
    std::string strMessage;
};

// Reads the start-up settings. strExePath is the program's own path as the
// system gave it, bExePathWhole false when it filled the buffer and may have
// been cut (a cut folder is never run from); strCommandLine is the whole
// command line. The plaza information file is read through files. The
// checks come in the order their failures are reported: the folder, the
// file's presence, its reading, the update switch, then the addresses and
// the trust settings; the command line is read last. Nothing is written.
StartupSettings ReadStartup(const std::string& strExePath, bool bExePathWhole,
                            const std::string& strCommandLine, IManifestTrustHost& files);

// Reads and decodes the plaza information file at strPath into its stored
// bytes and its parsed values; false when it cannot be read whole, is no
// valid .ziv or does not parse.
bool ReadPlazaInfoFile(IManifestTrustHost& files, const std::string& strPath, std::string& strBytes,
                       PlazaInfo& info);
