// The settings, time form, state file and request of signed manifests. The
// checks themselves run inside whole runs in updaterun_test.cpp.
#include "updater/core/manifesttrust.h"

#include <cstring>

#include <gtest/gtest.h>

#include "kelmar/ecdsakeytext.h"

namespace {

const std::string kKeyLine = kelmar::EcdsaPublicKeyText(std::string(64, '\x07'));

TEST(ManifestTrust, SettingsFromThePlazaInformationFile) {
    struct Case {
        std::string strServers;  // the child elements
        bool bOk;
        std::string strKey;  // expected raw key
        std::string strProblem;
    };
    const Case cases[] = {
        {"<s updateGameUrl=\"http://a/%s\"/>", true, "", ""},
        {"<s updateGameUrl=\"http://a/%s\" updatePublicKey=\"" + kKeyLine + "\"/>", true,
         std::string(64, '\x07'), ""},
        // First child with a non-empty value supplies it, as for the addresses.
        {"<s updatePublicKey=\"\"/><t updatePublicKey=\"" + kKeyLine + "\"/>", true,
         std::string(64, '\x07'), ""},
        {"<s updatePublicKey=\"ecdsa-p256:AAAA\"/>", false, "", "发布者公钥无效(ecdsa-p256:AAAA)"},
        {"<s updateGameUrl=\"HTTPS://a/%s\" updateGameUrlReserve=\"https://b/%s\" "
         "updateHttpsOnly=\"1\"/>",
         true, "", ""},
        {"<s updateGameUrl=\"https://a/%s\" updateGameUrlReserve=\"http://b/%s\" "
         "updateHttpsOnly=\"1\"/>",
         false, "", "只允许https服务器地址，拒绝(http://b/%s)"},
        {"<s updateGameUrl=\"https:/a/%s\" updateHttpsOnly=\"2\"/>", false, "",
         "只允许https服务器地址，拒绝(https:/a/%s)"},
        {"<s updateGameUrl=\"http://a/%s\" updateHttpsOnly=\"0\"/>", true, "", ""},
        {"<s updateGameUrl=\"http://a/%s\" updateHttpsOnly=\"no\"/>", true, "", ""},
    };
    for (const Case& c : cases) {
        const std::string strXml = "<p isEnableUpdate=\"1\">" + c.strServers + "</p>";
        PlazaInfo info;
        ASSERT_TRUE(ParsePlazaInfo(strXml.c_str(), info)) << strXml;
        UpdaterConfig config;
        config.strPublicKey = "stale";
        std::string strProblem;
        EXPECT_EQ(c.bOk, ApplyTrustSettings(info, config, strProblem)) << strXml;
        if (c.bOk) {
            EXPECT_EQ(c.strKey, config.strPublicKey) << strXml;
        }
        EXPECT_EQ(c.strProblem, strProblem) << strXml;
    }
}

TEST(ManifestTrust, UtcTimes) {
    struct Row {
        const char* pszText;
        std::int64_t llSeconds;
    } good[] = {{"1970-01-01T00:00:00Z", 0},
                {"2000-02-29T12:34:56Z", 951827696},
                {"2027-01-15T08:00:00Z", 1800000000},
                {"2100-12-31T23:59:59Z", 4133980799}};
    for (const Row& row : good) {
        std::int64_t llSeconds = -1;
        EXPECT_TRUE(ParseUtcTime(row.pszText, llSeconds)) << row.pszText;
        EXPECT_EQ(row.llSeconds, llSeconds) << row.pszText;
        EXPECT_EQ(row.pszText, FormatUtcTime(row.llSeconds)) << row.pszText;
    }
    for (const char* pszBad :
         {"2027-01-15 08:00:00Z", "2027-01-15T08:00:00", "2027-01-15T08:00:00+08:00",
          "2027-1-15T08:00:00Z", "2100-02-29T00:00:00Z", "2027-04-31T00:00:00Z",
          "2027-13-01T00:00:00Z", "2027-01-15T24:00:00Z", "1969-12-31T23:59:59Z",
          "2027-01-15T08:0a:00Z", "+027-01-15T08:00:00Z", ""}) {
        std::int64_t llSeconds = 0;
        EXPECT_FALSE(ParseUtcTime(pszBad, llSeconds)) << pszBad;
    }
}

TEST(ManifestTrust, StateFileKeepsWhatReadsAndDropsTheRest) {
    const SequenceState state = ParseSequenceState(
        "LastUpdateFiles.xml 12\r\nMy Game_UpdateFiles.xml 3\nbroken\n 1\nG_UpdateFiles.xml "
        "-4\nH_UpdateFiles.xml 9999999999999999999\nI_UpdateFiles.xml 5");
    const SequenceState want = {
        {"LastUpdateFiles.xml", 12}, {"My Game_UpdateFiles.xml", 3}, {"I_UpdateFiles.xml", 5}};
    EXPECT_EQ(want, state);
    EXPECT_EQ(want, ParseSequenceState(SequenceStateText(state)));
    EXPECT_TRUE(ParseSequenceState("").empty());
}

TEST(ManifestTrust, SignatureRequestFollowsItsManifest) {
    DownLoadRequest manifest;
    std::memset(&manifest, 0, sizeof(manifest));
    manifest.nFileCount = 1;
    std::strcpy(manifest.szFileName, "G_UpdateFiles.xml");
    std::strcpy(manifest.szSaveName, "G_UpdateFiles.xml");
    std::strcpy(manifest.szSaveDir, "C:\\P\\DownLoad");
    std::strcpy(manifest.szUrl, "http://s/x/G_UpdateFiles.xml");
    std::strcpy(manifest.szGameName, "G");
    manifest.bForGame = 1;
    DownLoadRequest sig;
    std::string strProblem;
    ASSERT_TRUE(FillSignatureRequest(manifest, sig, strProblem));
    EXPECT_EQ(2, manifest.nFileCount);
    EXPECT_EQ(2, sig.nFileCount);
    EXPECT_EQ(1, sig.nFileIndex);
    EXPECT_STREQ("G_UpdateFiles.xml.sig", sig.szFileName);
    EXPECT_STREQ("G_UpdateFiles.xml.sig", sig.szSaveName);
    EXPECT_STREQ("http://s/x/G_UpdateFiles.xml.sig", sig.szUrl);
    EXPECT_STREQ(".sig", sig.szUrlReserve);
    EXPECT_STREQ("C:\\P\\DownLoad", sig.szSaveDir);
    EXPECT_STREQ("G", sig.szGameName);
    EXPECT_EQ(1, sig.bForGame);

    // A manifest address that just fits leaves no room for ".sig".
    std::memset(manifest.szUrl, 'u', sizeof(manifest.szUrl) - 3);
    EXPECT_FALSE(FillSignatureRequest(manifest, sig, strProblem));
    EXPECT_NE(std::string::npos, strProblem.find("szUrl")) << strProblem;
    std::strcpy(manifest.szUrl, "http://s/x");
    // The save path is the folder, "\\" and "G_UpdateFiles.xml.sig" (21 bytes):
    // 259 bytes fit under MAX_PATH, 260 do not.
    std::memset(manifest.szSaveDir, 'd', 237);
    EXPECT_TRUE(FillSignatureRequest(manifest, sig, strProblem)) << strProblem;
    std::memset(manifest.szSaveDir, 'd', 238);
    EXPECT_FALSE(FillSignatureRequest(manifest, sig, strProblem));
    EXPECT_NE(std::string::npos, strProblem.find("保存路径")) << strProblem;
}

}  // namespace
