// SHA-256 digests of release files over the platform's own hash provider:
// OpenSSL natively (sha256_openssl.cpp), Windows CNG in the Windows build
// (sha256_cng.cpp). A signed manifest binds each file to it, since MD5 alone
// lets a maker of colliding pairs choose which twin is served.
//
// Feed bytes in order with Update(), then read HexDigest() or Digest() once. Nothing
// throws: when the provider cannot be used or fails, the digest is empty,
// which never equals a digest text. One object per thread at a time.
#pragma once

#include <cstddef>
#include <string>

namespace kelmar {

class Sha256 {
public:
    Sha256() noexcept;
    ~Sha256();

    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* pData, std::size_t cbData) noexcept;

    // 64 lower-case hexadecimal digits of every byte given so far, or empty
    // when the object failed. Ends the digest: later calls give empty text.
    std::string HexDigest() noexcept;

    // The same digest as 32 raw bytes; false when the object failed. Ends
    // the digest as HexDigest does.
    bool Digest(unsigned char (&digest)[32]) noexcept;

private:
    // The provider's part of HexDigest: the raw digest, and the state released.
    bool Finish(unsigned char (&digest)[32]) noexcept;

    void* m_pState;  // the provider's hash state; null once failed or finished
};

}  // namespace kelmar
