// The command-line scan, the address formatting and the plaza information.
#include <gtest/gtest.h>

#include "updater/core/address.h"
#include "updater/core/cmdline.h"
#include "updater/core/instance.h"
#include "updater/core/plazainfo.h"

namespace {

TEST(ScanGameName, FindsTheFirstGameNameToken) {
    struct Case {
        const char* pszCmdLine;
        const char* pszGame;
    };
    const Case cases[] = {
        {"C:\\Plaza\\Talvex.exe", ""},
        {"C:\\Plaza\\Talvex.exe -gamename:G", "G"},
        {"C:\\Plaza\\Talvex.exe -GameName:G", "G"},
        {"C:\\Plaza\\Talvex.exe -GAMENAME:斗地主", "斗地主"},
        {"Talvex.exe -gamename", ""},
        {"Talvex.exe -gamename -gamename:G", ""},
        {"Talvex.exe -gamename: -gamename:G", ""},
        {"Talvex.exe -gamename:A:B", "A"},
        {"Talvex.exe -gamename:My Game", "My"},
        {"Talvex.exe  -gamename:G", "G"},    // two blanks: an empty token between
        {"Talvex.exe \"-gamename:G\"", ""},  // quotes are not removed
        {"Talvex.exe -gamenames:G", ""},
        {"Talvex.exe gamename:G", ""},
        {"-gamename:First", "First"},  // token 0 counts too
        {"Talvex.exe x -gamename:G y", "G"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.pszGame, ScanGameName(c.pszCmdLine)) << c.pszCmdLine;
    }
}

TEST(FormatServerAddress, AppliesOnlyOnePathConversion) {
    struct Case {
        const char* pszFormat;
        AddressStatus status;
        const char* pszResult;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8080/%s", AddressStatus::Ok, "http://127.0.0.1:8080/update/xml"},
        {"http://h/%s/", AddressStatus::Ok, "http://h/update/xml/"},
        {"http://h/", AddressStatus::Ok, "http://h/"},  // no conversion: the path is dropped
        {"http://h/100%%/%s", AddressStatus::Ok, "http://h/100%/update/xml"},
        {"http://h/%%s", AddressStatus::Ok, "http://h/%s"},
        {"http://h/%s%s", AddressStatus::BadFormat, ""},
        {"http://h/%d", AddressStatus::BadFormat, ""},
        {"http://h/%n%s", AddressStatus::BadFormat, ""},
        {"http://h/%x", AddressStatus::BadFormat, ""},
        {"http://h/%", AddressStatus::BadFormat, ""},
        {"http://h/%5s", AddressStatus::BadFormat, ""},
        {"http://h/%S", AddressStatus::BadFormat, ""},
    };
    for (const Case& c : cases) {
        std::string strOut = "unchanged";
        EXPECT_EQ(c.status, FormatServerAddress(c.pszFormat, "update/xml", strOut)) << c.pszFormat;
        if (c.status == AddressStatus::Ok) {
            EXPECT_EQ(c.pszResult, strOut) << c.pszFormat;
        } else {
            EXPECT_EQ("unchanged", strOut) << c.pszFormat;
        }
    }
}

TEST(FormatServerAddress, RefusesResultsLongerThan499) {
    std::string strOut;
    const std::string strFormat = "http://h/%s";
    const std::string strFits(499 - 9, 'p');
    EXPECT_EQ(AddressStatus::Ok, FormatServerAddress(strFormat, strFits, strOut));
    EXPECT_EQ(499u, strOut.size());
    EXPECT_EQ(AddressStatus::TooLong, FormatServerAddress(strFormat, strFits + "p", strOut));
    EXPECT_EQ(AddressStatus::TooLong, FormatServerAddress(std::string(500, 'x'), "", strOut));
}

TEST(ParsePlazaInfo, ReadsTheSwitchAsAtoi) {
    struct Case {
        const char* pszValue;
        int nValue;
    };
    const Case cases[] = {{"0", 0}, {"00", 0},  {"off", 0}, {"", 0},   {"1", 1},
                          {"2", 2}, {"-1", -1}, {" 7x", 7}, {"+3", 3}, {"99999999999", 2147483647}};
    for (const Case& c : cases) {
        std::string strXml = std::string("<Info isEnableUpdate=\"") + c.pszValue + "\"/>";
        PlazaInfo info;
        ASSERT_TRUE(ParsePlazaInfo(strXml.c_str(), info)) << c.pszValue;
        EXPECT_EQ(c.nValue, info.nEnableUpdate) << c.pszValue;
    }
}

TEST(ParsePlazaInfo, RefusesUnusableDocuments) {
    const char* cases[] = {
        "",
        "not xml at all <",
        "<!-- only a comment -->",
        "<Info><Server updateGameUrl=\"x\"/></Info>",  // no isEnableUpdate
        "<Info isEnableUpdate=\"1\"><Server></Info>",  // does not parse
    };
    for (const char* pszXml : cases) {
        PlazaInfo info;
        EXPECT_FALSE(ParsePlazaInfo(pszXml, info)) << pszXml;
    }
    PlazaInfo info;
    EXPECT_FALSE(ParsePlazaInfo(nullptr, info));
    // Nested past the limit: refused before the recursive parser would run
    // out of Talvex's stack.
    std::string strDeep = "<Info isEnableUpdate=\"1\">";
    for (int i = 0; i < 60000; ++i)
        strDeep += "<a>";
    EXPECT_FALSE(ParsePlazaInfo(strDeep.c_str(), info));
}

TEST(ParsePlazaInfo, TakesEachAttributeFromTheFirstChildThatSetsIt) {
    const char* pszXml =
        "<Info isEnableUpdate=\"1\">"
        "<A updateGameUrl=\"\" updateGameXMLtUrl=\"xml\"/>"
        "<B updateGameUrl=\"http://s/%s\" updateGameXMLtUrl=\"later\">"
        "<Deep updateGameClientUrl=\"ignored\"/></B>"
        "<C updateGameUrlReserve=\"http://r/%s\" updateGameClientUrl=\"client\"/>"
        "</Info>";
    PlazaInfo info;
    ASSERT_TRUE(ParsePlazaInfo(pszXml, info));
    EXPECT_EQ("http://s/%s", info.strDownLoadGameUrl);
    EXPECT_EQ("xml", info.strUpdateGameXMLUrl);
    EXPECT_EQ("http://r/%s", info.strDownLoadGameUrlReserve);
    EXPECT_EQ("client", info.strUpdateGameClientUrl);
}

TEST(BuildServerAddresses, FillsOnlyPairsThatArePresent) {
    PlazaInfo info;
    info.strDownLoadGameUrl = "";
    info.strDownLoadGameUrlReserve = "http://r/%s";
    info.strUpdateGameXMLUrl = "xml";
    info.strUpdateGameClientUrl = "client";
    UpdaterConfig config;
    std::string strProblem;
    ASSERT_TRUE(BuildServerAddresses(info, config, strProblem));
    EXPECT_EQ("", config.strFileBase);
    EXPECT_EQ("", config.strXmlBase);
    EXPECT_EQ("http://r/client", config.strFileBaseReserve);
    EXPECT_EQ("http://r/xml", config.strXmlBaseReserve);

    info.strDownLoadGameUrl = "http://s/";  // no conversion: path dropped
    info.strUpdateGameClientUrl = "";
    ASSERT_TRUE(BuildServerAddresses(info, config, strProblem));
    EXPECT_EQ("", config.strFileBase);
    EXPECT_EQ("http://s/", config.strXmlBase);
    EXPECT_EQ("", config.strFileBaseReserve);
}

TEST(BuildServerAddresses, RefusesHostileOrOverlongServers) {
    const char* cases[] = {"http://s/%s%n", "http://s/%p", "http://s/%s%s"};
    for (const char* pszServer : cases) {
        PlazaInfo info;
        info.strDownLoadGameUrl = "http://ok/%s";
        info.strDownLoadGameUrlReserve = pszServer;
        info.strUpdateGameXMLUrl = "xml";
        UpdaterConfig config;
        std::string strProblem;
        EXPECT_FALSE(BuildServerAddresses(info, config, strProblem)) << pszServer;
        EXPECT_NE(std::string::npos, strProblem.find(pszServer)) << pszServer;
    }
    PlazaInfo info;
    info.strDownLoadGameUrl = "http://s/%s";
    info.strUpdateGameXMLUrl = std::string(495, 'x');
    UpdaterConfig config;
    std::string strProblem;
    EXPECT_FALSE(BuildServerAddresses(info, config, strProblem));
    EXPECT_FALSE(strProblem.empty());
}

}  // namespace

