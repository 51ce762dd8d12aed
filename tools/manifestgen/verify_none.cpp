// The Windows build of manifestgen publishes only; checking a published
// release is done with the native build.
#include <cstdio>

#include "tools/manifestgen/verify.h"

int VerifyRelease(const VerifyOptions&) {
    std::fprintf(stderr, "manifestgen: verify is not part of this build; use the Linux build\n");
    return 2;
}

std::string EncodeRequestPath(const std::string& strName) {
    return strName;
}
