// Writing a tool's output file so that a reader never sees it half-written.
#pragma once

#include <string>

namespace zivtool {

// Writes `bytes` into a temporary file beside `path`, then renames it over `path` (replacing
// an existing file). On failure `path` is left as it was, the temporary file is removed and
// `*error` says what failed.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error);

// Switches standard output to binary (no line-end translation on Windows).
void SetStdoutBinary();

}  // namespace zivtool
