// The run's decisions and orchestration against a recording host: what is
// logged, shown, ended, written and sent, in which order.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <set>

#include <gtest/gtest.h>

#include "kelmar/ecdsa.h"
#include "kelmar/ecdsakeytext.h"
#include "kelmar/sha256.h"
#include "kelmar/zivformat.h"
#include "updater/core/filedigest.h"
#include "updater/core/updaterun.h"

namespace {

typedef std::vector<std::string> Trace;

class CRecordingHost : public IUpdateHost, public IFileProbe {
public:
    Trace trace;
    std::set<std::string> existing;  // besides files on disk
    std::map<std::string, std::pair<std::uint64_t, std::string>> files;
    std::vector<std::vector<DownLoadRequest>> commands;
    bool bThrowOnDigest = false;
    bool bBatFails = false;

    void Log(const std::string& strLine) override { trace.push_back("log:" + strLine); }
    void ShowMessage(const std::string& strText) override { trace.push_back("msg:" + strText); }
    void PostQuit() override { trace.push_back("quit"); }
    void TerminateProcessByName(const std::string& strExe) override {
        trace.push_back("kill:" + strExe);
    }
    bool FileExists(const std::string& strPath) override {
        return existing.count(strPath) != 0 || access(strPath.c_str(), F_OK) == 0;
    }
    IFileProbe& Probe() override { return *this; }
    // An engine that holds files to their SHA-256 itself, when set.
    bool bEngineExpects = false;
    std::vector<std::string> expects;  // "save dir\name size sha256"
    bool ExpectFile(const DownLoadRequest& request, std::uint64_t qwSize,
                    const std::string& strSha256) override {
        expects.push_back(std::string(request.szSaveDir) + "\\" + request.szSaveName + " " +
                          std::to_string(qwSize) + " " + strSha256);
        return bEngineExpects;
    }
    int DownLoadCommand(int nCode, const DownLoadRequest* pFirst,
                        const DownLoadRequestList* pOthers) override {
        std::vector<DownLoadRequest> sent;
        if (pFirst != nullptr)
            sent.push_back(*pFirst);
        if (pOthers != nullptr)
            sent.insert(sent.end(), pOthers->begin(), pOthers->end());
        commands.push_back(sent);
        trace.push_back("cmd:" + std::to_string(nCode) + ":" + std::to_string(sent.size()) +
                        (pOthers != nullptr ? "+list" : ""));
        return static_cast<int>(sent.size());
    }
    bool WriteSpecialCopyBat(const std::vector<NeedUpdateFile>& list) override {
        int nSpecial = 0;
        for (const NeedUpdateFile& file : list)
            nSpecial += file.isSpecial != 0;
        trace.push_back("bat:" + std::to_string(list.size()) + "/" + std::to_string(nSpecial));
        return !bBatFails;
    }
    void FinishUpdate() override { trace.push_back("finish"); }
    void OpenGame() override { trace.push_back("opengame"); }

    bool Exists(const std::string& strPath) override { return files.count(strPath) != 0; }
    bool ReadSize(const std::string& strPath, std::uint64_t& qwSize) override {
        qwSize = files.at(strPath).first;
        return true;
    }
    std::string Digest(const std::string& strPath) override {
        if (bThrowOnDigest)
            throw std::bad_alloc();
        return files.at(strPath).second;
    }
};

// Signed manifests: the files of the run's folder on disk, a clock the test sets.
class CDiskTrustHost : public IManifestTrustHost {
public:
    std::int64_t llNow = 1800000000;  // 2027-01-15
    bool bReplaceFails = false;
    std::vector<std::string> removed;

    bool ReadWholeFile(const std::string& strPath, std::size_t cbMax,
                       std::string& strBytes) override {
        std::ifstream in(strPath, std::ios::binary);
        if (!in)
            return false;
        strBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return strBytes.size() <= cbMax;
    }
    bool ReplaceFile(const std::string& strPath, const std::string& strBytes) override {
        if (bReplaceFails)
            return false;
        std::ofstream(strPath + ".new", std::ios::binary) << strBytes;
        return std::rename((strPath + ".new").c_str(), strPath.c_str()) == 0;
    }
    void RemoveFile(const std::string& strPath) override {
        removed.push_back(strPath);
        std::remove(strPath.c_str());
    }
    // Natively a Windows path's backslashes are name characters: the files
    // "under" FOLDER are those of its parent named "FOLDER-step\...".
    bool ListFiles(const std::string& strFolder, std::vector<std::string>& files) override {
        const std::size_t nSlash = strFolder.rfind('/');
        const std::string strPrefix = strFolder.substr(nSlash + 1) + "\\";
        DIR* pDir = opendir(strFolder.substr(0, nSlash).c_str());
        if (pDir == nullptr)
            return false;
        for (dirent* pEntry = readdir(pDir); pEntry != nullptr; pEntry = readdir(pDir)) {
            const std::string strName = pEntry->d_name;
            if (strName.rfind(strPrefix, 0) == 0)
                files.push_back(strName.substr(strPrefix.size()));
        }
        closedir(pDir);
        return true;
    }
    bool IsMissing(const std::string& strPath) override {
        return access(strPath.c_str(), F_OK) != 0 && errno == ENOENT;
    }
    std::int64_t Now() override { return llNow; }
    std::string FileSha256(const std::string& strPath) override {
        return talvex::GetFileSha256(strPath.c_str());
    }
};

class UpdateRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szDir[] = "/tmp/updaterun-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szDir));
        m_strDir = szDir;
        // Natively the backslashes of the Windows paths are ordinary name
        // characters: "DownLoad\LastUpdateFiles.xml" is one file in the folder.
        config.strProgramFolder = m_strDir + "/";
        config.strFileBase = "http://s/c";
        config.strFileBaseReserve = "http://r/c";
        config.strXmlBase = "http://s/x";
        config.strXmlBaseReserve = "http://r/x";
    }
    void TearDown() override {
        for (const std::string& strPath : m_written)
            std::remove(strPath.c_str());
        rmdir(m_strDir.c_str());
    }
    void Write(const std::string& strPath, const std::string& strText) {
        std::ofstream(strPath, std::ios::binary) << strText;
        m_written.push_back(strPath);
    }
    void WritePlazaManifest(const std::string& strText) {
        Write(PlazaManifestPath(config), strText);
    }
    // An installed file with the given size and digest.
    void Installed(const std::string& strName, std::uint64_t qwSize, const std::string& strDigest) {
        host.files[LocalFilePath(config, strName)] = {qwSize, strDigest};
    }
    DownLoadTask Task(int nCode, const char* pszGame = "", unsigned char bForGame = 0,
                      unsigned int dwCount = 1, unsigned int dwIndex = 0) {
        DownLoadTask task;
        std::memset(&task, 0, sizeof(task));
        task.nCommandCode = nCode;
        std::strcpy(task.Request.szGameName, pszGame);
        task.Request.bForGame = bForGame;
        task.dwBatchCount = dwCount;
        task.dwBatchIndex = dwIndex;
        return task;
    }
    void Event(const DownLoadTask& task, int nEvent = DOWNLOAD_EVENT_FINISHED) {
        CUpdateRun run(config, host, trust, expected);
        run.OnDownLoadEvent(nEvent, &task);
    }

    UpdaterConfig config;
    CRecordingHost host;
    CDiskTrustHost trust;
    ExpectedFiles expected;
    std::string m_strDir;
    std::vector<std::string> m_written;
};

