// Request records byte for byte, and the batch file text.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "updater/core/requests.h"
#include "updater/core/specialbat.h"

namespace {

UpdaterConfig SampleConfig() {
    UpdaterConfig config;
    config.strProgramFolder = "D:\\Plaza\\";
    config.strFileBase = "http://s/client";
    config.strXmlBase = "http://s/xml";
    config.strFileBaseReserve = "http://r/client";
    config.strXmlBaseReserve = "http://r/xml/";
    return config;
}

// The record as the engine must see it: every field named, every other byte 0.
DownLoadRequest Expected(unsigned char bFlag, const char* pszFileName, const char* pszSaveName,
                         const char* pszSaveDir, const char* pszUrl, const char* pszUrlReserve,
                         const char* pszMD5, int nCount, int nIndex, const char* pszGame,
                         unsigned char bForGame) {
    DownLoadRequest req;
    std::memset(&req, 0, sizeof(req));
    req.bFlag = bFlag;
    std::strcpy(req.szFileName, pszFileName);
    std::strcpy(req.szSaveName, pszSaveName);
    std::strcpy(req.szSaveDir, pszSaveDir);
    std::strcpy(req.szUrl, pszUrl);
    std::strcpy(req.szUrlReserve, pszUrlReserve);
    std::strcpy(req.szMD5, pszMD5);
    req.nFileCount = nCount;
    req.nFileIndex = nIndex;
    std::strcpy(req.szGameName, pszGame);
    req.bForGame = bForGame;
    return req;
}

void ExpectSameBytes(const DownLoadRequest& want, const DownLoadRequest& got, const char* what) {
    const unsigned char* pWant = reinterpret_cast<const unsigned char*>(&want);
    const unsigned char* pGot = reinterpret_cast<const unsigned char*>(&got);
    for (std::size_t i = 0; i < sizeof(DownLoadRequest); ++i) {
        ASSERT_EQ(pWant[i], pGot[i]) << what << ": first difference at offset " << i;
    }
}

DownLoadRequest Dirty() {
    DownLoadRequest req;
    std::memset(&req, 0xAB, sizeof(req));
    return req;
}

NeedUpdateFile File(const char* pszName, const char* pszDate, int isSpecial) {
    NeedUpdateFile file;
    std::memset(&file, 0, sizeof(file));
    std::strcpy(file.fileName, pszName);
    std::strcpy(file.fileDate, pszDate);
    file.isSpecial = isSpecial;
    return file;
}

TEST(Requests, PlazaManifest) {
    DownLoadRequest req = Dirty();
    std::string strProblem;
    ASSERT_TRUE(FillPlazaManifestRequest(SampleConfig(), req, strProblem));
    ExpectSameBytes(Expected(1, "LastUpdateFiles.xml", "LastUpdateFiles.xml", "D:\\Plaza\\DownLoad",
                             "http://s/xml/LastUpdateFiles.xml",
                             "http://r/xml//LastUpdateFiles.xml", "", 1, 0, "", 0),
                    req, "plaza manifest");
}

TEST(Requests, PlazaManifestWithEmptyBases) {
    UpdaterConfig config;
    config.strProgramFolder = "C:\\P\\";
    DownLoadRequest req = Dirty();
    std::string strProblem;
    ASSERT_TRUE(FillPlazaManifestRequest(config, req, strProblem));
    EXPECT_STREQ("/LastUpdateFiles.xml", req.szUrl);
    EXPECT_STREQ("/LastUpdateFiles.xml", req.szUrlReserve);
}

TEST(Requests, GameManifest) {
    DownLoadRequest req = Dirty();
    std::string strProblem;
    ASSERT_TRUE(FillGameManifestRequest(SampleConfig(), "斗地主", req, strProblem));
    ExpectSameBytes(Expected(1, "斗地主_UpdateFiles.xml", "斗地主_UpdateFiles.xml",
                             "D:\\Plaza\\DownLoad", "http://s/xml/斗地主_UpdateFiles.xml",
                             "http://r/xml//斗地主_UpdateFiles.xml", "", 1, 0, "斗地主", 1),
                    req, "game manifest");
}

TEST(Requests, GameManifestNameIsCutOnlyInTheDisplayField) {
    const std::string strGame(120, 'g');
    DownLoadRequest req;
    std::string strProblem;
    ASSERT_TRUE(FillGameManifestRequest(SampleConfig(), strGame, req, strProblem));
    const std::string strManifest = strGame + "_UpdateFiles.xml";  // 136 characters
    EXPECT_EQ(strManifest.substr(0, 127), req.szFileName);
    EXPECT_EQ(strManifest, req.szSaveName);
    EXPECT_EQ("http://s/xml/" + strManifest, req.szUrl);
    EXPECT_EQ(strGame, req.szGameName);

    // A double-byte character is never split by the cut.
    const std::string strWide = std::string(119, 'g') + "斗地主";  // 125 bytes
    ASSERT_TRUE(FillGameManifestRequest(SampleConfig(), strWide, req, strProblem));
    EXPECT_EQ(strWide.substr(0, 125) + "_U", req.szFileName);
    const std::string strOdd = std::string(126, 'g') + "斗";  // 128 bytes: too long a game name
    EXPECT_FALSE(FillGameManifestRequest(SampleConfig(), strOdd, req, strProblem));
    const std::string strEdge = std::string(126, 'g') + "x";  // 127: the cut falls after 127
    ASSERT_TRUE(FillGameManifestRequest(SampleConfig(), strEdge, req, strProblem));
    EXPECT_EQ(127u, std::strlen(req.szFileName));
}

TEST(Requests, RefusesWhatDoesNotFit) {
    std::string strProblem;
    DownLoadRequest req;
    UpdaterConfig config = SampleConfig();
    EXPECT_FALSE(FillGameManifestRequest(config, std::string(128, 'g'), req, strProblem));
    EXPECT_NE(std::string::npos, strProblem.find("szGameName"));
    const DownLoadRequest zero = Expected(0, "", "", "", "", "", "", 0, 0, "", 0);
    ExpectSameBytes(zero, req, "refused game request");

    config.strXmlBase = "http://s/" + std::string(240, 'x');  // + "/LastUpdateFiles.xml" > 259
    EXPECT_FALSE(FillPlazaManifestRequest(config, req, strProblem));
    EXPECT_NE(std::string::npos, strProblem.find("szUrl"));
    ExpectSameBytes(zero, req, "refused plaza request");

    config = SampleConfig();
    config.strProgramFolder = "C:\\" + std::string(236, 'p') + "\\";  // folder of 240
    // DownLoad dir 248 + "\" + 19 = 268: the save path would not be a valid path.
    EXPECT_FALSE(FillPlazaManifestRequest(config, req, strProblem));
    ExpectSameBytes(zero, req, "refused save path");

    config = SampleConfig();
    config.strFileBase = "http://s/" + std::string(245, 'c');
    EXPECT_FALSE(
        FillFileRequest(config, File("\\sub\\x.dll", "d", 0), 1, 0, "", 0, req, strProblem));
    EXPECT_NE(std::string::npos, strProblem.find("szUrl"));
}

TEST(Requests, SavePathsUpTo259CharactersAreTaken) {
    // The engine saves to szSaveDir + "\" + szSaveName, through a temporary
    // file of DOWNLOAD_TEMP_NAME_LENGTH characters in the same folder: each
    // field may fit while the longer of the two whole paths is no longer one
    // the platform takes.
    const std::string strLong = "\\" + std::string(100, 's');
    const struct {
        const char* pszCase;
        int nKind;  // 0 the plaza manifest, 1 a special file, 2 a file in the folder itself
        std::size_t cchLongest;
    } cases[] = {
        // "LastUpdateFiles.xml" is shorter than the temporary name.
        {"plaza manifest", 0, 259},
        {"plaza manifest", 0, 260},
        // A name of 100 is longer than the temporary name.
        {"special file", 1, 259},
        {"special file", 1, 260},
        // "a.dll" beside the programs: the temporary name decides.
        {"short file", 2, 259},
        {"short file", 2, 260},
    };
    for (const auto& c : cases) {
        // Beside the folder "C:\<n>\": "DownLoad\" and the temporary name,
        // "DownLoad\Special\" and the file's 100, or the temporary name alone.
        const std::size_t cchBeside[] = {9 + DOWNLOAD_TEMP_NAME_LENGTH, 17 + 100,
                                         DOWNLOAD_TEMP_NAME_LENGTH};
        UpdaterConfig config = SampleConfig();
        config.strProgramFolder =
            "C:\\" + std::string(c.cchLongest - cchBeside[c.nKind] - 4, 'p') + "\\";
        DownLoadRequest req = Dirty();
        std::string strProblem;
        bool bTaken = false;
        if (c.nKind == 0) {
            bTaken = FillPlazaManifestRequest(config, req, strProblem);
        } else {
            const NeedUpdateFile file =
                c.nKind == 1 ? File(strLong.c_str(), "d", 1) : File("\\a.dll", "d", 0);
            bTaken = FillFileRequest(config, file, 1, 0, "", 0, req, strProblem);
        }
        EXPECT_EQ(c.cchLongest <= 259, bTaken) << c.pszCase << " " << c.cchLongest;
        if (bTaken) {
            const std::size_t cchDir = std::strlen(req.szSaveDir);
            EXPECT_EQ(c.cchLongest, std::max(cchDir + 1 + std::strlen(req.szSaveName),
                                             cchDir + 1 + DOWNLOAD_TEMP_NAME_LENGTH))
                << c.pszCase << " " << c.cchLongest;
        } else {
            EXPECT_NE(std::string::npos, strProblem.find("保存路径"))
                << c.pszCase << " " << c.cchLongest;
            ExpectSameBytes(Expected(0, "", "", "", "", "", "", 0, 0, "", 0), req, c.pszCase);
        }
    }
}

TEST(Requests, InstallationFiles) {
    const UpdaterConfig config = SampleConfig();
    DownLoadRequest req = Dirty();
    std::string strProblem;
    ASSERT_TRUE(
        FillFileRequest(config, File("\\sub\\x.dll", "0123abcd", 0), 3, 1, "", 0, req, strProblem));
    ExpectSameBytes(
        Expected(1, "\\sub\\x.dll", "sub\\x.dll", "D:\\Plaza", "http://s/client\\sub\\x.dll",
                 "http://r/client\\sub\\x.dll", "0123abcd", 3, 1, "", 0),
        req, "ordinary file");

    ASSERT_TRUE(FillFileRequest(config, File("\\a.dll", "ff", -1), 2, 0, "", 0, req, strProblem));
    ExpectSameBytes(Expected(1, "\\a.dll", "a.dll", "D:\\Plaza\\DownLoad\\Special",
                             "http://s/client\\a.dll", "http://r/client\\a.dll", "ff", 2, 0, "", 0),
                    req, "special file");

    ASSERT_TRUE(
        FillFileRequest(config, File("/g/x.dat", "ee", 0), 1, 0, "斗地主", 1, req, strProblem));
    ExpectSameBytes(Expected(1, "/g/x.dat", "g/x.dat", "D:\\Plaza", "http://s/client/g/x.dat",
                             "http://r/client/g/x.dat", "ee", 1, 0, "斗地主", 1),
                    req, "game file");
}

TEST(Requests, ManifestPathsAndLocalPaths) {
    const UpdaterConfig config = SampleConfig();
    EXPECT_EQ("D:\\Plaza\\DownLoad\\LastUpdateFiles.xml", PlazaManifestPath(config));
    EXPECT_EQ("D:\\Plaza\\DownLoad\\G_UpdateFiles.xml", GameManifestPath(config, "G"));
    EXPECT_EQ("D:\\Plaza\\sub\\x.dll", LocalFilePath(config, "\\sub\\x.dll"));
}

TEST(SpecialCopyBat, WritesExactlyTheseBytes) {
    const std::vector<NeedUpdateFile> files = {File("\\a.dll", "1", 0), File("\\a.dll", "2", 1),
                                               File("\\sub\\游戏.dll", "3", 2)};
    std::string strAll;
    const std::vector<std::string> texts = SpecialCopyBatTexts(files);
    for (const std::string& strText : texts)
        strAll += strText;
    EXPECT_EQ(6u, texts.size());
    EXPECT_EQ(
        "@ping 127.0.0.1 -n 2 >nul\r\n"
        "echo f | xcopy \"%~dp0DownLoad\\Special\\a.dll\" \"%~dp0\\a.dll\" /s /h /c /y\r\n"
        "echo f | xcopy \"%~dp0DownLoad\\Special\\sub\\游戏.dll\" \"%~dp0\\sub\\游戏.dll\" /s /h "
        "/c "
        "/y\r\n"
        "del \"%~dp0DownLoad\\Special\" /s /q\r\n"
        " rd \"%~dp0DownLoad\\Special\" /s /q\r\n"
        "Start \"\" \"%~dp0ZIVGame.exe\" -u\r\n"
        "del /f %0\r\n",
        strAll);
}

TEST(SpecialCopyBat, WithoutSpecialFilesOnlyTheFixedLines) {
    const std::vector<std::string> texts = SpecialCopyBatTexts({File("\\a.dll", "1", 0)});
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ("@ping 127.0.0.1 -n 2 >nul\r\n", texts[0]);
    EXPECT_EQ("del /f %0\r\n", texts[3]);
}

}  // namespace
