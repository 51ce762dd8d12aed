// MD5 backend over Windows CNG (bcrypt.dll), Windows 7 and later.
#include <windows.h>
#include <bcrypt.h>

#include "kelmar/md5_backend.h"

namespace kelmar {
namespace {

// One algorithm provider serves every hash object of the process. It is never closed:
// closing it while the loader lock is held (at library unload) is not safe, and the
// process end releases it anyway.
BCRYPT_ALG_HANDLE Md5Provider() noexcept {
    static const BCRYPT_ALG_HANDLE hProvider = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_MD5_ALGORITHM,
                                                        /*pszImplementation=*/nullptr,
                                                        /*dwFlags=*/0))) {
            h = nullptr;
        }
        return h;
    }();
    return hProvider;
}

}  // namespace

void* Md5BackendNew() noexcept {
    BCRYPT_ALG_HANDLE hProvider = Md5Provider();
    if (hProvider == nullptr) {
        return nullptr;
    }
    // CNG keeps the hash object itself when no buffer is passed (Windows 7 and later).
    BCRYPT_HASH_HANDLE hHash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(hProvider, &hHash, /*pbHashObject=*/nullptr,
                                         /*cbHashObject=*/0, /*pbSecret=*/nullptr,
                                         /*cbSecret=*/0, /*dwFlags=*/0))) {
        return nullptr;
    }
    return hHash;
}

bool Md5BackendUpdate(void* state, const void* data, std::size_t size) noexcept {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    // ULONG is 32 bits; feed larger runs in pieces.
    while (size > 0) {
        ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(state, bytes, piece, /*dwFlags=*/0))) {
            return false;
        }
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool Md5BackendPeek(const void* state, unsigned char (&digest)[kMd5DigestSize]) noexcept {
    // Finishing consumes a hash object, so the digest is read from a duplicate.
    BCRYPT_HASH_HANDLE hCopy = nullptr;
    if (!BCRYPT_SUCCESS(BCryptDuplicateHash(const_cast<void*>(state), &hCopy,
                                            /*pbHashObject=*/nullptr, /*cbHashObject=*/0,
                                            /*dwFlags=*/0))) {
        return false;
    }
    bool ok = BCRYPT_SUCCESS(BCryptFinishHash(hCopy, digest, kMd5DigestSize, /*dwFlags=*/0));
    BCryptDestroyHash(hCopy);
    return ok;
}

void Md5BackendFree(void* state) noexcept {
    if (state != nullptr) {
        BCryptDestroyHash(state);
    }
}

}  // namespace kelmar