const char kDigestA[] = "0cc175b9c0f1b6a831c399e269772661";

TEST_F(UpdateRunTest, PlazaUpdateEndsProgramsComparesAndSendsOneBatch) {
    WritePlazaManifest(
        "<R><F>"
        "<e name=\"\\same.dll\" date=\"0cc175b9c0f1b6a831c399e269772661\" bytes=\"1\" "
        "isSpecial=\"0\"/>"
        "<e name=\"\\missing.dll\" date=\"ddddddddddddddddddddddddddddddd2\" bytes=\"5\" "
        "isSpecial=\"0\"/>"
        "<e name=\"\\sub\\special.dll\" date=\"ddddddddddddddddddddddddddddddd3\" bytes=\"5\" "
        "isSpecial=\"1\"/>"
        "<e name=\"\\resized.dat\" date=\"0cc175b9c0f1b6a831c399e269772661\" bytes=\"2\" "
        "isSpecial=\"0\"/>"
        "</F><G><g name=\"Installed\"/><g name=\"Absent\"/></G></R>");
    host.existing.insert(config.strProgramFolder + "Installed.exe");
    Installed("\\same.dll", 1, kDigestA);
    Installed("\\resized.dat", 1, kDigestA);
    Event(Task(DOWNLOAD_CMD_PLAZA_XML));

    const Trace want = {
        "kill:ZIVGame.exe",
        "kill:Installed.exe",
        "log:updatefile(3)http://s/c\\missing.dll(http://r/c\\missing.dll)",
        "log:updatefile(3)http://s/c\\sub\\special.dll(http://r/c\\sub\\special.dll)",
        "log:updatefile(3)http://s/c\\resized.dat(http://r/c\\resized.dat)",
        "bat:3/1",
        "cmd:3:3+list",
    };
    EXPECT_EQ(want, host.trace);
    ASSERT_EQ(1u, host.commands.size());
    const std::vector<DownLoadRequest>& sent = host.commands[0];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(3, sent[i].nFileCount) << i;
        EXPECT_EQ(i, sent[i].nFileIndex) << i;
        EXPECT_EQ(0, sent[i].bForGame) << i;
    }
    EXPECT_EQ(m_strDir, sent[0].szSaveDir);
    EXPECT_EQ(config.strProgramFolder + "DownLoad\\Special", sent[1].szSaveDir);
    EXPECT_STREQ("sub\\special.dll", sent[1].szSaveName);
    EXPECT_STREQ("ddddddddddddddddddddddddddddddd3", sent[1].szMD5);
}

TEST_F(UpdateRunTest, PlazaUpdateOfOneSpecialFileWritesTheBatchFileFirst) {
    WritePlazaManifest(
        "<R><F><e name=\"\\a.dll\" date=\"dddddddddddddddddddddddddddddddd\" "
        "isSpecial=\"-1\"/></F><G/></R>");
    Event(Task(DOWNLOAD_CMD_PLAZA_XML));
    const Trace want = {"kill:ZIVGame.exe", "bat:1/1",
                        "log:updatefile(1)http://s/c\\a.dll(http://r/c\\a.dll)", "cmd:3:1"};
    EXPECT_EQ(want, host.trace);
}

// Fetched without their batch file, the special files would never reach
// their place: nothing is fetched, and the user is told.
TEST_F(UpdateRunTest, BatchFileThatCannotBeWrittenFetchesNothing) {
    const std::string strEntry =
        "<e name=\"\\a.dll\" date=\"dddddddddddddddddddddddddddddddd\" "
        "isSpecial=\"-1\"/>";
    for (int nFiles : {1, 2}) {
        host.trace.clear();
        host.bBatFails = true;
        WritePlazaManifest("<R><F>" + strEntry +
                           (nFiles == 2
                                ? "<e name=\"\\b\" date=\"dddddddddddddddddddddddddddddddd\" "
                                  "isSpecial=\"0\"/>"
                                : "") +
                           "</F><G/></R>");
        Event(Task(DOWNLOAD_CMD_PLAZA_XML));
        ASSERT_LE(2u, host.trace.size()) << nFiles;
        EXPECT_EQ((Trace{"msg:SpecialCpy.bat创建失败！", "quit"}),
                  Trace(host.trace.end() - 2, host.trace.end()))
            << nFiles;
        for (const std::string& strLine : host.trace)
            EXPECT_NE(0u, strLine.find("cmd:")) << nFiles << ": " << strLine;
    }
}

TEST_F(UpdateRunTest, PlazaUpdateWithoutSpecialFilesWritesNoBatchFile) {
    WritePlazaManifest(
        "<R><F><e name=\"\\a\" date=\"dddddddddddddddddddddddddddddddd\" isSpecial=\"0\"/><e "
        "name=\"\\b\" date=\"dddddddddddddddddddddddddddddddd\" "
        "isSpecial=\"no\"/></F><G/></R>");
    Event(Task(DOWNLOAD_CMD_PLAZA_XML));
    EXPECT_EQ("cmd:3:2+list", host.trace.back());
    for (const std::string& strEntry : host.trace)
        EXPECT_NE(0u, strEntry.find("bat:")) << strEntry;
}

TEST_F(UpdateRunTest, NothingToUpdateHandsOverAtOnce) {
    WritePlazaManifest(
        "<R><F><e name=\"\\a\" date=\"0cc175b9c0f1b6a831c399e269772661\" bytes=\"1\" "
        "isSpecial=\"0\"/></F><G/></R>");
    Installed("\\a", 1, kDigestA);
    Event(Task(DOWNLOAD_CMD_PLAZA_XML));
    const Trace want = {"kill:ZIVGame.exe", "log:没有需要更新的文件(0)", "cmd:4:0", "finish"};
    EXPECT_EQ(want, host.trace);
}

