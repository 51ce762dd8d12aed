// The steps every CNG hash of the library takes the same way: MD5, SHA-256,
// and the digest an ECDSA signature covers. Windows only.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstddef>

namespace kelmar {
namespace cng {

// An algorithm provider, or null. Callers open each one once and never close
// it: closing under the loader lock (at library unload) is not safe, and the
// process end releases it.
inline BCRYPT_ALG_HANDLE OpenProvider(LPCWSTR pszAlgorithm) noexcept {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, pszAlgorithm,
                                                    /*pszImplementation=*/nullptr,
                                                    /*dwFlags=*/0))) {
        return nullptr;
    }
    return h;
}

// A fresh hash object of hProvider (null allowed), or null.
inline BCRYPT_HASH_HANDLE NewHash(BCRYPT_ALG_HANDLE hProvider) noexcept {
    BCRYPT_HASH_HANDLE hHash = nullptr;
    // CNG keeps the hash object itself when no buffer is passed (Windows 7 and later).
    if (hProvider == nullptr ||
        !BCRYPT_SUCCESS(BCryptCreateHash(hProvider, &hHash, /*pbHashObject=*/nullptr,
                                         /*cbHashObject=*/0, /*pbSecret=*/nullptr,
                                         /*cbSecret=*/0, /*dwFlags=*/0))) {
        return nullptr;
    }
    return hHash;
}

// Adds cbData bytes to hHash; false when the provider reports an error.
inline bool HashData(BCRYPT_HASH_HANDLE hHash, const void* pData, std::size_t cbData) noexcept {
    auto* pBytes = static_cast<PUCHAR>(const_cast<void*>(pData));
    // ULONG is 32 bits; feed larger runs in pieces.
    while (cbData > 0) {
        const ULONG cbPiece = cbData > 0x40000000u ? 0x40000000u : static_cast<ULONG>(cbData);
        if (!BCRYPT_SUCCESS(BCryptHashData(hHash, pBytes, cbPiece, /*dwFlags=*/0)))
            return false;
        pBytes += cbPiece;
        cbData -= cbPiece;
    }
    return true;
}

}  // namespace cng
}  // namespace kelmar
