// ECDSA over P-256 with SHA-256, for signed release manifests. Exactly one
// backend is compiled into a binary: ecdsa_openssl.cpp natively, ecdsa_cng.cpp
// for Windows. Both take and give the same raw forms, so a key or signature
// made by one is accepted by the other:
//   private key  32 bytes, the scalar d, big-endian
//   public key   64 bytes, X then Y, each 32 bytes big-endian
//   signature    64 bytes, r then s, each 32 bytes big-endian
//
// None of these functions throws; each is safe on any thread.
#pragma once

#include <cstddef>
#include <string>

namespace kelmar {

constexpr std::size_t kEcdsaPrivateKeySize = 32;
constexpr std::size_t kEcdsaPublicKeySize = 64;
constexpr std::size_t kEcdsaSignatureSize = 64;

struct EcdsaKeyPair {
    std::string strPrivate;  // d
    std::string strPublic;   // X || Y
};

// A fresh key pair from the platform's random source. False when the
// provider cannot make one.
bool EcdsaGenerateKeyPair(EcdsaKeyPair& keyPair) noexcept;

// Signs the SHA-256 digest of strMessage. False, with strSignature empty, when
// the key is malformed or the provider fails.
bool EcdsaSign(const EcdsaKeyPair& keyPair, const std::string& strMessage,
               std::string& strSignature) noexcept;

// True when the 64 bytes are a point of P-256 that the provider imports as a
// public key: a key that is not would fail every signature it is asked about.
bool EcdsaPublicKeyValid(const std::string& strPublic) noexcept;

// True only when strSignature is a valid signature of strMessage's SHA-256
// digest under strPublic. A malformed key or signature is simply not valid.
bool EcdsaVerify(const std::string& strPublic, const std::string& strMessage,
                 const std::string& strSignature) noexcept;

}  // namespace kelmar