TEST_F(UpdateRunTest, PlazaManifestFailures) {
    const std::string strPath = PlazaManifestPath(config);
    struct Case {
        const char* pszWhat;
        const char* pszManifest;  // null: no file
        Trace want;
    };
    const Case cases[] = {
        {"missing",
         nullptr,
         {"log:LastUpdateFiles.xml文件不存在！(" + strPath + ")",
          "msg:LastUpdateFiles.xml文件不存在！", "quit"}},
        {"not xml", "<R><F>", {"msg:LastUpdateFiles.xml出错！", "quit"}},
        {"empty", "", {"msg:LastUpdateFiles.xml出错！", "quit"}},
        {"text first",
         "<html>404 Not Found<F/><G/></html>",
         {"log:网络下载LastUpdateFiles.xml出错！(无法解释xml文件)",
          "msg:网络下载LastUpdateFiles.xml出错！", "quit"}},
        {"no game section",
         "<R><F/></R>",
         {"log:更新列表缺少游戏列表", "msg:LastUpdateFiles.xml出错！", "quit"}},
    };
    for (const Case& c : cases) {
        host = CRecordingHost();
        std::remove(strPath.c_str());
        if (c.pszManifest != nullptr)
            WritePlazaManifest(c.pszManifest);
        Event(Task(DOWNLOAD_CMD_PLAZA_XML));
        EXPECT_EQ(c.want, host.trace) << c.pszWhat;
        EXPECT_TRUE(host.commands.empty()) << c.pszWhat;
    }
}

// A refused manifest ends nothing: the plaza the player is looking at stays.
TEST_F(UpdateRunTest, HostileManifestEndsNothingAndRequestsNothing) {
    const std::string d(32, 'd');
    const std::string entries[] = {
        "<e name=\"\\..\\..\\evil.dll\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"C:\\evil.dll\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"\\\\host\\share\\evil.dll\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"\\a.dll:evil\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"\\a&quot;&amp;calc.dll\" date=\"" + d + "\" isSpecial=\"1\"/>",
        "<e name=\"\\a%PATH%.dll\" date=\"" + d + "\" isSpecial=\"1\"/>",
        "<e name=\"\\a\x81&quot;.dll\" date=\"" + d + "\" isSpecial=\"1\"/>",
        "<e name=\"\\sub\\CON.dll\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"\\a.dll.\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"\\OK.DLL\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"\\b.dll\" date=\"\" isSpecial=\"0\"/>",
        "<e name=\"\\SpecialCpy.bat\" date=\"" + d + "\" isSpecial=\"0\"/>",
        "<e name=\"\\DownLoad\\Special\\Quorle.dll\" date=\"" + d + "\" isSpecial=\"0\"/>",
    };
    for (const std::string& strEntry : entries) {
        host = CRecordingHost();
        host.existing.insert(config.strProgramFolder + "G.exe");
        WritePlazaManifest("<R><F><e name=\"\\ok.dll\" date=\"" + d + "\" isSpecial=\"1\"/>" +
                           strEntry + "</F><G><g name=\"G\"/></G></R>");
        Event(Task(DOWNLOAD_CMD_PLAZA_XML));
        ASSERT_EQ(3u, host.trace.size()) << strEntry;
        EXPECT_EQ(0u, host.trace[0].find("log:")) << strEntry;
        EXPECT_EQ("msg:LastUpdateFiles.xml出错！", host.trace[1]) << strEntry;
        EXPECT_EQ("quit", host.trace[2]) << strEntry;
        EXPECT_TRUE(host.commands.empty()) << strEntry;
    }
}

TEST_F(UpdateRunTest, AGameNameFromTheEngineThatCannotBeUsedEndsTheRunWithABox) {
    Event(Task(DOWNLOAD_CMD_GAME_XML, "nul", 1));
    const Trace want = {"log:游戏名称无效，拒绝更新(nul)",
                        "msg:打开" + GameManifestPath(config, "nul") + "出错！", "quit"};
    EXPECT_EQ(want, host.trace);
}

TEST_F(UpdateRunTest, OddGameEntriesAreLoggedAndPassedOver) {
    WritePlazaManifest("<R><F/><G><g name=\"G\"/><g name=\"CON\"/><g/></G></R>");
    host.existing.insert(config.strProgramFolder + "G.exe");
    host.existing.insert(config.strProgramFolder + "CON.exe");
    Event(Task(DOWNLOAD_CMD_PLAZA_XML));
    const Trace want = {"kill:ZIVGame.exe",
                        "log:更新列表游戏名称无效，跳过(CON)",
                        "log:更新列表游戏名称无效，跳过()",
                        "kill:G.exe",
                        "log:没有需要更新的文件(0)",
                        "cmd:4:0",
                        "finish"};
    EXPECT_EQ(want, host.trace);
}

TEST_F(UpdateRunTest, NamesTooLongForTheRequestAreRefusedBeforeAnythingHappens) {
    config.strFileBase = "http://s/" + std::string(200, 'c');
    WritePlazaManifest("<R><F><e name=\"\\" + std::string(60, 'n') +
                       "\" date=\"dddddddddddddddddddddddddddddddd\" isSpecial=\"0\"/></F><G><g "
                       "name=\"G\"/></G></R>");
    host.existing.insert(config.strProgramFolder + "G.exe");
    Event(Task(DOWNLOAD_CMD_PLAZA_XML));
    ASSERT_EQ(3u, host.trace.size());
    EXPECT_NE(std::string::npos, host.trace[0].find("szUrl"));
    EXPECT_EQ("quit", host.trace[2]);
}

TEST_F(UpdateRunTest, AnExceptionWhileComparingEndsTheRun) {
    WritePlazaManifest(
        "<R><F><e name=\"\\a\" date=\"dddddddddddddddddddddddddddddddd\" bytes=\"1\" "
        "isSpecial=\"0\"/></F><G/></R>");
    Installed("\\a", 1, "d");
    host.bThrowOnDigest = true;
    Event(Task(DOWNLOAD_CMD_PLAZA_XML));
    const Trace want = {"kill:ZIVGame.exe", "log:操作LastUpdateFiles.xml出错！",
                        "msg:操作LastUpdateFiles.xml出错！", "quit"};
    EXPECT_EQ(want, host.trace);

    host = CRecordingHost();
    host.bThrowOnDigest = true;
    Installed("\\a", 1, "d");
    const std::string strPath = GameManifestPath(config, "G");
    Write(strPath,
          "<R><F><e name=\"\\a\" date=\"dddddddddddddddddddddddddddddddd\" bytes=\"1\" "
          "isSpecial=\"0\"/></F></R>");
    Event(Task(DOWNLOAD_CMD_GAME_XML, "G", 1));
    const Trace wantGame = {"kill:G.exe", "log:操作" + strPath + "出错！",
                            "msg:操作" + strPath + "出错！", "quit"};
    EXPECT_EQ(wantGame, host.trace);
}

