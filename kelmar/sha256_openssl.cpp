// SHA-256 over OpenSSL's EVP interface (native builds).
#include <openssl/evp.h>

#include "kelmar/sha256.h"

namespace kelmar {

Sha256::Sha256() noexcept : m_pState(EVP_MD_CTX_new()) {
    if (m_pState != nullptr &&
        EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(m_pState), EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_pState));
        m_pState = nullptr;
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_pState));
}

void Sha256::Update(const void* pData, std::size_t cbData) noexcept {
    if (m_pState == nullptr || cbData == 0)
        return;
    // A digest that silently skipped bytes would look valid; a failed one cannot.
    if (pData == nullptr ||
        EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_pState), pData, cbData) != 1) {
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_pState));
        m_pState = nullptr;
    }
}

bool Sha256::Finish(unsigned char (&digest)[32]) noexcept {
    unsigned int cbDigest = 0;
    const bool bOk =
        EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_pState), digest, &cbDigest) == 1 &&
        cbDigest == sizeof(digest);
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_pState));
    m_pState = nullptr;
    return bOk;
}

}  // namespace kelmar
