// The text of SpecialCpy.bat, which moves the special files from
// DownLoad\Special into place once the updater has ended, starts the plaza
// and deletes itself.
#pragma once

#include <string>
#include <vector>

#include "updater/core/requests.h"

// The texts of the batch file in the order they are written, one text per
// write: the delay, one copy line per special file in list order, the removal
// of DownLoad\Special (two lines in one text), the plaza start, the
// self-deletion. Code page 936 bytes, CR LF line ends, no terminator. Names
// come from a checked manifest (IsSafeFileName, IsBatchSafeName): the batch
// file holds only lines of these forms.
std::vector<std::string> SpecialCopyBatTexts(const std::vector<NeedUpdateFile>& files);
