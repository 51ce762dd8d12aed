#include "kelmar/md5.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct Md5Case {
    const char* input;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
const Md5Case kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, Rfc1321VectorsInOneUpdate) {
    for (const Md5Case& c : kRfc1321) {
        MD5 md5;
        std::string input(c.input);
        md5.update(input.data(), static_cast<unsigned int>(input.size()));
        EXPECT_EQ(c.digest, md5.toString()) << "input \"" << c.input << "\"";
    }
}

TEST(Md5, Rfc1321VectorsByteByByte) {
    for (const Md5Case& c : kRfc1321) {
        MD5 md5;
        for (const char* p = c.input; *p != '\0'; ++p) {
            md5.update(p, 1);
        }
        EXPECT_EQ(c.digest, md5.toString()) << "input \"" << c.input << "\"";
    }
}

TEST(Md5, ToStringDoesNotEndTheDigest) {
    MD5 md5;
    md5.update("ab", 2);
    EXPECT_EQ("187ef4436122d1cc2f40dc2b92f0eba0", md5.toString()) << "after \"ab\"";
    EXPECT_EQ("187ef4436122d1cc2f40dc2b92f0eba0", md5.toString()) << "asked twice";
    md5.update("c", 1);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", md5.toString()) << "after \"ab\" then \"c\"";
}

TEST(Md5, MillionAsAcrossPieceBoundaries) {
    // Pieces of 1000 bytes cross the 64-byte block boundaries at every offset.
    const std::string piece(1000, 'a');
    MD5 md5;
    for (int i = 0; i < 1000; ++i) {
        md5.update(piece.data(), static_cast<unsigned int>(piece.size()));
    }
    EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", md5.toString());
}

TEST(Md5, ZeroLengthUpdatesChangeNothing) {
    MD5 md5;
    md5.update(nullptr, 0);
    md5.update("abc", 0);
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", md5.toString());
}

TEST(Md5, NullBytesWithLengthFailTheDigest) {
    MD5 md5;
    md5.update("abc", 3);
    md5.update(nullptr, 5);
    EXPECT_EQ("", md5.toString()) << "a digest that skipped bytes must not look valid";
    md5.update("abc", 3);
    EXPECT_EQ("", md5.toString()) << "a failed digest stays failed";
}

}  // namespace
