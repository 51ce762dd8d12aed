#include "updater/core/filedigest.h"

#include <string>

#include <gtest/gtest.h>

#include "testdir.h"
#if defined(_WIN32)
#include "templates/winhandle.h"
#endif

namespace {

using talvex::GetFileMD5;
using talvex::GetFileSha256;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) % 256);
    }
    return bytes;
}

class FileDigestTest : public ::testing::Test {
protected:
    ScratchDir dir;
};

TEST_F(FileDigestTest, DigestOfTheFileBytes) {
    struct {
        const char* what;
        std::string bytes;
        const char* want;
        const char* wantSha256;
    } cases[] = {
        {"empty", "", "d41d8cd98f00b204e9800998ecf8427e",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // Line ends are bytes like any other: no text-mode translation.
        {"CR LF and Ctrl-Z",
         "a\r\nb\x1a"
         "c",
         "e76224ce3c388a6fc02d18acdb8d4228",
         "17232072800df3a5cfe70a9cab472cf915cce47ae724487f15f7709e4b944ad9"},
        {"one byte short of a piece", Pattern(1023), "6f8c42978a120e01a68357829a2d0d77",
         "0978ee87031e207b01d2b755b5bd45956d991339b7455cd99251c30d2938840d"},
        {"exactly one piece", Pattern(1024), "a66351d9c8f941b70a02eaf9c41e69c3",
         "e9183d9a79aad8a047b8e67981210d50b01fc75b1edba5bc32ba3d3ec4d5056d"},
        {"one byte over a piece", Pattern(1025), "ee57403eb3428e1a0be41fad4a70b174",
         "c7e326e984e4021f1ee792e0f24f4ef4cc9a6e1aac2e7b1870e96d542c4622a3"},
        {"many pieces and a tail", Pattern(12295), "fae857ae879d872afacf17d58f57308c",
         "886bb34674b77f41cd52e3b30d66c3aed33b7396958abd17221f1aafcf1f3548"},
        {"a million a", std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        std::string path = dir / "f.bin";
        ASSERT_TRUE(WriteBytes(path, c.bytes)) << c.what;
        EXPECT_EQ(c.want, GetFileMD5(path.c_str())) << c.what;
        EXPECT_EQ(c.wantSha256, GetFileSha256(path.c_str())) << c.what;
    }
}

TEST_F(FileDigestTest, ChineseFileName) {
    std::string path = dir / "游戏大厅.dll";
    ASSERT_TRUE(WriteBytes(path, "abc"));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", GetFileMD5(path.c_str()));
}

TEST_F(FileDigestTest, UnopenableGivesOneSpace) {
    std::string missing = dir / "missing.dll";
    std::string missingFolder = dir / ("nofolder" + std::string(1, ScratchDir::Sep()) + "x.dll");
    std::string folder = dir.path();
    const char* paths[] = {missing.c_str(), missingFolder.c_str(), folder.c_str(), ""};
    for (const char* path : paths) {
        EXPECT_EQ(" ", GetFileMD5(path)) << path;
        EXPECT_EQ("", GetFileSha256(path)) << path;
    }
    EXPECT_EQ(" ", GetFileMD5(nullptr));
}

#if defined(_WIN32)

TEST_F(FileDigestTest, SharingWithOtherOpeners) {
    struct {
        const char* what;
        DWORD access;
        DWORD share;
        const char* want;
    } cases[] = {
        {"held without sharing", GENERIC_READ, 0, " "},
        {"written without sharing", GENERIC_WRITE, 0, " "},
        {"read, shared with readers", GENERIC_READ, FILE_SHARE_READ,
         "900150983cd24fb0d6963f7d28e17f72"},
        // Needs our own open to share with writers.
        {"written, shared with readers", GENERIC_WRITE, FILE_SHARE_READ,
         "900150983cd24fb0d6963f7d28e17f72"},
        {"written, shared with all", GENERIC_READ | GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_WRITE, "900150983cd24fb0d6963f7d28e17f72"},
    };
    std::string path = dir / "shared.dll";
    ASSERT_TRUE(WriteBytes(path, "abc"));
    for (const auto& c : cases) {
        // Another handle on the file, held while the digest is taken.
        CFileHandle other(CreateFileA(path.c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(other.IsValid()) << c.what;
        EXPECT_EQ(c.want, GetFileMD5(path.c_str())) << c.what;
    }
}

#endif

}  // namespace
