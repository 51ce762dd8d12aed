// The decoded plaza information file: the update switch and the server
// addresses, and the updater's configuration derived from them.
#pragma once

#include <string>

struct PlazaInfo {
    int nEnableUpdate = 0;                  // isEnableUpdate as atoi reads it; 0 disables
    std::string strDownLoadGameUrl;         // updateGameUrl
    std::string strDownLoadGameUrlReserve;  // updateGameUrlReserve
    std::string strUpdateGameXMLUrl;        // updateGameXMLtUrl
    std::string strUpdateGameClientUrl;     // updateGameClientUrl
    std::string strUpdatePublicKey;         // updatePublicKey: signed manifests (manifesttrust.h)
    std::string strUpdatePublicKey2;        // updatePublicKey2: the publisher's offline key
    std::string strUpdateHttpsOnly;         // updateHttpsOnly: nonzero refuses plain http
    // updatePublicKey, updatePublicKey2 or updateHttpsOnly on the root
    // element, where they are never read: a key put there would leave the
    // installation unsigned.
    bool bTrustOnRoot = false;
};

// Parses the decoded XML text (code page 936, kept as stored). The root
// carries isEnableUpdate; for each of the four address attributes the first
// child element, in document order, with a non-empty value supplies it.
// Returns false when the text does not parse (or is larger or nested deeper
// than outside XML may be, see xmllimits.h), has no root element, or the
// root lacks isEnableUpdate: such a file is as unusable as an empty one.
bool ParsePlazaInfo(const char* pszXmlText, PlazaInfo& info);

// Everything later steps read: the program folder and the four base addresses.
struct UpdaterConfig {
    std::string strProgramFolder;  // ends in a backslash; also the current directory
    std::string strFileBase;       // installation files, primary
    std::string strXmlBase;        // manifests, primary
    std::string strFileBaseReserve;
    std::string strXmlBaseReserve;
    std::string strPublicKey;  // the publisher's 64-byte key; empty: manifests are not signed
    // A second 64-byte key whose signatures count as well, kept offline so
    // that a stolen first key does not lock the publisher out; empty when
    // none is named, and always empty without strPublicKey.
    std::string strPublicKey2;
};

// Fills the four base addresses of config from info: each is the server text
// (primary or reserve) applied to a path (updateGameClientUrl or
// updateGameXMLtUrl), and stays empty unless both are present. Returns false
// with a log line in strProblem when a server text holds a conversion other
// than one "%s" or a result would pass 499 characters; the addresses are then
// unusable and the caller stops.
bool BuildServerAddresses(const PlazaInfo& info, UpdaterConfig& config, std::string& strProblem);
