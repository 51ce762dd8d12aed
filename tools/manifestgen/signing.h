// Signing what manifestgen publishes: the two attributes a signed manifest
// carries on its root element, and the .sig written beside each manifest.
// The updater checks them (updater/core/manifesttrust.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kelmar/ecdsa.h"

struct SigningOptions {
    std::string strKeyPath;        // --sign-key: the private key, PEM; empty: do not sign
    bool bSequenceGiven = false;   // --sequence
    std::uint64_t qwSequence = 0;  //
    std::int64_t llExpires = 0;    // seconds since 1970 UTC, from --expires
};

// --expires: "30d", "12h" (from now) or "2027-01-31T08:00:00Z"; ahead of
// llNow by at most kMaxExpiresAheadSeconds, which the updater enforces too.
bool ParseExpiry(const std::string& strValue, std::int64_t llNow, std::int64_t& llExpires);

// The manifest text with name (strName, the manifest's own file name in code
// page 936), sequence and expires on its root element, which manifestgen
// always writes as the first "<update" of the text.
std::string WithSignedAttributes(const std::string& strXml, const std::string& strName,
                                 std::uint64_t qwSequence, std::int64_t llExpires);

// The highest sequence among the manifest texts, 0 when none carries one.
std::uint64_t HighestSequence(const std::vector<std::string>& manifestTexts);

// keygen: NAME.pem (private, readable by its owner only where the system
// allows) and NAME.pub (the line the plaza information file holds). Refuses
// to overwrite an existing key. False with strError.
bool WriteNewKeyPair(const std::string& strName, std::string& strError);

// Reads the private key of --sign-key.
bool LoadSigningKey(const std::string& strPath, kelmar::EcdsaKeyPair& keyPair,
                    std::string& strError);

// Reads a NAME.pub file (or the line itself) into the 64 raw bytes.
bool LoadPublicKey(const std::string& strPath, std::string& strPublic, std::string& strError);
