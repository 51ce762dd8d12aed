#include "files/wholefile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class WholeFileRead : public ::testing::Test {
protected:
    void SetUp() override {
        m_root =
            fs::temp_directory_path() /
            ("wholefile_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        fs::remove_all(m_root);
        fs::create_directories(m_root / "folder");
    }
    void TearDown() override { fs::remove_all(m_root); }
    std::string Path(const char* name) const { return (m_root / name).string(); }
    fs::path m_root;
};

TEST_F(WholeFileRead, TheCapIsTheLargestSizeRead) {
    struct Case {
        const char* name;  // "missing" and "folder" are not written here
        std::size_t cbFile;
        std::size_t cbMax;
        files::ReadResult want;
        bool bSystemError;  // whether the system's error is told
    };
    const Case cases[] = {
        {"empty", 0, 0, files::ReadResult::kOk, false},
        {"at-cap", 40000, 40000, files::ReadResult::kOk, false},
        {"one-over", 40001, 40000, files::ReadResult::kTooLarge, false},
        {"far-over", 40000, 10, files::ReadResult::kTooLarge, false},
        {"over-empty-cap", 1, 0, files::ReadResult::kTooLarge, false},
        {"missing", 0, 100, files::ReadResult::kCannotRead, true},
        {"folder", 0, 1 << 20, files::ReadResult::kCannotRead, true},
    };
    for (const Case& c : cases) {
        const std::string strPath = Path(c.name);
        std::string strContent;
        for (std::size_t i = 0; i < c.cbFile; ++i)
            strContent.push_back(static_cast<char>('a' + i % 26));
        if (std::string(c.name) != "missing" && std::string(c.name) != "folder")
            std::ofstream(strPath, std::ios::binary) << strContent;
        std::string strRead = "stale";
        int nError = -1;
        EXPECT_EQ(c.want, files::ReadWholeFile(strPath, c.cbMax, strRead, &nError)) << c.name;
        EXPECT_EQ(c.want == files::ReadResult::kOk ? strContent : "", strRead) << c.name;
        EXPECT_EQ(c.bSystemError, nError != 0) << c.name;
    }
}

}  // namespace
