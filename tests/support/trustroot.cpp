// trustroot [--remove] CERT.pem: adds a test's own certificate authority to
// (or takes it out of) the machine's root store of the Wine prefix it runs
// in, so that an HTTPS update against the test's server can succeed there.
// Only tests run it, and only in the suite's own prefixes: the host's
// certificate store is never touched. Exit status 0 when done; --remove
// fails when the store does not hold the certificate.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

HCERTSTORE OpenRoot() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, /*dwEncodingType=*/0, /*hCryptProv=*/0,
                         CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
}

// The store's own copy of the certificate, or null.
PCCERT_CONTEXT FindHeld(HCERTSTORE hStore, std::vector<BYTE>& der) {
    PCCERT_CONTEXT pOurs =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (pOurs == nullptr)
        return nullptr;
    PCCERT_CONTEXT pHeld = CertFindCertificateInStore(hStore, X509_ASN_ENCODING, /*dwFlags=*/0,
                                                      CERT_FIND_EXISTING, pOurs,
                                                      /*pPrevCertContext=*/nullptr);
    CertFreeCertificateContext(pOurs);
    return pHeld;
}

}  // namespace

int main(int argc, char** argv) {
    const bool bRemove = argc == 3 && std::string(argv[1]) == "--remove";
    if (argc != 2 && !bRemove) {
        std::fprintf(stderr, "usage: trustroot [--remove] CERT.pem\n");
        return 2;
    }
    const char* pszPath = argv[argc - 1];
    std::ifstream in(pszPath, std::ios::binary);
    const std::string strPem((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    DWORD cbDer = 0;
    if (strPem.empty() ||
        !CryptStringToBinaryA(strPem.c_str(), static_cast<DWORD>(strPem.size()),
                              CRYPT_STRING_BASE64HEADER, /*pbBinary=*/nullptr, &cbDer,
                              /*pdwSkip=*/nullptr, /*pdwFlags=*/nullptr)) {
        std::fprintf(stderr, "trustroot: %s holds no PEM certificate\n", pszPath);
        return 1;
    }
    std::vector<BYTE> der(cbDer);
    if (!CryptStringToBinaryA(strPem.c_str(), static_cast<DWORD>(strPem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &cbDer,
                              /*pdwSkip=*/nullptr, /*pdwFlags=*/nullptr)) {
        std::fprintf(stderr, "trustroot: %s cannot be decoded\n", pszPath);
        return 1;
    }
    HCERTSTORE hStore = OpenRoot();
    if (hStore == nullptr) {
        std::fprintf(stderr, "trustroot: the root store cannot be opened (%lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    if (bRemove) {
        // A removal that finds nothing fails, so that a caller can tell the
        // authority is gone from one that never went. Wine writes a deletion
        // to the prefix only when it is committed.
        PCCERT_CONTEXT pHeld = FindHeld(hStore, der);
        const BOOL bRemoved = pHeld != nullptr && CertDeleteCertificateFromStore(pHeld) &&
                              CertControlStore(hStore, /*dwFlags=*/0, CERT_STORE_CTRL_COMMIT,
                                               /*pvCtrlPara=*/nullptr);
        const DWORD dwError = GetLastError();
        CertCloseStore(hStore, 0);
        if (!bRemoved) {
            std::fprintf(stderr, "trustroot: the certificate was not removed (%lu)\n",
                         static_cast<unsigned long>(dwError));
            return 1;
        }
        // Read back from a store opened afresh.
        hStore = OpenRoot();
        PCCERT_CONTEXT pStill = hStore != nullptr ? FindHeld(hStore, der) : nullptr;
        if (pStill != nullptr)
            CertFreeCertificateContext(pStill);
        if (hStore != nullptr)
            CertCloseStore(hStore, 0);
        if (hStore == nullptr || pStill != nullptr) {
            std::fprintf(stderr, "trustroot: the certificate is still in the store\n");
            return 1;
        }
        return 0;
    }
    const BOOL bAdded = CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, der.data(),
                                                         cbDer, CERT_STORE_ADD_REPLACE_EXISTING,
                                                         /*ppCertContext=*/nullptr);
    const DWORD dwError = GetLastError();
    CertCloseStore(hStore, 0);
    if (!bAdded) {
        std::fprintf(stderr, "trustroot: the certificate was not added (%lu)\n",
                     static_cast<unsigned long>(dwError));
        return 1;
    }
    return 0;
}
