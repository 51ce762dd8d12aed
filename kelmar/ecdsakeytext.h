// The text forms of release-signing keys, shared by the publisher's tool
// (which writes them) and the updater (which reads the public one):
//
//   public key   one line, "ecdsa-p256:" and the base64 of the 64 raw bytes
//                (X || Y), as the plaza information file holds it
//   private key  PEM "EC PRIVATE KEY" (RFC 5915 / SEC 1, named curve P-256,
//                public key included), which OpenSSL's own tools also read
//
// Data in, data out: nothing here touches a file or a provider.
#pragma once

#include <string>

#include "kelmar/ecdsa.h"

namespace kelmar {

// Standard base64 with padding, no line breaks.
std::string Base64Encode(const std::string& strBytes);
// Strict: only the 64 letters, '=' padding at the end, length a multiple of 4.
// False (strBytes cleared) on anything else.
bool Base64Decode(const std::string& strText, std::string& strBytes);

std::string EcdsaPublicKeyText(const std::string& strPublic);
// Blanks around the text are ignored; the prefix must match exactly.
bool ParseEcdsaPublicKeyText(const std::string& strText, std::string& strPublic);

std::string EcdsaPrivateKeyPem(const EcdsaKeyPair& keyPair);
// Reads the one form EcdsaPrivateKeyPem writes (and OpenSSL writes for a
// P-256 key with "openssl ec"). False for any other key or curve.
bool ParseEcdsaPrivateKeyPem(const std::string& strPem, EcdsaKeyPair& keyPair);

}  // namespace kelmar
