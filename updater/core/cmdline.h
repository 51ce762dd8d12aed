// The updater's command line: an optional "-gamename:G" token names the one
// game to update; without it the plaza is updated.
#pragma once

#include <string>

// Splits strCmdLine (program path included) at every single blank, quotes not
// treated specially. The first token whose part before its first ":" equals
// "-gamename" in any letter case ends the scan: the text between its first and
// second ":" is the game name (empty when the token has no ":"). Returns the
// game name, or empty text when the plaza is to be updated.
//   "Talvex.exe -gamename:A:B" -> "A";  "x -gamename:My Game" -> "My"
std::string ScanGameName(const std::string& strCmdLine);