TEST_F(UpdateRunTest, GameUpdateCarriesTheGameAndWarnsOfSpecialFiles) {
    const std::string strPath = GameManifestPath(config, "斗地主");
    Write(strPath,
          "<R><F><e name=\"\\g\\a\" date=\"ddddddddddddddddddddddddddddddd1\" isSpecial=\"1\"/><e "
          "name=\"\\g\\b\" date=\"ddddddddddddddddddddddddddddddd2\" "
          "isSpecial=\"1\"/><e name=\"\\g\\c\" date=\"ddddddddddddddddddddddddddddddd3\" "
          "isSpecial=\"0\"/></F><Extra/></R>");
    Event(Task(DOWNLOAD_CMD_GAME_XML, "斗地主", 1));
    const std::string strSpecial = config.strProgramFolder + "DownLoad\\Special";
    const Trace want = {
        "kill:斗地主.exe",
        "log:多个游戏文件更新:(3)http://s/c\\g\\a(http://r/c\\g\\a)",
        "log:游戏更新不允许有特殊文件2(" + strSpecial + ")",
        "msg:游戏更新不允许有特殊文件2",
        "log:多个游戏文件更新:(3)http://s/c\\g\\b(http://r/c\\g\\b)",
        "log:多个游戏文件更新:(3)http://s/c\\g\\c(http://r/c\\g\\c)",
        "cmd:3:3+list",
    };
    EXPECT_EQ(want, host.trace);
    for (const DownLoadRequest& req : host.commands.at(0)) {
        EXPECT_STREQ("斗地主", req.szGameName) << req.szFileName;
        EXPECT_EQ(1, req.bForGame) << req.szFileName;
    }
}

TEST_F(UpdateRunTest, GameUpdateOfOneSpecialFileWarnsOnce) {
    Write(GameManifestPath(config, "G"),
          "<R><F><e name=\"\\a\" date=\"dddddddddddddddddddddddddddddddd\" "
          "isSpecial=\"2\"/></F></R>");
    Event(Task(DOWNLOAD_CMD_GAME_XML, "G", 1));
    const std::string strSpecial = config.strProgramFolder + "DownLoad\\Special";
    const Trace want = {"kill:G.exe", "log:游戏更新不允许有特殊文件1(" + strSpecial + ")",
                        "msg:游戏更新不允许有特殊文件1",
                        "log:单个游戏更新:http://s/c\\a(http://r/c\\a)", "cmd:3:1"};
    EXPECT_EQ(want, host.trace);
}

TEST_F(UpdateRunTest, GameUpdateWithNothingToFetchOpensTheGameWithoutLogging) {
    Write(GameManifestPath(config, "G"), "<R><F/></R>");
    Event(Task(DOWNLOAD_CMD_GAME_XML, "G", 1));
    const Trace want = {"kill:G.exe", "cmd:4:0", "opengame"};
    EXPECT_EQ(want, host.trace);
}

TEST_F(UpdateRunTest, GameManifestFailures) {
    const std::string strPath = GameManifestPath(config, "G");
    struct Case {
        const char* pszWhat;
        const char* pszManifest;
        Trace want;
    };
    const Case cases[] = {
        {"missing",
         nullptr,
         {"log:单个游戏更新(" + strPath + "文件不存在！)", "msg:" + strPath + "文件不存在！",
          "quit"}},
        {"not xml",
         "<R>",
         {"log:打开" + strPath + "出错！", "msg:打开" + strPath + "出错！", "quit"}},
        {"text first",
         "<R>oops<F/></R>",
         {"log:网络下载" + strPath + "出错！", "msg:" + strPath, "quit"}},
        {"hostile",
         "<R><F><e name=\"\\..\\x\" date=\"dddddddddddddddddddddddddddddddd\" "
         "isSpecial=\"0\"/></F></R>",
         {"log:打开" + strPath +
              "出错！更新列表文件名不安全，拒绝更新(\\..\\x)(含有相对路径或以点、空格结尾)",
          "msg:打开" + strPath + "出错！", "quit"}},
    };
    for (const Case& c : cases) {
        host = CRecordingHost();
        std::remove(strPath.c_str());
        if (c.pszManifest != nullptr)
            Write(strPath, c.pszManifest);
        Event(Task(DOWNLOAD_CMD_GAME_XML, "G", 1));
        EXPECT_EQ(c.want, host.trace) << c.pszWhat;
        EXPECT_TRUE(host.commands.empty()) << c.pszWhat;
    }
}

TEST_F(UpdateRunTest, CompletionWaitsForTheLastFileOfTheBatch) {
    struct Case {
        unsigned int dwCount;
        unsigned int dwIndex;
        unsigned char bForGame;
        Trace want;
    };
    const Case cases[] = {
        {3, 0, 0, {}},
        {3, 1, 0, {}},
        {3, 2, 0, {"log:更新完成，打开大厅。", "finish"}},
        {3, 5, 0, {"log:更新完成，打开大厅。", "finish"}},
        {0, 0, 0, {"log:更新完成，打开大厅。", "finish"}},
        {1, 0xFFFFFFFFu, 0, {"log:更新完成，打开大厅。", "finish"}},
        {2, 1, 1, {"log:更新完成，打开游戏。", "opengame"}},
        {2, 0, 1, {}},
    };
    for (const Case& c : cases) {
        host = CRecordingHost();
        Event(Task(DOWNLOAD_CMD_FILES, c.bForGame ? "G" : "", c.bForGame, c.dwCount, c.dwIndex));
        EXPECT_EQ(c.want, host.trace) << c.dwIndex << "/" << c.dwCount << " game " << +c.bForGame;
    }
}

TEST_F(UpdateRunTest, OtherEventsAndCommandsChangeNothing) {
    WritePlazaManifest("<R><F/><G/></R>");
    Event(Task(DOWNLOAD_CMD_PLAZA_XML), 1);
    Event(Task(DOWNLOAD_CMD_FILES), 4);
    Event(Task(DOWNLOAD_CMD_NOTHING));
    Event(Task(99));
    CUpdateRun run(config, host, trust, expected);
    run.OnDownLoadEvent(DOWNLOAD_EVENT_FINISHED, nullptr);
    EXPECT_TRUE(host.trace.empty());
}

