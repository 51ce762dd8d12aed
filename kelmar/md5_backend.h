// The seam between the MD5 class and the platform's hash provider. Exactly one backend is
// compiled into a binary: md5_openssl.cpp natively, md5_cng.cpp for Windows.
//
// None of these functions throws. A state is owned by the caller from Md5BackendNew() until
// Md5BackendFree().
#pragma once

#include <cstddef>

namespace kelmar {

constexpr std::size_t kMd5DigestSize = 16;

// A fresh digest state, or null when the provider cannot give one.
void* Md5BackendNew() noexcept;

// Adds bytes to the state. False when the provider reports an error.
bool Md5BackendUpdate(void* state, const void* data, std::size_t size) noexcept;

// Writes the digest of the bytes added so far, leaving `state` able to take more bytes.
bool Md5BackendPeek(const void* state, unsigned char (&digest)[kMd5DigestSize]) noexcept;

// Releases a state; null is allowed.
void Md5BackendFree(void* state) noexcept;

}  // namespace kelmar
