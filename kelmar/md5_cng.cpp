// MD5 backend over Windows CNG (bcrypt.dll), Windows 7 and later.
#include "kelmar/cnghash.h"
#include "kelmar/md5_backend.h"

namespace kelmar {
namespace {

// One algorithm provider serves every hash object of the process.
BCRYPT_ALG_HANDLE Md5Provider() noexcept {
    static const BCRYPT_ALG_HANDLE hProvider = cng::OpenProvider(BCRYPT_MD5_ALGORITHM);
    return hProvider;
}

}  // namespace

void* Md5BackendNew() noexcept {
    return cng::NewHash(Md5Provider());
}

bool Md5BackendUpdate(void* state, const void* data, std::size_t size) noexcept {
    return cng::HashData(state, data, size);
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