TEST_F(UpdateRunTest, ManifestRequests) {
    CUpdateRun run(config, host, trust, expected);
    int nResult = -1;
    ASSERT_TRUE(run.DownloadLastUpdateXMLFile(nResult));
    EXPECT_EQ(1, nResult);
    ASSERT_TRUE(run.DownloadGameXMLFile("G", nResult));
    const Trace want = {"log:DownloadLastUpdateXMLFile start ...",
                        "log:http://s/x/LastUpdateFiles.xml(http://r/x/LastUpdateFiles.xml)",
                        "cmd:2:1", "cmd:5:1"};
    EXPECT_EQ(want, host.trace);
    EXPECT_EQ(1, host.commands.at(1).at(0).bForGame);
}

// A request that cannot be made ends the run with a line and a box of its
// own, never silently; the caller then ends the program.
TEST_F(UpdateRunTest, ManifestRequestsThatCannotBeMade) {
    struct Case {
        std::string strGame;  // empty: the plaza manifest
        std::string strXmlBase;
        std::string strBox;
    };
    const Case cases[] = {
        {"", "http://s/" + std::string(250, 'x'), "LastUpdateFiles.xml出错！"},
        {std::string(128, 'g'), "http://s/x",
         "打开" + GameManifestPath(config, std::string(128, 'g')) + "出错！"},
        {"..\\..\\x", "http://s/x", "打开" + GameManifestPath(config, "..\\..\\x") + "出错！"},
        {"CON", "http://s/x", "打开" + GameManifestPath(config, "CON") + "出错！"},
    };
    for (const Case& c : cases) {
        host = CRecordingHost();
        config.strXmlBase = c.strXmlBase;
        CUpdateRun run(config, host, trust, expected);
        int nResult = -1;
        EXPECT_FALSE(c.strGame.empty() ? run.DownloadLastUpdateXMLFile(nResult)
                                       : run.DownloadGameXMLFile(c.strGame, nResult))
            << c.strGame;
        EXPECT_EQ(0, nResult) << c.strGame;
        ASSERT_LE(2u, host.trace.size()) << c.strGame;
        EXPECT_EQ(0u, host.trace[host.trace.size() - 2].find("log:")) << c.strGame;
        EXPECT_EQ("msg:" + c.strBox, host.trace.back()) << c.strGame;
        EXPECT_TRUE(host.commands.empty()) << c.strGame;
    }
}

// The file entry of the signed manifests below: what is fetched for it must
// be "good". The SHA-256 is in capitals, as a publisher may write it.
const std::string kEntryOfGood =
    "<e name=\"\\a\" date=\"dddddddddddddddddddddddddddddddd\" isSpecial=\"0\" "
    "sha256=\"770E607624D689265CA6C44884D0807D9B054D23C473C106C72BE9DE08B7376C\"/>";

class SignedUpdateRunTest : public UpdateRunTest {
protected:
    void SetUp() override {
        UpdateRunTest::SetUp();
        ASSERT_TRUE(kelmar::EcdsaGenerateKeyPair(m_key));
        config.strPublicKey = m_key.strPublic;
        m_written.push_back(config.strProgramFolder + kSequenceStateName);
    }
    // A manifest signed by key, with the given root attributes and file entries.
    void Publish(const std::string& strPath, const std::string& strAttributes,
                 const kelmar::EcdsaKeyPair* pKey = nullptr,
                 const std::string& strEntries = kEntryOfGood) {
        const std::string strText = "<R" + strAttributes + "><F>" + strEntries + "</F><G/></R>";
        std::string strSignature;
        ASSERT_TRUE(kelmar::EcdsaSign(pKey != nullptr ? *pKey : m_key, strText, strSignature));
        Write(strPath, strText);
        Write(strPath + kSignatureSuffix, strSignature);
    }
    void SignedEvent(const DownLoadTask& task) {
        CUpdateRun run(config, host, trust, expected);
        run.OnDownLoadEvent(DOWNLOAD_EVENT_FINISHED, &task);
    }

    kelmar::EcdsaKeyPair m_key;
};

// The root attributes of a signed manifest named strName.
std::string Signed(const std::string& strName, const std::string& strSequence = "7",
                   const std::string& strExpires = "2027-02-01T00:00:00Z") {
    return " name=\"" + strName + "\" sequence=\"" + strSequence + "\" expires=\"" + strExpires +
           "\"";
}
const std::string kFresh = Signed("LastUpdateFiles.xml");

TEST_F(SignedUpdateRunTest, ManifestAndSignatureAreAskedForInOneBatch) {
    CUpdateRun run(config, host, trust, expected);
    int nResult = 0;
    ASSERT_TRUE(run.DownloadLastUpdateXMLFile(nResult));
    ASSERT_TRUE(run.DownloadGameXMLFile("G", nResult));
    const Trace want = {
        "log:DownloadLastUpdateXMLFile start ...",
        "log:http://s/x/LastUpdateFiles.xml(http://r/x/LastUpdateFiles.xml)",
        "log:http://s/x/LastUpdateFiles.xml.sig(http://r/x/LastUpdateFiles.xml.sig)",
        "cmd:2:2+list",
        "log:http://s/x/G_UpdateFiles.xml.sig(http://r/x/G_UpdateFiles.xml.sig)",
        "cmd:5:2+list"};
    EXPECT_EQ(want, host.trace);
    EXPECT_EQ(2, nResult);
    const DownLoadRequest& sig = host.commands.at(0).at(1);
    EXPECT_STREQ("LastUpdateFiles.xml.sig", sig.szSaveName);
    EXPECT_EQ(config.strProgramFolder + "DownLoad", sig.szSaveDir);
    EXPECT_EQ(2, host.commands[0][0].nFileCount);
    EXPECT_EQ(0, host.commands[0][0].nFileIndex);
    EXPECT_EQ(2, sig.nFileCount);
    EXPECT_EQ(1, sig.nFileIndex);
    EXPECT_EQ(1, host.commands.at(1).at(1).bForGame);
    EXPECT_STREQ("G", host.commands[1][1].szGameName);
    // A .sig of an earlier run cannot stand in for this run's.
    const std::vector<std::string> wantRemoved = {PlazaManifestPath(config) + ".sig",
                                                  GameManifestPath(config, "G") + ".sig"};
    EXPECT_EQ(wantRemoved, trust.removed);
}

