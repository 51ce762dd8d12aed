// The settings, time form, state file and request of signed manifests. The
// checks themselves run inside whole runs in updaterun_test.cpp.
#include "updater/core/manifesttrust.h"

#include <cstring>

#include <gtest/gtest.h>

#include "kelmar/ecdsa.h"
#include "kelmar/ecdsakeytext.h"

namespace {

kelmar::EcdsaKeyPair NewKey() {
    kelmar::EcdsaKeyPair key;
    EXPECT_TRUE(kelmar::EcdsaGenerateKeyPair(key));
    return key;
}
const kelmar::EcdsaKeyPair kKey = NewKey();
const std::string kKeyLine = kelmar::EcdsaPublicKeyText(kKey.strPublic);
// Well-formed text, but no point of the curve.
const std::string kOffCurveLine = kelmar::EcdsaPublicKeyText(std::string(64, '\x07'));

TEST(ManifestTrust, SettingsFromThePlazaInformationFile) {
    struct Case {
        std::string strServers;  // the child elements, or a whole document from its root on
        bool bOk;
        std::string strKey;  // expected raw key
        std::string strProblem;
        std::string strKey2 = {};  // expected raw offline key
    };
    const kelmar::EcdsaKeyPair offline = NewKey();
    const std::string strOfflineLine = kelmar::EcdsaPublicKeyText(offline.strPublic);
    const Case cases[] = {
        {"<s updateGameUrl=\"http://a/%s\"/>", true, "", ""},
        {"<s updateGameUrl=\"http://a/%s\" updatePublicKey=\"" + kKeyLine + "\"/>", true,
         kKey.strPublic, ""},
        // First child with a non-empty value supplies it, as for the addresses.
        {"<s updatePublicKey=\"\"/><t updatePublicKey=\"" + kKeyLine + "\"/>", true, kKey.strPublic,
         ""},
        {"<s updatePublicKey=\"ecdsa-p256:AAAA\"/>", false, "", "发布者公钥无效(ecdsa-p256:AAAA)"},
        {"<s updatePublicKey=\"" + kOffCurveLine + "\"/>", false, "",
         "发布者公钥无效(" + kOffCurveLine + ")"},
        // Either key signs; the offline one may sit on another element.
        {"<s updatePublicKey=\"" + kKeyLine + "\"/><t updatePublicKey2=\"" + strOfflineLine +
             "\"/>",
         true, kKey.strPublic, "", offline.strPublic},
        // Alone it would be taken for an unsigned installation.
        {"<s updatePublicKey2=\"" + strOfflineLine + "\"/>", false, "",
         "updatePublicKey2只能与updatePublicKey同用"},
        {"<s updatePublicKey=\"" + kKeyLine + "\" updatePublicKey2=\"" + kOffCurveLine + "\"/>",
         false, "", "发布者公钥无效(" + kOffCurveLine + ")"},
        {"<p isEnableUpdate=\"1\" updatePublicKey2=\"" + strOfflineLine +
             "\"><s updatePublicKey=\"" + kKeyLine + "\"/></p>",
         false, "", "发布者公钥和updateHttpsOnly只能写在服务器元素上"},
        // Never read there: the installation would run unsigned.
        {"<p isEnableUpdate=\"1\" updatePublicKey=\"" + kKeyLine + "\"><s/></p>", false, "",
         "发布者公钥和updateHttpsOnly只能写在服务器元素上"},
        {"<p isEnableUpdate=\"1\" updateHttpsOnly=\"1\"/>", false, "",
         "发布者公钥和updateHttpsOnly只能写在服务器元素上"},
        // "true" reads as 0: with a key, only 0 and 1 are taken.
        {"<s updatePublicKey=\"" + kKeyLine + "\" updateHttpsOnly=\"true\"/>", false, "",
         "updateHttpsOnly只能是0或1(true)"},
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
        const std::string strXml = c.strServers.rfind("<p ", 0) == 0
                                       ? c.strServers
                                       : "<p isEnableUpdate=\"1\">" + c.strServers + "</p>";
        PlazaInfo info;
        ASSERT_TRUE(ParsePlazaInfo(strXml.c_str(), info)) << strXml;
        UpdaterConfig config;
        config.strPublicKey = "stale";
        config.strPublicKey2 = "stale";
        std::string strProblem;
        EXPECT_EQ(c.bOk, ApplyTrustSettings(info, config, strProblem)) << strXml;
        if (c.bOk) {
            EXPECT_EQ(c.strKey, config.strPublicKey) << strXml;
            EXPECT_EQ(c.strKey2, config.strPublicKey2) << strXml;
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
    const std::string strOld(64, 'a');  // the key before the fingerprints
    const std::string strNew = KeyFingerprint(kKey.strPublic);
    ASSERT_EQ(64u, strNew.size());
    const SequenceState state = ParseSequenceState(
        "LastUpdateFiles.xml 12\r\nMy Game_UpdateFiles.xml 3\nbroken\n 1\nG_UpdateFiles.xml "
        "-4\nH_UpdateFiles.xml 9999999999999999999\nI_UpdateFiles.xml 5\r\n"
        "LastUpdateFiles.xml 999999999 " +
            strNew + "\r\nI_UpdateFiles.xml 4 " + strOld + "\nJ_UpdateFiles.xml 2 " +
            strNew.substr(1) + "\nK_UpdateFiles.xml " + strNew + "\n",
        strOld);
    const SequenceState want = {{{strOld, "LastUpdateFiles.xml"}, 12},
                                {{strOld, "My Game_UpdateFiles.xml"}, 3},
                                {{strOld, "I_UpdateFiles.xml"}, 5},
                                {{strNew, "LastUpdateFiles.xml"}, 999999999}};
    EXPECT_EQ(want, state);
    EXPECT_EQ(want, ParseSequenceState(SequenceStateText(state), ""));
    EXPECT_TRUE(ParseSequenceState("", strOld).empty());
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