#include "updater/core/cp936text.h"

namespace {

TEST(FolderOfPath, KeepsTheTrailingSeparatorAndStepsOverDoubleBytes) {
    struct Case {
        const char* pszPath;
        const char* pszFolder;
    };
    const Case cases[] = {
        {"D:\\Plaza\\Talvex.exe", "D:\\Plaza\\"},
        {"D:\\游戏大厅\\Talvex.exe", "D:\\游戏大厅\\"},
        {"D:\\\xb1\x5c\\Talvex.exe", "D:\\\xb1\x5c\\"},  // 0x5C as a second byte
        {"D:\\a\\\xb1\x5cTalvex.exe", "D:\\a\\"},
        {"D:\\a\xb1/Talvex.exe", "D:\\a\xb1/"},  // 0x2F cannot be a second byte
        {"Talvex.exe", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.pszFolder, FolderOfPath(c.pszPath)) << c.pszPath;
}

TEST(CopyWhole, RefusesInsteadOfCutting) {
    char szField[4];
    EXPECT_TRUE(CopyWhole(szField, sizeof(szField), "abc"));
    EXPECT_STREQ("abc", szField);
    EXPECT_FALSE(CopyWhole(szField, sizeof(szField), "abcd"));
    EXPECT_EQ(std::string(4, '\0'), std::string(szField, 4));
    EXPECT_FALSE(CopyWhole(szField, sizeof(szField), std::string("a\0b", 3)));
}

TEST(InstanceMutexName, OneNamePerFolderAsWindowsComparesThem) {
    struct Case {
        const char* pszA;
        const char* pszB;
        bool bSame;
    };
    const Case cases[] = {
        {"D:\\Plaza\\", "d:/plaza", true},
        {"D:\\游戏大厅\\", "D:\\游戏大厅", true},
        {"D:\\Plaza\\", "D:\\Plaza2\\", false},
        {"D:\\\xb1\x5c", "D:\\\xb1", false},  // 0x5C as a second byte is no separator
        {"D:\\a\\", "E:\\a\\", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.bSame, InstanceMutexName(c.pszA) == InstanceMutexName(c.pszB))
            << c.pszA << " / " << c.pszB;
        EXPECT_EQ(std::string::npos, InstanceMutexName(c.pszA).find('\\', 7)) << c.pszA;
    }
}

}  // namespace

#include <map>

#include "kelmar/zivformat.h"
#include "updater/core/startup.h"

namespace {

// The program folder's files in memory: only reading and presence are asked.
class CMemoryFiles : public IManifestTrustHost {
public:
    std::map<std::string, std::string> files;

