// ECDSA backend over OpenSSL 3 (native builds). Keys are rebuilt from their
// raw forms for every call: a publisher signs a handful of manifests.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

#include "kelmar/ecdsa.h"

namespace kelmar {
namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

const unsigned char* Bytes(const std::string& str) {
    return reinterpret_cast<const unsigned char*>(str.data());
}

// An EVP key on P-256 from the raw public point and, when given, the scalar.
Owned<EVP_PKEY> MakeKey(const std::string& strPublic, const std::string* pPrivate) {
    if (strPublic.size() != kEcdsaPublicKeySize ||
        (pPrivate != nullptr && pPrivate->size() != kEcdsaPrivateKeySize)) {
        return nullptr;
    }
    std::string strPoint = "\x04" + strPublic;  // uncompressed point encoding
    Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
    Owned<BIGNUM> d;
    if (builder == nullptr ||
        !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1",
                                         0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, strPoint.data(),
                                          strPoint.size())) {
        return nullptr;
    }
    if (pPrivate != nullptr) {
        d.reset(BN_bin2bn(Bytes(*pPrivate), static_cast<int>(pPrivate->size()), nullptr));
        if (d == nullptr ||
            !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()))
            return nullptr;
    }
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* pKey = nullptr;
    if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pKey,
                          pPrivate != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) != 1) {
        return nullptr;
    }
    return Owned<EVP_PKEY>(pKey);
}

bool FixedBytes(const BIGNUM* pNumber, std::size_t cb, std::string& strOut) {
    std::string strBytes(cb, '\0');
    if (BN_bn2binpad(pNumber, reinterpret_cast<unsigned char*>(&strBytes[0]),
                     static_cast<int>(cb)) != static_cast<int>(cb)) {
        return false;
    }
    strOut += strBytes;
    return true;
}

bool GenerateImpl(EcdsaKeyPair& keyPair) {
    keyPair = EcdsaKeyPair();
    Owned<EVP_PKEY> key(EVP_EC_gen("prime256v1"));
    if (key == nullptr)
        return false;
    BIGNUM* pD = nullptr;
    unsigned char point[1 + kEcdsaPublicKeySize];
    std::size_t cbPoint = 0;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &pD) != 1)
        return false;
    Owned<BIGNUM> d(pD);
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point),
                                        &cbPoint) != 1 ||
        cbPoint != sizeof(point) || point[0] != 0x04) {
        return false;
    }
    EcdsaKeyPair made;
    made.strPublic.assign(reinterpret_cast<const char*>(point + 1), kEcdsaPublicKeySize);
    if (!FixedBytes(d.get(), kEcdsaPrivateKeySize, made.strPrivate))
        return false;
    keyPair = made;
    return true;
}

bool SignImpl(const EcdsaKeyPair& keyPair, const std::string& strMessage,
              std::string& strSignature) {
    strSignature.clear();
    Owned<EVP_PKEY> key = MakeKey(keyPair.strPublic, &keyPair.strPrivate);
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    if (key == nullptr || md == nullptr ||
        EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return false;
    }
    std::size_t cbDer = 0;
    if (EVP_DigestSign(md.get(), nullptr, &cbDer, Bytes(strMessage), strMessage.size()) != 1)
        return false;
    std::string strDer(cbDer, '\0');
    unsigned char* pDer = reinterpret_cast<unsigned char*>(&strDer[0]);
    if (EVP_DigestSign(md.get(), pDer, &cbDer, Bytes(strMessage), strMessage.size()) != 1)
        return false;
    // OpenSSL writes DER; the shared form is r and s side by side, as CNG writes it.
    const unsigned char* pRead = pDer;
    Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &pRead, static_cast<long>(cbDer)));
    if (sig == nullptr)
        return false;
    std::string strRaw;
    if (!FixedBytes(ECDSA_SIG_get0_r(sig.get()), 32, strRaw) ||
        !FixedBytes(ECDSA_SIG_get0_s(sig.get()), 32, strRaw)) {
        return false;
    }
    strSignature = strRaw;
    return true;
}

bool VerifyImpl(const std::string& strPublic, const std::string& strMessage,
                const std::string& strSignature) {
    if (strSignature.size() != kEcdsaSignatureSize)
        return false;
    Owned<EVP_PKEY> key = MakeKey(strPublic, nullptr);
    Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
    if (key == nullptr || sig == nullptr)
        return false;
    BIGNUM* pR = BN_bin2bn(Bytes(strSignature), 32, nullptr);
    BIGNUM* pS = BN_bin2bn(Bytes(strSignature) + 32, 32, nullptr);
    if (pR == nullptr || pS == nullptr || ECDSA_SIG_set0(sig.get(), pR, pS) != 1) {
        BN_free(pR);
        BN_free(pS);
        return false;
    }
    int cbDer = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (cbDer <= 0)
        return false;
    std::string strDer(static_cast<std::size_t>(cbDer), '\0');
    unsigned char* pWrite = reinterpret_cast<unsigned char*>(&strDer[0]);
    if (i2d_ECDSA_SIG(sig.get(), &pWrite) != cbDer)
        return false;
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    return md != nullptr &&
           EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(md.get(), Bytes(strDer), strDer.size(), Bytes(strMessage),
                            strMessage.size()) == 1;
}

}  // namespace

// std::string may throw on allocation; nothing escapes these entries.
bool EcdsaGenerateKeyPair(EcdsaKeyPair& keyPair) noexcept {
    try {
        return GenerateImpl(keyPair);
    } catch (...) {
        keyPair = EcdsaKeyPair();
        return false;
    }
}

bool EcdsaSign(const EcdsaKeyPair& keyPair, const std::string& strMessage,
               std::string& strSignature) noexcept {
    try {
        return SignImpl(keyPair, strMessage, strSignature);
    } catch (...) {
        strSignature.clear();
        return false;
    }
}

bool EcdsaPublicKeyValid(const std::string& strPublic) noexcept {
    try {
        // Decoding the point checks that it lies on the curve.
        return MakeKey(strPublic, nullptr) != nullptr;
    } catch (...) {
        return false;
    }
}

bool EcdsaVerify(const std::string& strPublic, const std::string& strMessage,
                 const std::string& strSignature) noexcept {
    try {
        return VerifyImpl(strPublic, strMessage, strSignature);
    } catch (...) {
        return false;
    }
}

}  // namespace kelmar
