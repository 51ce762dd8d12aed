#include "updater/core/filedigest.h"

#include <string>

#include <gtest/gtest.h>

#include "testdir.h"

namespace {

using talvex::GetFileMD5;
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
    } cases[] = {
        {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        // Line ends are bytes like any other: no text-mode translation.
        {"CR LF and Ctrl-Z",
         "a\r\nb\x1a"
         "c",
         "e76224ce3c388a6fc02d18acdb8d4228"},
        {"one byte short of a piece", Pattern(1023), "6f8c42978a120e01a68357829a2d0d77"},
        {"exactly one piece", Pattern(1024), "a66351d9c8f941b70a02eaf9c41e69c3"},
        {"one byte over a piece", Pattern(1025), "ee57403eb3428e1a0be41fad4a70b174"},
        {"many pieces and a tail", Pattern(12295), "fae857ae879d872afacf17d58f57308c"},
        {"a million a", std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto& c : cases) {
        std::string path = dir / "f.bin";
        ASSERT_TRUE(WriteBytes(path, c.bytes)) << c.what;
        EXPECT_EQ(c.want, GetFileMD5(path.c_str())) << c.what;
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
    }
    EXPECT_EQ(" ", GetFileMD5(nullptr));
}

#if defined(_WIN32)

// Another handle on the file, held for the test's duration.
class OtherOpen {
public:
    OtherOpen(const std::string& path, DWORD access, DWORD share)
        : m_h(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OtherOpen() {
        if (m_h != INVALID_HANDLE_VALUE) {
            CloseHandle(m_h);
        }
    }
    OtherOpen(const OtherOpen&) = delete;
    OtherOpen& operator=(const OtherOpen&) = delete;
    bool ok() const { return m_h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h;
};

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
        OtherOpen other(path, c.access, c.share);
        ASSERT_TRUE(other.ok()) << c.what;
        EXPECT_EQ(c.want, GetFileMD5(path.c_str())) << c.what;
    }
}

#endif

}  // namespace
