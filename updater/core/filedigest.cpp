#include "updater/core/filedigest.h"

#if defined(_WIN32)
#include <windows.h>

#include <algorithm>
#include <vector>

#include "templates/winhandle.h"
#else
#include <cstdio>
#endif

#include "kelmar/md5.h"
#include "kelmar/sha256.h"

namespace talvex {
namespace {

const char kUnreadable[] = " ";
constexpr unsigned int kPieceSize = 1024;
#if defined(_WIN32)
constexpr DWORD kReadBlock = 128 * 1024;
#endif

#if !defined(_WIN32)

class StdioFile {
public:
    explicit StdioFile(std::FILE* f) : m_pFile(f) {}
    ~StdioFile() {
        if (m_pFile != nullptr) {
            std::fclose(m_pFile);
        }
    }
    StdioFile(const StdioFile&) = delete;
    StdioFile& operator=(const StdioFile&) = delete;
    std::FILE* get() const { return m_pFile; }

private:
    std::FILE* m_pFile;
};

#endif

// Hands the bytes of the file to add in pieces of at most kPieceSize bytes,
// in order. False when the file cannot be opened or a read fails part way.
template <typename Add>
bool ReadPieces(const char* path, Add add) {
    if (path == nullptr) {
        return false;
    }
#if defined(_WIN32)
    // Sharing with writers too: the plaza or the engine may hold the file open for writing,
    // and a digest that differs only makes the file be fetched again.
    CFileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                 /*hTemplateFile=*/nullptr));
    if (!file.IsValid()) {
        return false;
    }
    // The digest still takes the file in 1024-byte pieces; underneath, one
    // ReadFile fills many pieces, as stdio's buffer does natively, because
    // under Wine each ReadFile is a round trip through the server.
    std::vector<unsigned char> block(kReadBlock);
    for (;;) {
        DWORD dwBytesRead = 0;
        if (!ReadFile(file.Get(), block.data(), kReadBlock, &dwBytesRead,
                      /*lpOverlapped=*/nullptr)) {
            return false;
        }
        if (dwBytesRead == 0) {
            return true;
        }
        for (DWORD dwAt = 0; dwAt < dwBytesRead; dwAt += kPieceSize) {
            add(block.data() + dwAt, std::min<DWORD>(kPieceSize, dwBytesRead - dwAt));
        }
    }
#else
    unsigned char buffer[kPieceSize];
    StdioFile file(std::fopen(path, "rb"));
    if (file.get() == nullptr) {
        return false;
    }
    // A larger stdio buffer behind the 1024-byte reads saves a system call per 4 KiB.
    std::setvbuf(file.get(), nullptr, _IOFBF, 128 * 1024);
    for (;;) {
        std::size_t got = std::fread(buffer, 1, kPieceSize, file.get());
        if (got > 0) {
            add(buffer, static_cast<unsigned int>(got));
        }
        if (got < kPieceSize) {
            // A folder, or a read error part way.
            return !std::ferror(file.get());
        }
    }
#endif
}

}  // namespace

std::string GetFileMD5(const char* path) {
    try {
        MD5 md5;
        if (!ReadPieces(path, [&](const unsigned char* p, unsigned int n) { md5.update(p, n); })) {
            return kUnreadable;
        }
        std::string digest = md5.toString();
        return digest.empty() ? kUnreadable : digest;
    } catch (...) {
        return kUnreadable;
    }
}

std::string GetFileSha256(const char* path) {
    try {
        kelmar::Sha256 sha256;
        if (!ReadPieces(path,
                        [&](const unsigned char* p, unsigned int n) { sha256.Update(p, n); })) {
            return std::string();
        }
        return sha256.HexDigest();
    } catch (...) {
        return std::string();
    }
}

}  // namespace talvex
