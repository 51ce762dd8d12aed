// SHA-256 over Windows CNG (bcrypt.dll), Windows 7 and later.
#include "kelmar/cnghash.h"
#include "kelmar/sha256.h"

namespace kelmar {
namespace {

BCRYPT_ALG_HANDLE Sha256Provider() noexcept {
    static const BCRYPT_ALG_HANDLE hProvider = cng::OpenProvider(BCRYPT_SHA256_ALGORITHM);
    return hProvider;
}

}  // namespace

Sha256::Sha256() noexcept : m_pState(cng::NewHash(Sha256Provider())) {}

Sha256::~Sha256() {
    if (m_pState != nullptr)
        BCryptDestroyHash(m_pState);
}

void Sha256::Update(const void* pData, std::size_t cbData) noexcept {
    // A digest that silently skipped bytes would look valid; a failed one cannot.
    if (m_pState != nullptr && !cng::HashData(m_pState, pData, cbData)) {
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
