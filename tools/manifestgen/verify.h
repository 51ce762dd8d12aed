// manifestgen verify: checks a published release from the outside, the way
// the updater sees it. It fetches the plaza manifest, each game's manifest
// and every file they list from the server, and reports each file that is
// missing or differs in size or digest and each manifest whose signature or
// expiry fails. Natively over libcurl; the Windows build leaves it out.
#pragma once

#include <string>

struct VerifyOptions {
    std::string strServer;      // updateGameUrl: a printf-style address with one %s
    std::string strXmlPath;     // updateGameXMLtUrl
    std::string strClientPath;  // updateGameClientUrl
    std::string strKeyPath;     // a NAME.pub (or its line); empty: signatures are not checked
    bool bForceProgress = false;
};

// Prints its findings on stdout and a progress line on stderr when that is a
// terminal. Returns the process exit code: 0 when everything served matches,
// 1 when something differs, 2 for unusable options, 3 when no manifest
// could be read at all.
int VerifyRelease(const VerifyOptions& options);

// The path the updater asks for, as it goes on the wire: backslashes become
// slashes and every byte outside the plain URL characters (code page 936
// bytes included) is percent-encoded, so the server looks the name up by
// its code page 936 bytes.
std::string EncodeRequestPath(const std::string& strName);
