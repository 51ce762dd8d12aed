// MD5 digests (RFC 1321) over the platform's own hash provider: OpenSSL natively,
// Windows CNG (bcrypt) in the Windows build.
//
// Usage: build an object, feed it bytes with update() in order, read the digest with
// toString(). toString() does not end the digest: more bytes may follow and a later
// toString() covers them as well.
//
// Errors never leave the class as exceptions. If the hash provider cannot be used (or memory
// runs out), the object is marked failed and toString() returns an empty string, which never
// equals a 32-digit digest text, so a caller that compares digests sees a difference.
//
// One object must not be used from two threads at once; distinct objects are independent.
#pragma once

#include <string>

#include "kelmar/kelmar_api.h"

class KELMAR_API MD5 {
public:
    // An empty digest state (the digest of no bytes until update() is called).
    MD5();
    ~MD5();

    MD5(const MD5&) = delete;
    MD5& operator=(const MD5&) = delete;

    // Adds `length` bytes at `input` to the digest. A null `input` with a non-zero length is
    // a caller error; it marks the object failed instead of reading through the pointer.
    void update(const void* input, unsigned int length);

    // The digest of every byte added so far: 32 lower-case hexadecimal digits, e.g.
    // "d41d8cd98f00b204e9800998ecf8427e" for no bytes. Empty when the object has failed.
    std::string toString() const;

private:
    void* m_pState;  // the backend's hash state; null once the object has failed
};
