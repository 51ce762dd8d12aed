// The per-file rule: does the installed copy of a manifest entry differ from
// the release? Existence first, then the size text, and only when the size
// agrees the digest, so that a missing or resized file is never read.
#pragma once

#include <cstdint>
#include <string>

#include "updater/core/manifest.h"

// The facts about a local file that the rule needs; the updater answers them
// with Windows calls, the tests with whatever fault they inject.
class IFileProbe {
public:
    virtual ~IFileProbe() = default;
    virtual bool Exists(const std::string& strPath) = 0;
    // False when the file's attributes cannot be read.
    virtual bool ReadSize(const std::string& strPath, std::uint64_t& qwSize) = 0;
    // The digest text of the whole file, or " " when it cannot be opened.
    virtual std::string Digest(const std::string& strPath) = 0;
};

// The size as the manifest writes it: the low 32 bits in signed decimal, so a
// file of 2 GiB or more has a negative size text ("0100" never equals "100").
std::string SizeText(std::uint64_t qwSize);

// True when the entry must be fetched: the file at strLocalPath is missing,
// its attributes cannot be read, its size text differs from the entry's
// bytes, or its digest differs from the entry's date (letter case aside: an
// upper-case digest in a manifest must not fetch the file on every run).
bool FileNeedsUpdate(const ManifestFileEntry& entry, const std::string& strLocalPath,
                     IFileProbe& probe);
