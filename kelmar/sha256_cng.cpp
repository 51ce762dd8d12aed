// SHA-256 over Windows CNG (bcrypt.dll), Windows 7 and later.
#include <windows.h>
#include <bcrypt.h>

#include "kelmar/sha256.h"

namespace kelmar {
namespace {

// Opened once and never closed, as for MD5: closing under the loader lock is
// not safe, and the process end releases it.
BCRYPT_ALG_HANDLE Sha256Provider() noexcept {
    static const BCRYPT_ALG_HANDLE hProvider = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM,
                                                        /*pszImplementation=*/nullptr,
                                                        /*dwFlags=*/0))) {
            h = nullptr;
        }
        return h;
    }();
    return hProvider;
}

}  // namespace

Sha256::Sha256() noexcept : m_pState(nullptr) {
    BCRYPT_ALG_HANDLE hProvider = Sha256Provider();
    BCRYPT_HASH_HANDLE hHash = nullptr;
    // CNG keeps the hash object itself when no buffer is passed (Windows 7 and later).
    if (hProvider != nullptr &&
        BCRYPT_SUCCESS(BCryptCreateHash(hProvider, &hHash, /*pbHashObject=*/nullptr,
                                        /*cbHashObject=*/0, /*pbSecret=*/nullptr,
                                        /*cbSecret=*/0, /*dwFlags=*/0))) {
        m_pState = hHash;
    }
}

Sha256::~Sha256() {
    if (m_pState != nullptr)
        BCryptDestroyHash(m_pState);
}

void Sha256::Update(const void* pData, std::size_t cbData) noexcept {
    if (m_pState == nullptr || cbData == 0)
        return;
    auto* pBytes = static_cast<PUCHAR>(const_cast<void*>(pData));
    // ULONG is 32 bits; feed larger runs in pieces. A digest that silently
    // skipped bytes would look valid; a failed one cannot.
    while (pBytes != nullptr && cbData > 0) {
        const ULONG cbPiece = cbData > 0x40000000u ? 0x40000000u : static_cast<ULONG>(cbData);
        if (!BCRYPT_SUCCESS(BCryptHashData(m_pState, pBytes, cbPiece, /*dwFlags=*/0)))
            break;
        pBytes += cbPiece;
        cbData -= cbPiece;
    }
    if (cbData > 0) {
        BCryptDestroyHash(m_pState);
        m_pState = nullptr;
    }
}

bool Sha256::Finish(unsigned char (&digest)[32]) noexcept {
    const bool bOk =
        BCRYPT_SUCCESS(BCryptFinishHash(m_pState, digest, sizeof(digest), /*dwFlags=*/0));
    BCryptDestroyHash(m_pState);
    m_pState = nullptr;
    return bOk;
}

}  // namespace kelmar
