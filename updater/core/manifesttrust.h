// Signed manifests, the opt-in beside the published format. When the plaza
// information file holds the publisher's public key, each manifest arrives
// with "<manifest>.sig" (the ECDSA P-256 signature of its exact bytes) in the
// same request batch, and is used only when the signature verifies, its
// "expires" time lies ahead and its "sequence" is not below the last one this
// installation accepted for that manifest. Without a key none of this runs
// and the updater asks for and reads exactly what it always did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/downloadservice.h"
#include "updater/core/plazainfo.h"

// Where the last accepted sequence of every manifest is kept, beside the
// manifests the engine saves.
const char kSequenceStateName[] = "DownLoad\\SignedSequence.txt";
const char kSignatureSuffix[] = ".sig";
// A .sig holds 64 bytes; one of up to this size is read and fails its check
// as a bad signature rather than pass for a missing one.
const std::size_t kMaxSignatureFileBytes = 4096;
// How far ahead a signed manifest may expire, for manifestgen and the
// updater alike: a manifest replayed by a mirror (or signed with a stolen
// key) can hold an installation at its release for no longer than this.
const std::int64_t kMaxExpiresAheadSeconds = 90LL * 86400;

// What the run needs from the world for the checks. Called on the dialog's
// thread only; none of these throws.
class IManifestTrustHost {
public:
    virtual ~IManifestTrustHost() = default;
    // The whole file, when it exists and holds at most cbMax bytes.
    virtual bool ReadWholeFile(const std::string& strPath, std::size_t cbMax,
                               std::string& strBytes) = 0;
    // Replaces strPath in one step: a reader sees the old bytes or the new.
    virtual bool ReplaceFile(const std::string& strPath, const std::string& strBytes) = 0;
    // Removes a file; a missing one is no failure.
    virtual void RemoveFile(const std::string& strPath) = 0;
    // Every file under strFolder at any depth, as paths relative to it with
    // "\" between steps; none when the folder is missing. False when the
    // folder is there but cannot be listed whole.
    virtual bool ListFiles(const std::string& strFolder, std::vector<std::string>& files) = 0;
    // True only when nothing stands at strPath (neither it nor its folder is
    // found); a file that is there but cannot be read is not missing.
    virtual bool IsMissing(const std::string& strPath) = 0;
    // Seconds since 1970-01-01 00:00 UTC.
    virtual std::int64_t Now() = 0;
    // The SHA-256 text of a file (64 lower-case hexadecimal digits), or empty
    // when it cannot be read whole.
    virtual std::string FileSha256(const std::string& strPath) = 0;
};

// Reads updatePublicKey, updatePublicKey2 and updateHttpsOnly from info into
// config. False with a log line when one stands on the root element, when a
// key is not a P-256 public key line or its point is not on the curve, when
// updatePublicKey2 comes without updatePublicKey, when with a key
// updateHttpsOnly is other than 0 or 1, or when https-only is set and a
// configured server address is not "https://".
bool ApplyTrustSettings(const PlazaInfo& info, UpdaterConfig& config, std::string& strProblem);

// "2027-01-31T08:00:00Z" and back: the only time form a manifest carries.
std::string FormatUtcTime(std::int64_t llSeconds);
bool ParseUtcTime(const std::string& strText, std::int64_t& llSeconds);

// The attributes of a signed manifest's root element: sequence (decimal, at
// most 18 digits), expires (the time form above) and name, the manifest's own
// file name ("G_UpdateFiles.xml"), which binds the signed bytes to the one
// request they may answer. False when the text does not parse or sequence or
// expires is missing or malformed; a missing name leaves *pstrName empty and
// is for the caller to judge.
bool ReadSignedAttributes(const std::string& strText, std::uint64_t& qwSequence,
                          std::int64_t& llExpires, std::string* pstrName = nullptr);

// What tells the keys' records apart: the SHA-256 text of the 64-byte key,
// or empty when the platform cannot hash.
std::string KeyFingerprint(const std::string& strPublic);

// The state file: one "name sequence fingerprint" line per manifest and key
// that signed it, so that a sequence a stolen key signed far ahead blocks
// only that key's manifests. Lines that do not read are dropped, so a
// damaged file costs only the rollback memory. A "name sequence" line, as
// updaters before the fingerprints wrote it, belongs to
// strLegacyFingerprint: such updaters read updatePublicKey alone, so it is
// that key's. Of two records of one key and name the higher counts.
typedef std::pair<std::string, std::string> SequenceKey;  // fingerprint, manifest name
typedef std::map<SequenceKey, std::uint64_t> SequenceState;
SequenceState ParseSequenceState(const std::string& strText,
                                 const std::string& strLegacyFingerprint);
std::string SequenceStateText(const SequenceState& state);

// The .sig request that goes in the same batch as a manifest request: the
// same fields with ".sig" appended to the names and addresses, position 1 of
// 2. Sets the manifest request's batch size to 2. False, with a log line,
// when a field cannot hold the longer text.
bool FillSignatureRequest(DownLoadRequest& manifestReq, DownLoadRequest& sigReq,
                          std::string& strProblem);

enum class TrustVerdict {
    Accepted,
    MissingSignature,
    BadSignature,
    MissingAttributes,  // signed, but without a readable sequence or expiry
    WrongName,          // its name attribute is missing or names another manifest
    Expired,
    ExpiresTooFar,  // expires further ahead than kMaxExpiresAheadSeconds
    RolledBack,
    BehindPlaza,      // a game manifest older than the plaza manifest last accepted
    StateNotSaved,    // accepted, but the new sequence could not be kept
    StateUnreadable,  // the state file is there but cannot be read
};

// Checks the manifest saved at strManifestPath (named strManifestName in the
// state file) against strPublicKey or else strPublicKey2 and, when it
// passes, records its sequence under the key that signed it. Only that key's
// records can refuse it: a game manifest is also refused below the plaza's
// recorded sequence of that key (one release shares one sequence, so only an
// older release's manifest can be behind). On Accepted, strText holds the
// verified bytes, which are what the caller must parse. strLogLine always
// holds the one line for the updater log naming the outcome.
TrustVerdict AdmitManifest(const UpdaterConfig& config, const std::string& strManifestName,
                           const std::string& strManifestPath, IManifestTrustHost& host,
                           std::string& strText, std::string& strLogLine);
