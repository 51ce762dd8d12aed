// One updater per installation at a time: two would write the same
// temporary files and the same SpecialCpy.bat. The updater holds a named
// mutex for its installation folder while it runs.
#pragma once

#include <string>

// The mutex name for an installation folder. Folders that Windows takes for
// one ("D:\Plaza\", "d:/plaza") give one name; the folder is hashed, as a
// mutex name may hold no backslash and is limited in length.
// Example: "D:\Plaza\" -> "Global\ZIVTalvex-" and 16 hexadecimal digits.
std::string InstanceMutexName(const std::string& strProgramFolder);
