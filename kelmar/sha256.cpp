#include "kelmar/sha256.h"

namespace kelmar {

bool Sha256::Digest(unsigned char (&digest)[32]) noexcept {
    return m_pState != nullptr && Finish(digest);
}

std::string Sha256::HexDigest() noexcept {
    unsigned char digest[32];
    if (!Digest(digest))
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    char szText[2 * sizeof(digest)];
    for (std::size_t i = 0; i < sizeof(digest); ++i) {
        szText[2 * i] = kHex[digest[i] >> 4];
        szText[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    try {
        return std::string(szText, sizeof(szText));
    } catch (...) {
        return std::string();
    }
}

}  // namespace kelmar
