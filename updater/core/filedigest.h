// The digest of an installed file, compared by the update decision with the manifest's
// digest text.
#pragma once

#include <string>

namespace talvex {

// The MD5 digest text of the bytes of the file `path`: 32 lower-case hexadecimal digits.
//
// The file is opened for reading as raw bytes, sharing it with other readers and writers
// (Windows), and read in pieces of 1024 bytes. Returns " " (one space, which never equals a
// digest text) when the file cannot be opened: missing, a folder, or held by another process
// without sharing; and also when a read fails part way, since the digest of part of a file
// would look valid. Never throws.
std::string GetFileMD5(const char* path);

// The SHA-256 digest text of the same bytes, read the same way: 64 lower-case
// hexadecimal digits, or empty text when GetFileMD5 would give " ".
std::string GetFileSha256(const char* path);

}  // namespace talvex