TEST_F(SignedUpdateRunTest, AcceptedManifestIsDecidedOnTheLastReportAndRemembered) {
    Publish(PlazaManifestPath(config), kFresh);
    SignedEvent(Task(DOWNLOAD_CMD_PLAZA_XML, "", 0, 2, 0));
    EXPECT_TRUE(host.trace.empty());
    SignedEvent(Task(DOWNLOAD_CMD_PLAZA_XML, "", 0, 2, 1));
    const Trace want = {
        "log:更新列表签名验证通过(LastUpdateFiles.xml)(序号7，有效期至2027-02-01T00:00:00Z)",
        "kill:ZIVGame.exe", "log:updatefile(1)http://s/c\\a(http://r/c\\a)", "cmd:3:1"};
    EXPECT_EQ(want, host.trace);
    std::string strState;
    ASSERT_TRUE(trust.ReadWholeFile(config.strProgramFolder + kSequenceStateName, 100, strState));
    EXPECT_EQ("LastUpdateFiles.xml 7 " + KeyFingerprint(m_key.strPublic) + "\r\n", strState);
}

TEST_F(SignedUpdateRunTest, RefusedManifestsEndNothingAndFetchNothing) {
    kelmar::EcdsaKeyPair other;
    ASSERT_TRUE(kelmar::EcdsaGenerateKeyPair(other));
    const std::string strPath = PlazaManifestPath(config);
    const std::string strGamePath = GameManifestPath(config, "G");
    struct Case {
        const char* pszWhat;
        std::function<void()> arrange;
        bool bGame;
        std::string strLog;
    };
    const std::string strFailed = "log:更新列表签名验证失败(LastUpdateFiles.xml)：";
    const std::string strGameFailed = "log:更新列表签名验证失败(G_UpdateFiles.xml)：";
    const Case cases[] = {
        {"one byte changed",
         [&] {
             Publish(strPath, kFresh);
             Write(strPath,
                   "<R sequence=\"7\" expires=\"2027-02-01T00:00:00Z\"><F><e name=\"\\b\" "
                   "date=\"d\" isSpecial=\"0\"/></F><G/></R>");
         },
         false, strFailed + "签名无效"},
        {"signature missing",
         [&] {
             Publish(strPath, kFresh);
             std::remove((strPath + ".sig").c_str());
         },
         false, strFailed + "缺少签名文件"},
        {"another key", [&] { Publish(strPath, kFresh, &other); }, false, strFailed + "签名无效"},
        {"signature with bytes after it",
         [&] {
             Publish(strPath, kFresh);
             std::ofstream(strPath + ".sig", std::ios::binary | std::ios::app) << "x";
         },
         false, strFailed + "签名无效"},
        {"expired",
         [&] { Publish(strPath, Signed("LastUpdateFiles.xml", "7", "2027-01-15T08:00:00Z")); },
         false, strFailed + "已过期(2027-01-15T08:00:00Z)"},
        // 90 days and one second after 2027-01-15T08:00:00Z.
        {"expiring too far ahead",
         [&] { Publish(strPath, Signed("LastUpdateFiles.xml", "7", "2027-04-15T08:00:01Z")); },
         false, strFailed + "有效期过长(2027-04-15T08:00:01Z)"},
        {"no sequence", [&] { Publish(strPath, " expires=\"2027-02-01T00:00:00Z\""); }, false,
         strFailed + "缺少版本序号或有效期"},
        {"rolled back",
         [&] {
             Publish(strPath, kFresh);
             Write(config.strProgramFolder + kSequenceStateName,
                   "G_UpdateFiles.xml 3\r\nLastUpdateFiles.xml 8\r\n");
         },
         false, strFailed + "版本回退(7<8)"},
        // Each key's records are its own: the offline key's refuse its manifests.
        {"rolled back under the offline key",
         [&] {
             config.strPublicKey2 = other.strPublic;
             Publish(strPath, kFresh, &other);
             Write(config.strProgramFolder + kSequenceStateName,
                   "LastUpdateFiles.xml 8 " + KeyFingerprint(other.strPublic) + "\r\n");
         },
         false, strFailed + "版本回退(7<8)"},
        {"sequence not kept",
         [&] {
             Publish(strPath, kFresh);
             trust.bReplaceFails = true;
         },
         false, strFailed + "无法保存版本序号"},
        {"sequence record past its size",
         [&] {
             Publish(strPath, kFresh);
             Write(config.strProgramFolder + kSequenceStateName,
                   "LastUpdateFiles.xml 9\r\n" + std::string(64 << 10, '#'));
         },
         false, strFailed + "无法读取版本序号记录"},
        {"game, another key", [&] { Publish(strGamePath, kFresh, &other); }, true,
         "log:更新列表签名验证失败(G_UpdateFiles.xml)：签名无效"},
        {"no name", [&] { Publish(strPath, " sequence=\"7\" expires=\"2027-02-01T00:00:00Z\""); },
         false, strFailed + "缺少更新列表名称"},
        // Every manifest of a release is signed alike: only its name tells them apart.
        {"the plaza's manifest at a game's path", [&] { Publish(strGamePath, kFresh); }, true,
         strGameFailed + "更新列表名称不符(LastUpdateFiles.xml)"},
        {"another game's manifest at a game's path",
         [&] { Publish(strGamePath, Signed("H_UpdateFiles.xml")); }, true,
         strGameFailed + "更新列表名称不符(H_UpdateFiles.xml)"},
        {"game manifest of an older release than the plaza's",
         [&] {
             Publish(strGamePath, Signed("G_UpdateFiles.xml"));
             Write(config.strProgramFolder + kSequenceStateName, "LastUpdateFiles.xml 8\r\n");
         },
         true, strGameFailed + "版本低于大厅更新列表(7<8)"},
        // The signature reaches a file only through its SHA-256.
        {"an entry without its SHA-256",
         [&] {
             Publish(strPath, kFresh, nullptr,
                     "<e name=\"\\b\" date=\"dddddddddddddddddddddddddddddddd\" isSpecial=\"0\"/>");
         },
         false, "log:更新列表文件SHA-256校验码无效(\\b)()"},
        {"a SHA-256 one digit short",
         [&] {
             Publish(strPath, kFresh, nullptr,
                     "<e name=\"\\b\" date=\"dddddddddddddddddddddddddddddddd\" isSpecial=\"0\" "
                     "sha256=\"" +
                         std::string(63, 'a') + "\"/>");
         },
         false, "log:更新列表文件SHA-256校验码无效(\\b)(" + std::string(63, 'a') + ")"},
    };
    for (const Case& c : cases) {
        host = CRecordingHost();
        trust = CDiskTrustHost();
        config.strPublicKey2.clear();
        std::remove((config.strProgramFolder + kSequenceStateName).c_str());
        c.arrange();
        if (c.bGame)
            SignedEvent(Task(DOWNLOAD_CMD_GAME_XML, "G", 1, 2, 1));
        else
            SignedEvent(Task(DOWNLOAD_CMD_PLAZA_XML, "", 0, 2, 1));
        const std::string strBox =
            c.bGame ? "msg:打开" + strGamePath + "出错！" : "msg:LastUpdateFiles.xml出错！";
        const Trace want = {c.strLog, strBox, "quit"};
        // A manifest refused for what it lists has passed its signature first.
        Trace seen;
        for (const std::string& strLine : host.trace) {
            if (strLine.find("log:更新列表签名验证通过") != 0)
                seen.push_back(strLine);
        }
        EXPECT_EQ(want, seen) << c.pszWhat;
        EXPECT_TRUE(host.commands.empty()) << c.pszWhat;
    }
}

