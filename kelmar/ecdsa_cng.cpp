// ECDSA backend over Windows CNG (bcrypt.dll), Windows 7 and later. CNG's own
// key blobs carry X, Y and d as fixed 32-byte big-endian fields and its
// signatures are r || s, which are the shared raw forms already.
#include <cstring>

#include "kelmar/cnghash.h"
#include "kelmar/ecdsa.h"
#include "kelmar/sha256.h"

namespace kelmar {
namespace {

constexpr ULONG kCoordinateSize = 32;

BCRYPT_ALG_HANDLE EcdsaProvider() noexcept {
    static const BCRYPT_ALG_HANDLE hProvider = cng::OpenProvider(BCRYPT_ECDSA_P256_ALGORITHM);
    return hProvider;
}

class CKey {
public:
    CKey() = default;
    ~CKey() {
        if (m_hKey != nullptr)
            BCryptDestroyKey(m_hKey);
    }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;
    BCRYPT_KEY_HANDLE* Out() { return &m_hKey; }
    BCRYPT_KEY_HANDLE Get() const { return m_hKey; }

private:
    BCRYPT_KEY_HANDLE m_hKey = nullptr;
};

// The digest a signature covers.
bool MessageDigest(const std::string& strMessage, UCHAR (&digest)[32]) noexcept {
    Sha256 hash;
    hash.Update(strMessage.data(), strMessage.size());
    return hash.Digest(digest);
}

// A BCRYPT_ECCKEY_BLOB header followed by the given fields.
std::string KeyBlob(ULONG dwMagic, const std::string& strFields) {
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = dwMagic;
    header.cbKey = kCoordinateSize;
    std::string strBlob(reinterpret_cast<const char*>(&header), sizeof(header));
    return strBlob + strFields;
}

bool Import(LPCWSTR pszBlobType, const std::string& strBlob, CKey& key) noexcept {
    BCRYPT_ALG_HANDLE hProvider = EcdsaProvider();
    return hProvider != nullptr && BCRYPT_SUCCESS(BCryptImportKeyPair(
                                       hProvider, /*hImportKey=*/nullptr, pszBlobType, key.Out(),
                                       reinterpret_cast<PUCHAR>(const_cast<char*>(strBlob.data())),
                                       static_cast<ULONG>(strBlob.size()), /*dwFlags=*/0));
}

}  // namespace

bool EcdsaGenerateKeyPair(EcdsaKeyPair& keyPair) noexcept {
    try {
        keyPair = EcdsaKeyPair();
        BCRYPT_ALG_HANDLE hProvider = EcdsaProvider();
        CKey key;
        if (hProvider == nullptr ||
            !BCRYPT_SUCCESS(BCryptGenerateKeyPair(hProvider, key.Out(), 256, /*dwFlags=*/0)) ||
            !BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key.Get(), /*dwFlags=*/0))) {
            return false;
        }
        std::string strBlob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinateSize, '\0');
        ULONG cbBlob = 0;
        if (!BCRYPT_SUCCESS(BCryptExportKey(
                key.Get(), /*hExportKey=*/nullptr, BCRYPT_ECCPRIVATE_BLOB,
                reinterpret_cast<PUCHAR>(&strBlob[0]), static_cast<ULONG>(strBlob.size()), &cbBlob,
                /*dwFlags=*/0)) ||
            cbBlob != strBlob.size()) {
            return false;
        }
        const std::size_t nFields = sizeof(BCRYPT_ECCKEY_BLOB);
        keyPair.strPublic = strBlob.substr(nFields, 2 * kCoordinateSize);
        keyPair.strPrivate = strBlob.substr(nFields + 2 * kCoordinateSize, kCoordinateSize);
        SecureZeroMemory(&strBlob[0], strBlob.size());
        return true;
    } catch (...) {
        keyPair = EcdsaKeyPair();
        return false;
    }
}

bool EcdsaSign(const EcdsaKeyPair& keyPair, const std::string& strMessage,
               std::string& strSignature) noexcept {
    try {
        strSignature.clear();
        if (keyPair.strPublic.size() != kEcdsaPublicKeySize ||
            keyPair.strPrivate.size() != kEcdsaPrivateKeySize) {
            return false;
        }
        std::string strBlob =
            KeyBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, keyPair.strPublic + keyPair.strPrivate);
        CKey key;
        bool bImported = Import(BCRYPT_ECCPRIVATE_BLOB, strBlob, key);
        SecureZeroMemory(&strBlob[0], strBlob.size());
        UCHAR digest[32];
        if (!bImported || !MessageDigest(strMessage, digest))
            return false;
        std::string strRaw(kEcdsaSignatureSize, '\0');
        ULONG cbSignature = 0;
        if (!BCRYPT_SUCCESS(BCryptSignHash(key.Get(), /*pPaddingInfo=*/nullptr, digest,
                                           sizeof(digest), reinterpret_cast<PUCHAR>(&strRaw[0]),
                                           static_cast<ULONG>(strRaw.size()), &cbSignature,
                                           /*dwFlags=*/0)) ||
            cbSignature != kEcdsaSignatureSize) {
            return false;
        }
        strSignature = strRaw;
        return true;
    } catch (...) {
        strSignature.clear();
        return false;
    }
}

bool EcdsaPublicKeyValid(const std::string& strPublic) noexcept {
    try {
        CKey key;
        return strPublic.size() == kEcdsaPublicKeySize &&
               Import(BCRYPT_ECCPUBLIC_BLOB, KeyBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, strPublic),
                      key);
    } catch (...) {
        return false;
    }
}

bool EcdsaVerify(const std::string& strPublic, const std::string& strMessage,
                 const std::string& strSignature) noexcept {
    try {
        if (strPublic.size() != kEcdsaPublicKeySize || strSignature.size() != kEcdsaSignatureSize) {
            return false;
        }
        CKey key;
        UCHAR digest[32];
        if (!Import(BCRYPT_ECCPUBLIC_BLOB, KeyBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, strPublic),
                    key) ||
            !MessageDigest(strMessage, digest)) {
            return false;
        }
        return BCRYPT_SUCCESS(
            BCryptVerifySignature(key.Get(), /*pPaddingInfo=*/nullptr, digest, sizeof(digest),
                                  reinterpret_cast<PUCHAR>(const_cast<char*>(strSignature.data())),
                                  static_cast<ULONG>(strSignature.size()), /*dwFlags=*/0));
    } catch (...) {
        return false;
    }
}

}  // namespace kelmar
