#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelmar/xorencrypt.h"
#include "kelmar/zivformat.h"
#include "testdir.h"
#include "zivsample.h"

namespace {

using kelmar::DecodeZiv;
using kelmar::EncodeZiv;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

// Plaza information text as the publisher writes it: code page 936 bytes (the compiler
// turns these literals into CP936), CR LF line ends, a trailing line end.
const std::string kPlazaXml =
    "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n"
    "<GamePlazaInfo isEnableUpdate=\"1\" name=\"游戏广场\">\r\n"
    "    <Server updateGameUrl=\"http://update.example.com/更新/\" "
    "updateGameUrlReserve=\"http://backup.example.com/\" "
    "updateGameXMLtUrl=\"http://update.example.com/xml/\" "
    "updateGameClientUrl=\"http://update.example.com/client/\"/>\r\n"
    "</GamePlazaInfo>\r\n";

std::string Encoded(const std::string& text) {
    std::string ziv;
    EXPECT_EQ(kelmar::kZivOk, EncodeZiv(text, &ziv)) << text;
    return ziv;
}

TEST(ZivFormat, Crc32KnownAnswer) {
    EXPECT_EQ(0xCBF43926u, kelmar::Crc32("123456789", 9));
    EXPECT_EQ(0u, kelmar::Crc32("", 0));
}

TEST(ZivFormat, DocumentedExampleEncodesToItsBytes) {
    // The example of kelmar/ZIV_FORMAT.md: "<a/>\n".
    const unsigned char want[] = {0x5A, 0x49, 0x56, 0x1A, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00,
                                  0x00, 0x42, 0xC1, 0x68, 0xB3, 0x77, 0x05, 0x41, 0x50, 0x6F};
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(want), sizeof want), Encoded("<a/>\n"));
}

TEST(ZivFormat, SampleLongerThanTheKeyPeriodKeepsItsBytes) {
    // Round trips cannot see a change of the key stream: this fixed image can.
    const std::string text(reinterpret_cast<const char*>(ziv_sample::kText),
                           sizeof ziv_sample::kText);
    const std::string image(reinterpret_cast<const char*>(ziv_sample::kImage),
                            sizeof ziv_sample::kImage);
    ASSERT_GT(text.size(), 251u) << "the sample must pass the position term's period";
    EXPECT_EQ(image, Encoded(text));
    std::string decoded;
    EXPECT_EQ(kelmar::kZivOk, DecodeZiv(image, &decoded));
    EXPECT_EQ(text, decoded);
}

TEST(ZivFormat, RoundTripKeepsEveryByte) {
    std::string allBytes;
    for (int b = 1; b < 256; ++b) {
        allBytes.push_back(static_cast<char>(b));
    }
    const std::string texts[] = {kPlazaXml, "<a/>", std::string(5000, ' ') + "<深/>", allBytes};
    for (const std::string& text : texts) {
        std::string ziv = Encoded(text);
        EXPECT_EQ(kelmar::kZivHeaderSize + text.size(), ziv.size()) << text;
        EXPECT_EQ(std::string::npos, ziv.find(text.substr(0, 16))) << "plain text shows: " << text;
        std::string decoded = "stale";
        EXPECT_EQ(kelmar::kZivOk, DecodeZiv(ziv, &decoded)) << text;
        EXPECT_EQ(text, decoded);
    }
}

TEST(ZivFormat, EncodeRefusesTextNoReaderCouldTakeWhole) {
    std::string ziv = "stale";
    EXPECT_EQ(kelmar::kZivTextHasNul, EncodeZiv(std::string("<a>\0</a>", 8), &ziv));
    EXPECT_EQ("", ziv);
    EXPECT_EQ(kelmar::kZivTooLarge, EncodeZiv(std::string(kelmar::kZivMaxTextSize + 1, 'x'), &ziv));
    EXPECT_EQ("", ziv);
}

// Images that are not a good .ziv file, each with the status a reader must give.
struct BadImage {
    const char* what;
    std::string image;
    kelmar::ZivStatus want;
};