// A batch file left by a cut run moves its staged files at this run's
// hand-over only while the manifest accepted now names each of them as a
// special file with that SHA-256; otherwise they go, with the batch file.
TEST_F(SignedUpdateRunTest, LeftoverStagingStaysOnlyAsTheAcceptedManifestNamesIt) {
    const std::string strSpecial =
        "<e name=\"\\A\" date=\"dddddddddddddddddddddddddddddddd\" isSpecial=\"1\" "
        "sha256=\"770E607624D689265CA6C44884D0807D9B054D23C473C106C72BE9DE08B7376C\"/>";
    struct Case {
        const char* pszWhat;
        std::string strEntries;
        const char* pszStaged;  // name under DownLoad\Special
        const char* pszBytes;
        bool bKept;
    } cases[] = {
        {"named, special, as signed", strSpecial, "a", "good", true},
        {"other bytes", strSpecial, "a", "evil", false},
        {"withdrawn by this release", strSpecial, "gone.dll", "good", false},
        {"no longer special", kEntryOfGood, "a", "good", false},
    };
    const std::string strBat = config.strProgramFolder + "SpecialCpy.bat";
    for (const Case& c : cases) {
        host = CRecordingHost();
        std::remove((config.strProgramFolder + kSequenceStateName).c_str());
        const std::string strStaged = config.strProgramFolder + "DownLoad\\Special\\" + c.pszStaged;
        Write(strStaged, c.pszBytes);
        Write(strBat, "@rem left by a cut run\r\n");
        Publish(PlazaManifestPath(config), kFresh, nullptr, c.strEntries);
        SignedEvent(Task(DOWNLOAD_CMD_PLAZA_XML, "", 0, 2, 1));
        const bool bLogged =
            std::find(host.trace.begin(), host.trace.end(),
                      "log:删除上次未完成的特殊文件和SpecialCpy.bat(1)") != host.trace.end();
        EXPECT_EQ(!c.bKept, bLogged) << c.pszWhat;
        EXPECT_EQ(c.bKept, access(strStaged.c_str(), F_OK) == 0) << c.pszWhat;
        EXPECT_EQ(c.bKept, access(strBat.c_str(), F_OK) == 0) << c.pszWhat;
        std::remove(strStaged.c_str());
    }
}

// MD5, which the engine checks, is no proof against a colliding twin: what
// arrived must have the SHA-256 the signed manifest gave it before anything
// is started or handed over, and what has not is removed.
TEST_F(SignedUpdateRunTest, FetchedFilesAreCheckedBeforeTheHandOver) {
    // A plaza information file that would make the installation unsigned is
    // not installed: it arrives in DownLoad and replaces the trusted one only
    // when it names a key.
    auto ziv = [](const std::string& strServer) {
        std::string strZiv;
        kelmar::EncodeZiv("<p isEnableUpdate=\"1\"><s " + strServer + "/></p>", &strZiv);
        return strZiv;
    };
    const std::string strKeyed =
        ziv("updatePublicKey=\"" + kelmar::EcdsaPublicKeyText(m_key.strPublic) + "\"");
    struct Case {
        const char* pszWhat;
        bool bGame;
        const char* pszFetched;  // null: the file is not there
        Trace want;
        std::string strZiv = {};  // not empty: the entry is the plaza information file, as signed
        bool bEngineExpects = false;
    };
    const std::string strGameBox = "msg:打开" + GameManifestPath(config, "G") + "出错！";
    const Case cases[] = {
        // The engine refuses a wrong file before its move: nothing to read again.
        {"an engine that holds files to their SHA-256",
         false,
         "evil",
         {"log:更新完成，打开大厅。", "finish"},
         "",
         true},
        {"the plaza's file as signed", false, "good", {"log:更新完成，打开大厅。", "finish"}},
        {"a game's file as signed", true, "good", {"log:更新完成，打开游戏。", "opengame"}},
        {"the plaza's file differs",
         false,
         "evil",
         {"log:更新文件SHA-256校验不符，已删除(\\a)", "msg:LastUpdateFiles.xml出错！", "quit"}},
        {"a game's file differs",
         true,
         "evil",
         {"log:更新文件SHA-256校验不符，已删除(\\a)", strGameBox, "quit"}},
        {"the file is gone",
         false,
         nullptr,
         {"log:更新文件SHA-256校验不符，已删除(\\a)", "msg:LastUpdateFiles.xml出错！", "quit"}},
        {"the plaza information file naming a key",
         false,
         "",
         {"log:已更新GamePlazaInfo.ziv", "log:更新完成，打开大厅。", "finish"},
         strKeyed},
        {"the plaza information file naming no key",
         false,
         "",
         {"log:拒绝更新GamePlazaInfo.ziv：没有发布者公钥", "msg:LastUpdateFiles.xml出错！", "quit"},
         ziv("updateGameUrl=\"http://s/%s\"")},
        {"a game's plaza information file naming no key",
         true,
         "",
         {"log:拒绝更新GamePlazaInfo.ziv：没有发布者公钥", strGameBox, "quit"},
         ziv("updateGameUrl=\"http://s/%s\"")},
        {"a plaza information file that does not decode",
         false,
         "",
         {"log:拒绝更新GamePlazaInfo.ziv：无法解析", "msg:LastUpdateFiles.xml出错！", "quit"},
         "ZIV\x1a but no more"},
    };
    const std::string strInfo = config.strProgramFolder + kPlazaInfoName;
    for (const Case& c : cases) {
        host = CRecordingHost();
        host.bEngineExpects = c.bEngineExpects;
        std::remove((config.strProgramFolder + kSequenceStateName).c_str());
        Write(strInfo, "trusted");
        const char* pszGame = c.bGame ? "G" : "";
        std::string strEntries = kEntryOfGood;
        if (!c.strZiv.empty()) {
            kelmar::Sha256 sha;
            sha.Update(c.strZiv.data(), c.strZiv.size());
            strEntries = "<e name=\"\\gameplazainfo.ZIV\" date=\"" + std::string(32, 'd') +
                         "\" isSpecial=\"1\" sha256=\"" + sha.HexDigest() + "\"/>";
        }
        Publish(c.bGame ? GameManifestPath(config, "G") : PlazaManifestPath(config),
                Signed(c.bGame ? "G_UpdateFiles.xml" : "LastUpdateFiles.xml"), nullptr, strEntries);
        SignedEvent(
            Task(c.bGame ? DOWNLOAD_CMD_GAME_XML : DOWNLOAD_CMD_PLAZA_XML, pszGame, c.bGame, 2, 1));
        ASSERT_EQ(1u, host.commands.size()) << c.pszWhat;
        const DownLoadRequest& req = host.commands[0].at(0);
        const std::string strFetched = std::string(req.szSaveDir) + "\\" + req.szSaveName;
        std::remove(strFetched.c_str());
        // The engine is told each file's SHA-256; these entries give no size.
        ASSERT_EQ(1u, host.expects.size()) << c.pszWhat;
        EXPECT_EQ(
            0u, host.expects[0].find(strFetched + " " + std::to_string(kDownLoadSizeUnknown) + " "))
            << host.expects[0];
        if (c.pszFetched != nullptr)
            Write(strFetched, c.strZiv.empty() ? c.pszFetched : c.strZiv);
        host.trace.clear();
        SignedEvent(Task(DOWNLOAD_CMD_FILES, pszGame, c.bGame, 1, 0));
        EXPECT_EQ(c.want, host.trace) << c.pszWhat;
        const bool bHandedOver = c.want.back() != "quit";
        std::string strInstalled;
        ASSERT_TRUE(trust.ReadWholeFile(strInfo, 1000, strInstalled)) << c.pszWhat;
        if (c.strZiv.empty()) {
            EXPECT_EQ(bHandedOver, access(strFetched.c_str(), F_OK) == 0) << c.pszWhat;
        } else {
            // Never where the engine would have moved it over the trusted one.
            EXPECT_EQ(config.strProgramFolder + "DownLoad", req.szSaveDir) << c.pszWhat;
            EXPECT_EQ(bHandedOver ? c.strZiv : "trusted", strInstalled) << c.pszWhat;
            EXPECT_NE(0, access(strFetched.c_str(), F_OK)) << c.pszWhat;
        }
    }
}