    bool ReadWholeFile(const std::string& strPath, std::size_t cbMax,
                       std::string& strBytes) override {
        auto it = files.find(strPath);
        if (it == files.end() || it->second.size() > cbMax)
            return false;
        strBytes = it->second;
        return true;
    }
    bool ReplaceFile(const std::string&, const std::string&) override { return false; }
    void RemoveFile(const std::string&) override {}
    bool ListFiles(const std::string&, std::vector<std::string>&) override { return false; }
    bool IsMissing(const std::string& strPath) override { return files.count(strPath) == 0; }
    std::int64_t Now() override { return 0; }
    std::string FileSha256(const std::string&) override { return std::string(); }
};

std::string Ziv(const std::string& strXml) {
    std::string strZiv;
    EXPECT_EQ(kelmar::kZivOk, kelmar::EncodeZiv(strXml, &strZiv));
    return strZiv;
}

const char kExe[] = "D:\\Plaza\\Talvex.exe";
const char kInfo[] = "D:\\Plaza\\GamePlazaInfo.ziv";
const std::string kServers =
    "<S updateGameUrl=\"http://s/%s\" updateGameUrlReserve=\"http://r/%s\" "
    "updateGameXMLtUrl=\"x\" updateGameClientUrl=\"c\"/>";

TEST(ReadStartup, ReadsTheFolderThePlazaInformationAndTheGameInTheirOrder) {
    struct Case {
        const char* pszWhat;
        std::string strExe;
        bool bWhole;
        const char* pszCmdLine;
        std::string strInfo;  // the stored bytes; "-": no file
        StartupStatus status;
        std::string strLogLine;  // Ready: the game; UpdateDisabled: the switch
        std::string strMessage;  // Ready: the primary manifest address
    };
    const std::string strLongFolder = "D:\\" + std::string(256, 'f') + "\\";
    const Case cases[] = {
        {"plaza", kExe, true, "Talvex.exe", Ziv("<I isEnableUpdate=\"1\">" + kServers + "</I>"),
         StartupStatus::Ready, "", "http://s/x"},
        {"game", kExe, true, "Talvex.exe -gamename:G",
         Ziv("<I isEnableUpdate=\"2\">" + kServers + "</I>"), StartupStatus::Ready, "G",
         "http://s/x"},
        {"cut path", kExe, false, "", "-", StartupStatus::FolderUnusable, "程序路径过长",
         "打开D:\\Plaza\\Talvex.exe出错！"},
        {"no folder", "Talvex.exe", true, "", "-", StartupStatus::FolderUnusable, "程序路径过长",
         "打开Talvex.exe出错！"},
        {"folder of 260", strLongFolder + "T.exe", true, "", "-", StartupStatus::FolderUnusable,
         "程序路径过长", "打开" + strLongFolder + "T.exe出错！"},
        {"no file", kExe, true, "", "-", StartupStatus::PlazaInfoMissing,
         "GamePlazaInfo.ziv文件不存在！", "GamePlazaInfo.ziv文件不存在！"},
        {"not .ziv", kExe, true, "", "<I isEnableUpdate=\"1\"/>",
         StartupStatus::PlazaInfoUnreadable, "GamePlazaInfo.ziv文件解析出错！",
         "GamePlazaInfo.ziv文件解析出错！"},
        {"no switch", kExe, true, "", Ziv("<I/>"), StartupStatus::PlazaInfoUnreadable,
         "GamePlazaInfo.ziv文件解析出错！", "GamePlazaInfo.ziv文件解析出错！"},
        // The switch is read before the servers: off, a bad server is never judged.
        {"off", kExe, true, "", Ziv("<I isEnableUpdate=\"0\"><S updateGameUrl=\"%d\"/></I>"),
         StartupStatus::UpdateDisabled, "0", ""},
        {"bad server", kExe, true, "",
         Ziv("<I isEnableUpdate=\"1\"><S updateGameUrl=\"http://s/%d\" "
             "updateGameXMLtUrl=\"x\"/></I>"),
         StartupStatus::ConfigRefused, "服务器地址格式无效，只允许一个%s(http://s/%d)",
         "GamePlazaInfo.ziv文件解析出错！"},
        {"key on the root", kExe, true, "",
         Ziv("<I isEnableUpdate=\"1\" updateHttpsOnly=\"1\">" + kServers + "</I>"),
         StartupStatus::ConfigRefused, "", "GamePlazaInfo.ziv文件解析出错！"},
    };
    for (const Case& c : cases) {
        CMemoryFiles files;
        if (c.strInfo != "-")
            files.files[kInfo] = c.strInfo;
        const StartupSettings s = ReadStartup(c.strExe, c.bWhole, c.pszCmdLine, files);
        EXPECT_EQ(c.status, s.status) << c.pszWhat;
        EXPECT_EQ(c.status == StartupStatus::FolderUnusable ? "" : "D:\\Plaza\\",
                  s.config.strProgramFolder)
            << c.pszWhat;
        switch (c.status) {
            case StartupStatus::Ready:
                EXPECT_EQ(c.strLogLine, s.strGameName) << c.pszWhat;
                EXPECT_EQ(c.strMessage, s.config.strXmlBase) << c.pszWhat;
                EXPECT_EQ("http://r/c", s.config.strFileBaseReserve) << c.pszWhat;
                break;
            case StartupStatus::UpdateDisabled:
                EXPECT_EQ(c.strLogLine, std::to_string(s.nEnableUpdate)) << c.pszWhat;
                EXPECT_EQ("", s.config.strXmlBase) << c.pszWhat;
                break;
            default:
                // A refused trust setting names itself in its own words.
                if (!c.strLogLine.empty()) {
                    EXPECT_EQ(c.strLogLine, s.strLogLine) << c.pszWhat;
                }
                EXPECT_FALSE(s.strLogLine.empty()) << c.pszWhat;
                EXPECT_EQ(c.strMessage, s.strMessage) << c.pszWhat;
                EXPECT_EQ("", s.config.strXmlBase) << c.pszWhat;
                break;
        }
    }
}

}  // namespace