std::vector<BadImage> BadImages() {
    const std::string good = Encoded(kPlazaXml);
    auto with = [&](std::size_t offset, char value) {
        std::string image = good;
        image[offset] = value;
        return image;
    };
    auto flipped = [&](std::size_t offset) {
        return with(offset, static_cast<char>(good[offset] ^ 0x01));
    };
    // A payload whose text holds a zero byte but whose check value is right for it.
    std::string withNul = Encoded("aXb");
    withNul[kelmar::kZivHeaderSize + 1] ^= 'X';
    std::uint32_t crc = kelmar::Crc32("a\0b", 3);
    for (int i = 0; i < 4; ++i) {
        withNul[12 + i] = static_cast<char>(crc >> (8 * i));
    }
    std::string huge = good;
    huge[11] = 0x7F;  // length near 2 GiB

    return {
        {"empty", "", kelmar::kZivEmpty},
        {"start of the magic only", good.substr(0, 3), kelmar::kZivTruncated},
        {"header cut short", good.substr(0, 15), kelmar::kZivTruncated},
        {"header only", good.substr(0, 16), kelmar::kZivTruncated},
        {"last byte missing", good.substr(0, good.size() - 1), kelmar::kZivTruncated},
        {"one byte too many", good + "x", kelmar::kZivTrailingBytes},
        {"plain XML", kPlazaXml, kelmar::kZivNotZiv},
        {"a zip file", std::string("PK\x03\x04", 4) + std::string(40, '\0'), kelmar::kZivNotZiv},
        {"one byte", "Z", kelmar::kZivTruncated},
        {"magic changed", flipped(3), kelmar::kZivNotZiv},
        {"version 2", with(4, 2), kelmar::kZivBadVersion},
        {"reserved byte set", with(6, 1), kelmar::kZivBadVersion},
        {"payload byte changed", flipped(kelmar::kZivHeaderSize + 40), kelmar::kZivDamaged},
        {"last payload byte changed", flipped(good.size() - 1), kelmar::kZivDamaged},
        {"check value changed", flipped(13), kelmar::kZivDamaged},
        {"length larger than the file", with(9, static_cast<char>(good[9] + 1)),
         kelmar::kZivTruncated},
        {"length beyond the limit", huge, kelmar::kZivTooLarge},
        {"zero byte in the text", withNul, kelmar::kZivTextHasNul},
    };
}

TEST(ZivFormat, BadImagesAreRecognised) {
    for (const BadImage& bad : BadImages()) {
        std::string text = "stale";
        EXPECT_EQ(bad.want, DecodeZiv(bad.image, &text)) << bad.what;
        EXPECT_EQ("", text) << bad.what;
    }
}

class ChangeToXmlStrTest : public ::testing::Test {
protected:
    ScratchDir dir;
};

TEST_F(ChangeToXmlStrTest, DecodesAFileByItsPath) {
    // A Chinese file name as well: the path is code page 936 bytes.
    for (std::string name : {"GamePlazaInfo.ziv", "广场信息.ziv"}) {
        std::string path = dir / name;
        ASSERT_TRUE(WriteBytes(path, Encoded(kPlazaXml))) << name;
        const char* text = CXOREncrypt::ChangeToXmlStr(path.c_str());
        ASSERT_NE(nullptr, text) << name;
        EXPECT_EQ(kPlazaXml, std::string(text)) << name;
    }
}

TEST_F(ChangeToXmlStrTest, UndecodableFilesGiveEmptyTextNeverNull) {
    std::string good = dir / "good.ziv";
    ASSERT_TRUE(WriteBytes(good, Encoded(kPlazaXml)));
    for (const BadImage& bad : BadImages()) {
        std::string path = dir / "bad.ziv";
        ASSERT_TRUE(WriteBytes(path, bad.image)) << bad.what;
        // A good decode first, so a stale buffer would show.
        ASSERT_STRNE("", CXOREncrypt::ChangeToXmlStr(good.c_str())) << bad.what;
        const char* text = CXOREncrypt::ChangeToXmlStr(path.c_str());
        ASSERT_NE(nullptr, text) << bad.what;
        EXPECT_STREQ("", text) << bad.what;
    }
    std::string missing = dir / "missing.ziv";
    std::string folder = dir.path();
    for (const char* path :
         {missing.c_str(), folder.c_str(), "", static_cast<const char*>(nullptr)}) {
        const char* text = CXOREncrypt::ChangeToXmlStr(path);
        ASSERT_NE(nullptr, text) << (path ? path : "(null)");
        EXPECT_STREQ("", text) << (path ? path : "(null)");
    }
}

}  // namespace