TEST_F(SignedUpdateRunTest, EqualSequenceIsAcceptedAndHigherOneRaisesTheRecord) {
    const std::string strPath = PlazaManifestPath(config);
    const std::string strState = config.strProgramFolder + kSequenceStateName;
    Write(strState, "LastUpdateFiles.xml 7\r\nG_UpdateFiles.xml 9\r\n");
    Publish(strPath, kFresh);
    SignedEvent(Task(DOWNLOAD_CMD_PLAZA_XML, "", 0, 2, 1));
    EXPECT_EQ("cmd:3:1", host.trace.back());
    Publish(strPath, Signed("LastUpdateFiles.xml", "12"));
    SignedEvent(Task(DOWNLOAD_CMD_PLAZA_XML, "", 0, 2, 1));
    std::string strText;
    ASSERT_TRUE(trust.ReadWholeFile(strState, 1000, strText));
    // Records from before the fingerprints were the first key's.
    const std::string strFirst = KeyFingerprint(m_key.strPublic);
    EXPECT_EQ("G_UpdateFiles.xml 9 " + strFirst + "\r\nLastUpdateFiles.xml 12 " + strFirst + "\r\n",
              strText);

    // After a rotation to the offline key, even a first key's record signed
    // far ahead (as a thief of that key could) blocks nothing of the new one.
    kelmar::EcdsaKeyPair offline;
    ASSERT_TRUE(kelmar::EcdsaGenerateKeyPair(offline));
    config.strPublicKey2 = offline.strPublic;
    Write(strState, "LastUpdateFiles.xml 999999999\r\n");
    Publish(strPath, Signed("LastUpdateFiles.xml", "3"), &offline);
    host = CRecordingHost();
    SignedEvent(Task(DOWNLOAD_CMD_PLAZA_XML, "", 0, 2, 1));
    EXPECT_EQ(
        "log:更新列表签名验证通过(LastUpdateFiles.xml)(序号3，有效期至2027-02-01T00:00:00Z，"
        "备用公钥)",
        host.trace.at(0));
    EXPECT_EQ("cmd:3:1", host.trace.back());
    ASSERT_TRUE(trust.ReadWholeFile(strState, 1000, strText));
    EXPECT_EQ((SequenceState{{{strFirst, "LastUpdateFiles.xml"}, 999999999},
                             {{KeyFingerprint(offline.strPublic), "LastUpdateFiles.xml"}, 3}}),
              ParseSequenceState(strText, ""));
}

TEST_F(SignedUpdateRunTest, StoppedBatchWithoutItsSignatureIsRefused) {
    const std::string strPath = PlazaManifestPath(config);
    Write(strPath, "<R/>");
    CUpdateRun run(config, host, trust, expected);
    EXPECT_TRUE(run.OnServiceStop(""));
    EXPECT_TRUE(run.OnServiceStop("G"));
    const Trace want = {"log:更新列表签名验证失败(LastUpdateFiles.xml)：缺少签名文件",
                        "msg:LastUpdateFiles.xml出错！",
                        "quit",
                        "log:更新列表签名验证失败(G_UpdateFiles.xml)：缺少签名文件",
                        "msg:打开" + GameManifestPath(config, "G") + "出错！",
                        "quit"};
    EXPECT_EQ(want, host.trace);

    // The .sig arrived: the engine stopped for another file, as without a key.
    host = CRecordingHost();
    Write(strPath + ".sig", std::string(64, 's'));
    EXPECT_FALSE(run.OnServiceStop(""));
    config.strPublicKey.clear();
    CUpdateRun unsigned_run(config, host, trust, expected);
    EXPECT_FALSE(unsigned_run.OnServiceStop("G"));
    EXPECT_TRUE(host.trace.empty());
}

// Older updaters ignore the two attributes: a signed manifest read by the
// unsigned path updates as any other.
TEST_F(UpdateRunTest, SignedManifestReadWithoutAKeyIsAnOrdinaryManifest) {
    WritePlazaManifest(
        "<R sequence=\"7\" expires=\"2000-01-01T00:00:00Z\"><F><e name=\"\\a\" "
        "date=\"dddddddddddddddddddddddddddddddd\" isSpecial=\"0\"/></F><G/></R>");
    Write(PlazaManifestPath(config) + ".sig", "not even a signature");
    Event(Task(DOWNLOAD_CMD_PLAZA_XML));
    const Trace want = {"kill:ZIVGame.exe", "log:updatefile(1)http://s/c\\a(http://r/c\\a)",
                        "cmd:3:1"};
    EXPECT_EQ(want, host.trace);
}

}  // namespace
