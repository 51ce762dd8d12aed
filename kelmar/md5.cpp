#include "kelmar/md5.h"

#include "kelmar/md5_backend.h"

MD5::MD5() : m_pState(kelmar::Md5BackendNew()) {}

MD5::~MD5() {
    kelmar::Md5BackendFree(m_pState);
}

void MD5::update(const void* input, unsigned int length) {
    if (m_pState == nullptr || length == 0) {
        return;
    }
    if (input == nullptr || !kelmar::Md5BackendUpdate(m_pState, input, length)) {
        // A digest that silently skipped bytes would look valid; a failed object cannot.
        kelmar::Md5BackendFree(m_pState);
        m_pState = nullptr;
    }
}

std::string MD5::toString() const {
    unsigned char digest[kelmar::kMd5DigestSize];
    if (m_pState == nullptr || !kelmar::Md5BackendPeek(m_pState, digest)) {
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    char text[2 * kelmar::kMd5DigestSize];
    for (std::size_t i = 0; i < kelmar::kMd5DigestSize; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    try {
        return std::string(text, sizeof text);
    } catch (...) {
        return std::string();
    }
}
