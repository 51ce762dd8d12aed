// The publisher's side of names: the manifest holds code page 936 text
// whatever the publishing machine uses. Natively names and arguments are
// UTF-8; on Windows paths are wide and arguments are in the ANSI code page.
#pragma once

#include <filesystem>
#include <string>

// The code page 936 form of a path; false when a character has none.
bool PathToCp936(const std::filesystem::path& path, std::string& strOut);

// A path from a command-line argument or a '/'-separated relative path.
std::filesystem::path PathFromArgument(const std::string& strArgument);

// A command-line argument (game name) in code page 936; false when it has none.
bool ArgumentToCp936(const std::string& strArgument, std::string& strOut);
