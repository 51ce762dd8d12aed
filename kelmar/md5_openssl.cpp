// MD5 backend over OpenSSL's EVP interface (native builds).
#include <openssl/evp.h>

#include "kelmar/md5_backend.h"

namespace kelmar {

void* Md5BackendNew() noexcept {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        ctx = nullptr;
    }
    return ctx;
}

bool Md5BackendUpdate(void* state, const void* data, std::size_t size) noexcept {
    return EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state), data, size) == 1;
}

bool Md5BackendPeek(const void* state, unsigned char (&digest)[kMd5DigestSize]) noexcept {
    // Finalising consumes a context, so the digest is read from a copy.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    if (copy == nullptr) {
        return false;
    }
    unsigned int size = 0;
    bool ok = EVP_MD_CTX_copy_ex(copy, static_cast<const EVP_MD_CTX*>(state)) == 1 &&
              EVP_DigestFinal_ex(copy, digest, &size) == 1 && size == kMd5DigestSize;
    EVP_MD_CTX_free(copy);
    return ok;
}

void Md5BackendFree(void* state) noexcept {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state));
}

}  // namespace kelmar
