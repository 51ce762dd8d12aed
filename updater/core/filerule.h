// The per-file rule: does the installed copy of a manifest entry differ from
// the release? Existence first, then the size text, and only when the size
// agrees the digest, so that a missing or resized file is never read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    // How many files the rule may judge at once, each on a thread of its own.
    // A probe that answers more than 1 must be safe to call from that many
    // threads together.
    virtual unsigned int ConcurrentFiles() { return 1; }
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

// The rule over a whole manifest: element i tells whether entries[i] must be
// fetched, its installed copy being at localPaths[i] (both lists are of one
// length). The answers are those of FileNeedsUpdate, in list order, but up to
// probe.ConcurrentFiles() files are judged at once, since an installation of
// thousands of files spends its decision reading them. An exception from the
// probe is rethrown here once every thread has ended.
std::vector<bool> FilesNeedingUpdate(const std::vector<ManifestFileEntry>& entries,
                                     const std::vector<std::string>& localPaths, IFileProbe& probe);
