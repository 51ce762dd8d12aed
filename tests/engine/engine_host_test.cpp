// The real engine under Wine against real servers: nginx for good files, our
// fault server for 404s, cuts, wrong bytes and stalls, and a loopback port
// that refuses connections. run_engine_host.py starts them and passes:
//   PELLOW_NGINX, PELLOW_FAULT, PELLOW_REFUSED, PELLOW_HTTPS  base addresses
//   PELLOW_FAULT_TLS  the fault server over HTTPS, its certificate of an
//                 authority that the Wine prefix trusts while the test runs
//   PELLOW_ROOT   the served folder (Windows path), with batch\index.txt
//   PELLOW_WORK   an empty scratch folder (Windows path)
// The test is the host: it loads PellowD.dll through CDownLoadServiceHelper,
// registers a sink and pumps its messages like the updater's dialog.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "chunks/chunkindex.h"
#include "engine/downloadservice.h"
#include "kelmar/md5.h"
#include "templates/winhandle.h"

namespace {

std::string Env(const char* pszName) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr ? psz : "";
}

std::string ReadAll(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteAll(const std::string& strPath, const std::string& strText) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strText;
}

std::string Md5Of(const std::string& strData) {
    MD5 md5;
    md5.update(strData.data(), static_cast<unsigned>(strData.size()));
    return md5.toString();
}

bool Exists(const std::string& strPath) {
    return ::GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Files named like the engine's temporary files anywhere under strFolder.
int CountTempFiles(const std::string& strFolder) {
    int n = 0;
    WIN32_FIND_DATAA fd;
    CFindHandle find(::FindFirstFileA((strFolder + "\\*").c_str(), &fd));
    if (!find.IsValid())
        return 0;
    do {
        std::string strName = fd.cFileName;
        if (strName == "." || strName == "..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            n += CountTempFiles(strFolder + "\\" + strName);
        else if (strName.rfind("~PellowD-", 0) == 0)
            ++n;
    } while (::FindNextFileA(find.Get(), &fd));
    return n;
}

struct Report {
    DWORD dwThread;
    int nCommand;
    std::string strFile, strSaveName, strLocalPath, strGame;
    unsigned char bForGame;
    unsigned nCount, nIndex, nAttempts;
};

class HostSink : public IDownLoadServiceSink {
public:
    std::vector<Report> reports;
    int nStops = 0;
    int nCallsAfterRelease = 0;
    bool bReleased = false;
    std::function<void(const DownLoadTask&)> onReport;

    bool IsValid() override { return true; }
    void Release() override { ADD_FAILURE() << "the engine released the sink"; }
    void* QueryInterface(const GUID& Guid, DWORD dwVer) override {
        if (IsEqualIdentifier(Guid, IID_IDownLoadServiceSink) &&
            InterfaceVersionCompatible(dwVer, VER_IDownLoadServiceSink))
            return static_cast<IDownLoadServiceSink*>(this);
        if (IsEqualIdentifier(Guid, IID_IUnknownEx) &&
            InterfaceVersionCompatible(dwVer, VER_IUnknownEx))
            return static_cast<IUnknownEx*>(this);
        return nullptr;
    }
    void OnDownLoadEvent(int nEvent, const DownLoadTask* pTask) override {
        if (bReleased)
            ++nCallsAfterRelease;
        EXPECT_EQ(DOWNLOAD_EVENT_FINISHED, nEvent);
        reports.push_back({::GetCurrentThreadId(), pTask->nCommandCode, pTask->Request.szFileName,
                           pTask->Request.szSaveName, pTask->szLocalPath, pTask->Request.szGameName,
                           pTask->Request.bForGame, pTask->dwBatchCount, pTask->dwBatchIndex,
                           pTask->dwAttempts});
        if (onReport)
            onReport(*pTask);
    }
    void OnServiceStop() override {
        if (bReleased)
            ++nCallsAfterRelease;
        ++nStops;
    }
    void OnServiceExit() override {
        if (bReleased)
            ++nCallsAfterRelease;
    }
};

class EngineHost : public ::testing::Test {
protected:
    CDownLoadServiceHelper helper;
    HostSink sink;
    std::string strNginx = Env("PELLOW_NGINX"), strFault = Env("PELLOW_FAULT"),
                strRefused = Env("PELLOW_REFUSED"), strRoot = Env("PELLOW_ROOT"),
                strFaultTls = Env("PELLOW_FAULT_TLS");
    std::string strWork;
    DWORD dwMainThread = ::GetCurrentThreadId();

    void SetUp() override {
        ASSERT_FALSE(strNginx.empty()) << "run through run_engine_host.py";
        const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        strWork = Env("PELLOW_WORK") + "\\" + pInfo->name();
        ASSERT_TRUE(::CreateDirectoryA(strWork.c_str(), nullptr)) << strWork;
        ASSERT_TRUE(helper.CreateInstance()) << helper.GetErrorDescribe();
        ASSERT_TRUE(helper->SetDownLoadServiceSink(static_cast<IUnknownEx*>(&sink)));
    }

    void TearDown() override {
        helper.CloseInstance();
        sink.bReleased = true;
        PumpPending();
        EXPECT_EQ(0, sink.nCallsAfterRelease);
    }

    // Dispatches whatever is queued for this thread, without waiting.
    static void PumpPending() {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }

    // The host's message loop: waits for messages and dispatches them until
    // pred holds (false after 120 s without it). The wait is cut into short
    // slices because some conditions (IsBusy turning false after a batch
    // was given up) come without a message.
    static bool PumpUntil(const std::function<bool()>& pred) {
        const DWORD dwStart = ::GetTickCount();
        while (!pred()) {
            if (::GetTickCount() - dwStart >= 120000)
                return false;
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            PumpPending();
        }
        return true;
    }

    bool BatchEnded() const {
        for (const Report& r : sink.reports)
            if (r.nCommand == DOWNLOAD_CMD_FILES && r.nIndex + 1 >= r.nCount)
                return true;
        return false;
    }

    static DownLoadRequest Request(const std::string& strFileName, const std::string& strSaveDir,
                                   const std::string& strSaveName, const std::string& strUrl,
                                   const std::string& strReserve, const std::string& strMD5 = "") {
        DownLoadRequest r;
        std::memset(&r, 0, sizeof(r));
        r.bFlag = 1;
        std::snprintf(r.szFileName, sizeof(r.szFileName), "%s", strFileName.c_str());
        std::snprintf(r.szSaveName, sizeof(r.szSaveName), "%s", strSaveName.c_str());
        std::snprintf(r.szSaveDir, sizeof(r.szSaveDir), "%s", strSaveDir.c_str());
        std::snprintf(r.szUrl, sizeof(r.szUrl), "%s", strUrl.c_str());
        std::snprintf(r.szUrlReserve, sizeof(r.szUrlReserve), "%s", strReserve.c_str());
        std::snprintf(r.szMD5, sizeof(r.szMD5), "%s", strMD5.c_str());
        r.nFileCount = 1;
        return r;
    }

    std::string EngineLog() const {
        SYSTEMTIME st;
        ::GetLocalTime(&st);
        char szName[64];
        std::snprintf(szName, sizeof(szName), "errRpt\\PellowD-%02u-%02u.log", st.wMonth, st.wDay);
        char szExe[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, szExe, MAX_PATH);
        std::string strExe = szExe;
        return ReadAll(strExe.substr(0, strExe.find_last_of('\\') + 1) + szName);
    }
};

TEST_F(EngineHost, ManifestSavedWhereTheRequestSays) {
    // The folder does not exist yet; a Chinese folder name checks the code page.
    const std::string strDir = strWork + "\\游戏大厅\\DownLoad";
    DownLoadRequest plaza =
        Request("LastUpdateFiles.xml", strDir, "LastUpdateFiles.xml",
                strNginx + "/LastUpdateFiles.xml", strRefused + "/LastUpdateFiles.xml");
    ASSERT_EQ(1, helper->DownLoadCommand(DOWNLOAD_CMD_PLAZA_XML, &plaza, nullptr));
    DownLoadRequest game = Request("象棋_UpdateFiles.xml", strDir, "象棋_UpdateFiles.xml",
                                   strNginx + "/game_UpdateFiles.xml", "");
    std::snprintf(game.szGameName, sizeof(game.szGameName), "%s", "象棋");
    game.bForGame = 1;
    ASSERT_EQ(1, helper->DownLoadCommand(DOWNLOAD_CMD_GAME_XML, &game, nullptr));
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 2; }));
    EXPECT_TRUE(helper->IsBusy() == false);

    for (const Report& r : sink.reports) {
        EXPECT_EQ(dwMainThread, r.dwThread) << r.strFile;
        EXPECT_EQ(1u, r.nCount) << r.strFile;
        EXPECT_EQ(0u, r.nIndex) << r.strFile;
        if (r.nCommand == DOWNLOAD_CMD_PLAZA_XML) {
            EXPECT_EQ("LastUpdateFiles.xml", r.strSaveName);
            EXPECT_EQ("", r.strGame);
            EXPECT_EQ(strDir + "\\LastUpdateFiles.xml", r.strLocalPath);
        } else {
            EXPECT_EQ(DOWNLOAD_CMD_GAME_XML, r.nCommand) << r.strFile;
            EXPECT_EQ("象棋", r.strGame);
            EXPECT_EQ(1, r.bForGame);
        }
    }
    EXPECT_EQ(ReadAll(strRoot + "\\LastUpdateFiles.xml"),
              ReadAll(strDir + "\\LastUpdateFiles.xml"));
    EXPECT_EQ(ReadAll(strRoot + "\\game_UpdateFiles.xml"),
              ReadAll(strDir + "\\象棋_UpdateFiles.xml"));
}

TEST_F(EngineHost, BatchOfManyFilesEndsWithExactlyOneReport) {
    std::ifstream index(strRoot + "\\batch\\index.txt");
    std::vector<DownLoadRequest> requests;
    std::string strName, strMd5;
    while (index >> strName >> strMd5) {
        // Names as the updater sends them: the manifest name without its separator.
        requests.push_back(Request("\\" + strName, strWork, strName, strNginx + "/batch/" + strName,
                                   strFault + "/ok/batch/" + strName, strMd5));
    }
    ASSERT_GE(requests.size(), 100u);
    // Left behind by a killed run (no process has that id) and by a running
    // one (this process): the first is swept before the batch fetches into
    // the folder, the second is not ours to take.
    char szLive[64];
    std::snprintf(szLive, sizeof(szLive), "~PellowD-%08lX-00000000-FFFFFFFF.tmp",
                  static_cast<unsigned long>(::GetCurrentProcessId()));
    const std::string strStale = strWork + "\\~PellowD-7FFFFFF0-12345678-00000001.tmp";
    const std::string strLive = strWork + "\\" + szLive;
    WriteAll(strStale, "killed");
    WriteAll(strLive, "running");
    const unsigned nCount = static_cast<unsigned>(requests.size());
    DownLoadRequest first = requests.front();
    DownLoadRequestList others(requests.begin() + 1, requests.end());
    ASSERT_EQ(static_cast<int>(nCount),
              helper->DownLoadCommand(DOWNLOAD_CMD_FILES, &first, &others));

    ASSERT_TRUE(PumpUntil([&] { return BatchEnded(); }));
    ASSERT_TRUE(PumpUntil([&] { return !helper->IsBusy(); }));
    PumpPending();

    ASSERT_EQ(nCount, sink.reports.size());
    int nEnds = 0;
    std::set<std::string> files;
    for (std::size_t i = 0; i < sink.reports.size(); ++i) {
        const Report& r = sink.reports[i];
        EXPECT_EQ(dwMainThread, r.dwThread) << r.strFile;
        EXPECT_EQ(nCount, r.nCount) << r.strFile;
        EXPECT_EQ(i, r.nIndex) << r.strFile << ": positions count the reports";
        if (r.nIndex + 1 >= r.nCount)
            ++nEnds;
        files.insert(r.strSaveName);
    }
    EXPECT_EQ(1, nEnds);
    EXPECT_EQ(nCount, files.size()) << "every file reported once";
    for (const DownLoadRequest& r : requests) {
        std::string strSaveName = r.szSaveName;
        EXPECT_EQ(ReadAll(strRoot + "\\batch\\" + strSaveName),
                  ReadAll(strWork + "\\" + strSaveName))
            << strSaveName;
    }
    EXPECT_FALSE(Exists(strStale));
    EXPECT_EQ("running", ReadAll(strLive));
    ::DeleteFileA(strLive.c_str());
    EXPECT_EQ(0, CountTempFiles(strWork));
    EXPECT_EQ(0, sink.nStops);
}

// What each answer of the primary address costs: the attempts until the
// file is saved from it (1) or from the reserve. Every case ends within the
// rate limits run_engine_host.py sets.
TEST_F(EngineHost, PrimaryAddressFaultsAndTheirAttempts) {
    struct Case {
        const char* pszName;
        std::string strPrimary;
        unsigned nWantAttempts;
        std::string strFile = "good.bin";
    };
    const Case cases[] = {
        {"nginx-404", strNginx + "/no-such-file.bin", 2},  // 404: straight to the reserve
        {"fault-404", strFault + "/missing/good.bin", 2},
        {"fault-500", strFault + "/error/good.bin", 3},  // retried once, then the reserve
        {"refused", strRefused + "/good.bin", 3},
        {"cut", strFault + "/cut/good.bin", 3},
        {"not-http", "ftp://127.0.0.1/good.bin", 2},
        // The same bytes again would not help: a wrong digest or size goes on at once.
        {"wrong-bytes", strFault + "/wrong/good.bin", 2},
        {"portal-page", strFault + "/html/good.bin", 2},
        {"huge-length", strFault + "/hugelength/good.bin", 2},
        {"endless", strFault + "/endless/good.bin", 2},
        {"status-204", strFault + "/204/good.bin", 3},
        {"status-206", strFault + "/206/good.bin", 3},
        {"drip-1-byte-a-second", strFault + "/drip1/good.bin", 3},
        {"redirect-to-ftp", strFault + "/redirect-scheme/good.bin", 2},
        {"redirect-loop", strFault + "/redirect-loop/good.bin", 2},
        // Answers that are fine: the file comes from the primary.
        {"chunked", strFault + "/chunked/good.bin", 1},
        {"redirect-to-other-host", strFault + "/redirect-host/good.bin", 1},
        // The server of the redirect-to-http row below, trusted: what that
        // row refuses is the redirect, not the certificate.
        {"https-trusted", strFaultTls + "/ok/good.bin", 1},
        {"drip-5-KB-a-second", strFault + "/drip5k/short.bin", 1, "short.bin"},
        // Large enough to be written and hashed beside its receiving.
        {"large-cut", strFault + "/cut/big/big3.bin", 3, "big\\big3.bin"},
        {"large-wrong-bytes", strFault + "/wrong/big/big4.bin", 2, "big\\big4.bin"},
        {"large", strNginx + "/big/big5.bin", 1, "big\\big5.bin"},
    };
    const DWORD dwStart = ::GetTickCount();
    for (const Case& c : cases) {
        std::string strFileUrl = c.strFile;
        std::replace(strFileUrl.begin(), strFileUrl.end(), '\\', '/');
        DownLoadRequest r =
            Request(c.pszName, strWork, std::string(c.pszName) + ".bin", c.strPrimary,
                    strNginx + "/" + strFileUrl, Md5Of(ReadAll(strRoot + "\\" + c.strFile)));
        ASSERT_EQ(1, helper->DownLoadCommand(DOWNLOAD_CMD_FILES, &r, nullptr)) << c.pszName;
    }
    const std::size_t nCases = sizeof(cases) / sizeof(cases[0]);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == nCases || sink.nStops > 0; }));
    const DWORD dwElapsed = ::GetTickCount() - dwStart;
    EXPECT_EQ(0, sink.nStops);
    for (const Case& c : cases) {
        auto it = std::find_if(sink.reports.begin(), sink.reports.end(),
                               [&](const Report& r) { return r.strFile == c.pszName; });
        ASSERT_NE(sink.reports.end(), it) << c.pszName;
        EXPECT_EQ(c.nWantAttempts, it->nAttempts) << c.pszName;
        EXPECT_EQ(ReadAll(strRoot + "\\" + c.strFile), ReadAll(strWork + "\\" + it->strSaveName))
            << c.pszName;
    }
    // Four workers; the slowest cases are the 1 B/s drip (two windows of 2 s)
    // and the 16 KiB at 5 KB/s (about 3.3 s).
    EXPECT_LT(dwElapsed, 30000u);
    const std::string strLog = EngineLog();
    EXPECT_NE(std::string::npos, strLog.find("redirect 302: " + strFault +
                                             "/redirect-host/good.bin -> http://localhost:"))
        << "each redirect is logged";
}

std::string Inverted(std::string strData) {
    for (char& c : strData)
        c = static_cast<char>(~static_cast<unsigned char>(c));
    return strData;
}

// Two engines in two processes fetch the same names into one folder at the
// same time, each with its own bytes and digests: this process the batch
// files, the peer their inverted bytes (/wrong/), both from the fault server
// so that they go at the same pace. Both must finish their whole batch, and every file must end
// as the verified bytes of one of them, with no temporary file left. The
// peer is this same test in a second process, which PELLOW_PEER_SHARED
// names the shared folder to.
TEST_F(EngineHost, SecondEngineInAnotherProcessFetchesIntoTheSameFolder) {
    const std::string strPeerShared = Env("PELLOW_PEER_SHARED");
    const bool bPeer = !strPeerShared.empty();
    const std::string strShared = bPeer ? strPeerShared : strWork + "\\shared";
    const std::string strEvents =
        bPeer ? Env("PELLOW_PEER_EVENTS")
              : "PellowTwoEngines-" + std::to_string(::GetCurrentProcessId());
    CKernelHandle ready(
        ::CreateEventA(nullptr, /*bManualReset=*/TRUE, FALSE, (strEvents + "-ready").c_str()));
    CKernelHandle go(
        ::CreateEventA(nullptr, /*bManualReset=*/TRUE, FALSE, (strEvents + "-go").c_str()));
    ASSERT_NE(nullptr, ready.Get());
    ASSERT_NE(nullptr, go.Get());

    CKernelHandle peer;
    if (!bPeer) {
        ASSERT_TRUE(::CreateDirectoryA(strShared.c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryA((strWork + "\\peer").c_str(), nullptr));
        const std::string strWorkBefore = Env("PELLOW_WORK");
        ::SetEnvironmentVariableA("PELLOW_PEER_SHARED", strShared.c_str());
        ::SetEnvironmentVariableA("PELLOW_PEER_EVENTS", strEvents.c_str());
        ::SetEnvironmentVariableA("PELLOW_WORK", (strWork + "\\peer").c_str());
        char szExe[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, szExe, MAX_PATH);
        std::string strCommand = std::string("\"") + szExe +
                                 "\" --gtest_color=no --gtest_filter=EngineHost." +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        const BOOL bStarted =
            ::CreateProcessA(szExe, &strCommand[0], nullptr, nullptr,
                             /*bInheritHandles=*/FALSE, 0, nullptr, nullptr, &si, &pi);
        ::SetEnvironmentVariableA("PELLOW_PEER_SHARED", nullptr);
        ::SetEnvironmentVariableA("PELLOW_PEER_EVENTS", nullptr);
        ::SetEnvironmentVariableA("PELLOW_WORK", strWorkBefore.c_str());
        ASSERT_TRUE(bStarted) << ::GetLastError();
        const CKernelHandle thread(pi.hThread);
        peer.Reset(pi.hProcess);
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.Get(), 60000)) << "the peer started";
        ::SetEvent(go.Get());
    } else {
        ::SetEvent(ready.Get());
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(go.Get(), 60000));
    }

    std::ifstream index(strRoot + "\\batch\\index.txt");
    std::vector<DownLoadRequest> requests;
    std::vector<std::string> names;
    std::string strName, strMd5;
    while (index >> strName >> strMd5) {
        const std::string strUrl = strFault + (bPeer ? "/wrong/batch/" : "/ok/batch/") + strName;
        const std::string strDigest =
            bPeer ? Md5Of(Inverted(ReadAll(strRoot + "\\batch\\" + strName))) : strMd5;
        requests.push_back(Request(strName, strShared, strName, strUrl, "", strDigest));
        names.push_back(strName);
    }
    ASSERT_GE(requests.size(), 100u);
    DownLoadRequestList list(requests.begin(), requests.end());
    helper->DownLoadCommand(DOWNLOAD_CMD_FILES, nullptr, &list);
    ASSERT_TRUE(PumpUntil([&] { return BatchEnded() || sink.nStops > 0; }));
    EXPECT_EQ(0, sink.nStops) << (bPeer ? "peer" : "first");
    EXPECT_EQ(requests.size(), sink.reports.size()) << (bPeer ? "peer" : "first");
    if (bPeer)
        return;

    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(peer.Get(), 120000));
    DWORD dwExit = 1;
    ::GetExitCodeProcess(peer.Get(), &dwExit);
    EXPECT_EQ(0u, dwExit) << "the peer's own checks";
    int nFromPeer = 0;
    for (const std::string& strFile : names) {
        const std::string strOriginal = ReadAll(strRoot + "\\batch\\" + strFile);
        const std::string strGot = ReadAll(strShared + "\\" + strFile);
        EXPECT_TRUE(strGot == strOriginal || strGot == Inverted(strOriginal)) << strFile;
        if (!strOriginal.empty() && strGot == Inverted(strOriginal))
            ++nFromPeer;
    }
    EXPECT_EQ(0, CountTempFiles(strShared));
    std::printf("files last written by the peer: %d of %zu\n", nFromPeer, names.size());
}

TEST_F(EngineHost, FlakyPrimaryIsRetriedBeforeTheReserve) {
    const std::string strGood = ReadAll(strRoot + "\\good.bin");
    DownLoadRequest r = Request("flaky", strWork, "flaky.bin", strFault + "/flaky/good.bin",
                                strRefused + "/good.bin", Md5Of(strGood));
    helper->DownLoadCommand(DOWNLOAD_CMD_FILES, &r, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 1 || sink.nStops > 0; }));
    ASSERT_EQ(1u, sink.reports.size());
    EXPECT_EQ(2u, sink.reports[0].nAttempts);
    EXPECT_EQ(strGood, ReadAll(strWork + "\\flaky.bin"));
}

// A file that fails on both addresses: OnServiceStop, the installed file as
// it was, no temporary file, and the reason in the engine's log.
TEST_F(EngineHost, BadTransfersNeverReplaceTheInstalledFile) {
    const std::string strGood = ReadAll(strRoot + "\\good.bin");
    const std::string strGoodMd5 = Md5Of(strGood);
    struct Case {
        const char* pszName;
        std::string strPrimary, strReserve, strMd5;
        std::string strLogged = "";  // in the engine's log after the failure
        DWORD dwWithinMs = 120000;
        // The engine's largest file for this row (PELLOWD_MAX_FILE_BYTES), empty for the run's.
        std::string strMaxFileBytes = "";
    };
    const std::string strFaultPort = strFault.substr(strFault.rfind(':') + 1);
    const Case cases[] = {
        {"wrong-digest", strNginx + "/good.bin", strFault + "/ok/good.bin",
         "0123456789abcdef0123456789abcdef"},
        {"wrong-bytes", strFault + "/wrong/good.bin", strFault + "/wrong/good.bin", strGoodMd5},
        {"cut-both", strFault + "/cut/good.bin", strFault + "/cut/good.bin", ""},
        {"stall-both", strFault + "/stall/good.bin", strFault + "/stall/good.bin", strGoodMd5},
        {"missing-both", strNginx + "/nothing.bin", strFault + "/missing/good.bin", ""},
        {"refused-both", strRefused + "/a", strRefused + "/b", ""},
        // Without a digest only the status and the length stand between
        // these and the installed file.
        {"status-204-both", strFault + "/204/good.bin", strFault + "/204/good.bin", ""},
        {"status-206-both", strFault + "/206/good.bin", strFault + "/206/good.bin", ""},
        {"endless-both", strFault + "/endless/good.bin", strFault + "/endless/good.bin", ""},
        {"huge-length-both", strFault + "/hugelength/good.bin", strFault + "/hugelength/good.bin",
         ""},
        {"portal-page-both", strFault + "/html/good.bin", strFault + "/html/good.bin", strGoodMd5},
        // Compressed although not asked for: its bytes are not the file's,
        // whatever their length says.
        {"gzip-both", strFault + "/gzip/good.bin", strFault + "/gzip/good.bin", "",
         "body sent with Content-Encoding gzip"},
        {"drip-both", strFault + "/drip1/good.bin", strFault + "/drip1/good.bin", strGoodMd5},
        {"redirect-to-ftp-both", strFault + "/redirect-scheme/good.bin",
         strFault + "/redirect-loop/good.bin", ""},
        // Down to plain http, to an address that would serve the right bytes;
        // refused on the spot, sooner than one time-out (2 s) of the engine.
        {"large-wrong-digest", strNginx + "/big/big6.bin", strFault + "/ok/big/big6.bin",
         "0123456789abcdef0123456789abcdef"},
        {"large-cut-both", strFault + "/cut/big/big7.bin", strFault + "/cut/big/big7.bin", ""},
        {"redirect-https-to-http-both", strFaultTls + "/redirect-http/good.bin",
         strFaultTls + "/redirect-http/good.bin", strGoodMd5,
         "redirect from https to http refused: http://localhost:" + strFaultPort + "/ok/good.bin",
         2000},
        // 1 TiB announced to an engine that would take 2 TiB: more than the
        // disk has, refused before a byte is written.
        {"past-free-space-both", strFault + "/hugelength/good.bin",
         strFault + "/hugelength/good.bin", "", "1099511627776 bytes announced, ", 120000,
         "2199023255552"},
    };
    const std::string strRunMax = Env("PELLOWD_MAX_FILE_BYTES");
    // The engine reads its settings when it is made.
    auto makeEngine = [&](const std::string& strMax) {
        helper.CloseInstance();
        ::SetEnvironmentVariableA("PELLOWD_MAX_FILE_BYTES",
                                  strMax.empty() ? nullptr : strMax.c_str());
        return helper.CreateInstance() &&
               helper->SetDownLoadServiceSink(static_cast<IUnknownEx*>(&sink));
    };
    std::string strEngineMax = strRunMax;
    ULARGE_INTEGER freeBytes = {};
    ASSERT_TRUE(::GetDiskFreeSpaceExA((strWork + "\\").c_str(), &freeBytes, nullptr, nullptr));
    for (const Case& c : cases) {
        if (std::string(c.pszName) == "past-free-space-both" && freeBytes.QuadPart >> 40 != 0) {
            std::printf("%s: not run, the disk has 1 TiB free or more\n", c.pszName);
            continue;
        }
        const std::string strMax = c.strMaxFileBytes.empty() ? strRunMax : c.strMaxFileBytes;
        if (strMax != strEngineMax) {
            ASSERT_TRUE(makeEngine(strMax)) << c.pszName;
            strEngineMax = strMax;
        }
        const std::string strTarget = strWork + "\\" + c.pszName + ".dll";
        WriteAll(strTarget, std::string("installed ") + c.pszName);
        DownLoadRequest r = Request(c.pszName, strWork, std::string(c.pszName) + ".dll",
                                    c.strPrimary, c.strReserve, c.strMd5);
        const int nStopsBefore = sink.nStops;
        const std::size_t nReportsBefore = sink.reports.size();
        // The log of the day holds earlier cases and runs too.
        const std::size_t nLogBefore = EngineLog().size();
        const DWORD dwStart = ::GetTickCount();
        ASSERT_EQ(1, helper->DownLoadCommand(DOWNLOAD_CMD_FILES, &r, nullptr));
        // A file saved after all ends the case at once, and fails it below.
        ASSERT_TRUE(PumpUntil([&] {
            return sink.nStops > nStopsBefore || sink.reports.size() > nReportsBefore;
        })) << c.pszName;
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        ASSERT_TRUE(PumpUntil([&] { return !helper->IsBusy(); })) << c.pszName;
        EXPECT_EQ(nStopsBefore + 1, sink.nStops) << c.pszName;
        // Compared whole but not printed: a replaced file is bytes of no interest.
        EXPECT_TRUE(ReadAll(strTarget) == std::string("installed ") + c.pszName)
            << c.pszName << ": the installed file was replaced";
        EXPECT_EQ(0, CountTempFiles(strWork)) << c.pszName;
        EXPECT_LT(dwElapsed, c.dwWithinMs) << c.pszName;
        const std::string strLog = EngineLog();
        const std::size_t nAt =
            strLog.find(std::string("download failed: ") + c.pszName, nLogBefore);
        EXPECT_NE(std::string::npos, nAt) << c.pszName;
        if (nAt != std::string::npos && !c.strLogged.empty()) {
            EXPECT_NE(std::string::npos, strLog.find(c.strLogged, nAt)) << c.pszName << ":\n"
                                                                        << strLog.substr(nAt);
        }
    }
    EXPECT_TRUE(sink.reports.empty());
    ::SetEnvironmentVariableA("PELLOWD_MAX_FILE_BYTES",
                              strRunMax.empty() ? nullptr : strRunMax.c_str());
}

// A large file over its older version: rebuilt from the chunks on the disk
// and ranges of the server, or, whatever the server or its index does
// wrong, fetched whole. Each row ends with the release's file in place and
// no temporary or partial file left, and the engine's log says which way it
// went and why.
TEST_F(EngineHost, ChunkReuseAndResumeCostBytesNeverCorrectness) {
    // The release file, its older version (three regions rewritten, 20 KiB
    // inserted) and indexes: its own, a garbage one and a hostile one under
    // other names of the same bytes.
    std::string strNew(2 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < strNew.size(); ++i)
        strNew[i] = static_cast<char>((i * 2654435761u) >> 13 ^ i >> 7);
    std::string strOld = strNew;
    for (std::size_t nAt : {300000u, 1000000u, 1700000u})
        strOld.replace(nAt, 8192, std::string(8192, 'o'));
    strOld.insert(600000, std::string(20 * 1024, 'i'));
    const std::string strMd5 = Md5Of(strNew);
    chunks::CIndexWriter writer;
    writer.Chunker().Feed(strNew.data(), strNew.size());
    writer.Chunker().Finish();
    unsigned char md5[16];
    ASSERT_TRUE(chunks::DigestBytes(strMd5, md5));
    const std::string strIndex = writer.Finish(md5);
    std::string strHostile = strIndex;
    strHostile[63] = '\x7F';  // far more chunks than the size allows
    const std::string strSuffix = chunks::IndexSuffix(strMd5);
    ::CreateDirectoryA((strRoot + "\\delta").c_str(), nullptr);
    for (const char* pszName : {"new", "noindex", "garbage", "hostile"})
        WriteAll(strRoot + "\\delta\\" + pszName + ".bin", strNew);
    WriteAll(strRoot + "\\delta\\new.bin" + strSuffix, strIndex);
    WriteAll(strRoot + "\\delta\\garbage.bin" + strSuffix, std::string(4000, 'g'));
    WriteAll(strRoot + "\\delta\\hostile.bin" + strSuffix, strHostile);

    struct Case {
        const char* pszName;
        std::string strUrl;
        std::string strLogged;  // in the engine's log for this row
        bool bOldTarget = true;
        std::size_t nPartial = 0;  // a partial of a cut run: the first bytes of the file
        std::string strReserve = "";
    };
    const std::string strReused = " bytes from the disk, ";
    const std::string strWhole = "not possible (";
    const Case cases[] = {
        {"reuse-nginx", strNginx + "/delta/new.bin", strReused},
        {"reuse-fault-server", strFault + "/ok/delta/new.bin", strReused},
        {"no-index", strNginx + "/delta/noindex.bin", strWhole + "HTTP status 404"},
        {"garbage-index", strNginx + "/delta/garbage.bin", strWhole + "not a chunk index"},
        {"hostile-index", strNginx + "/delta/hostile.bin", strWhole + "chunk index counts"},
        {"range-answered-whole", strFault + "/range200/delta/new.bin",
         strWhole + "a range answered with the whole file"},
        {"range-shifted", strFault + "/rangeshift/delta/new.bin", strWhole + "asked for bytes "},
        {"range-multipart", strFault + "/multipart/delta/new.bin", strWhole + "a multipart answer"},
        {"range-416", strFault + "/range416/delta/new.bin", strWhole + "HTTP status 416"},
        {"range-short", strFault + "/rangeshort/delta/new.bin", strWhole + "cut after ", true, 0,
         strNginx + "/delta/new.bin"},
        {"chunk-mismatch", strFault + "/rangeflip/delta/new.bin",
         "does not match its hash): fetching the whole file"},
        {"changed-between-ranges", strFault + "/rangemoved/delta/new.bin",
         strWhole + "the file changed on the server between two ranges"},
        // Resume: a partial of a cut run serves as chunks, or is continued.
        {"partial-resumed", strNginx + "/delta/new.bin", strReused, false, 1200000},
        {"partial-then-200", strFault + "/range200/delta/noindex.bin", strWhole, false, 1200000},
        {"cut-then-resumed", strFault + "/flaky/delta/new.bin", strReused, false},
    };
    for (const Case& c : cases) {
        const std::string strFolder = strWork + "\\" + c.pszName;
        ASSERT_TRUE(::CreateDirectoryA(strFolder.c_str(), nullptr)) << c.pszName;
        const std::string strTarget = strFolder + "\\data.pak";
        if (c.bOldTarget)
            WriteAll(strTarget, strOld);
        if (c.nPartial > 0) {
            WriteAll(strFolder + "\\~PellowD-" + strMd5.substr(0, 25) + ".part",
                     strNew.substr(0, c.nPartial));
        }
        DownLoadRequest r =
            Request(c.pszName, strFolder, "data.pak", c.strUrl, c.strReserve, strMd5);
        const std::size_t nReportsBefore = sink.reports.size();
        const std::size_t nLogBefore = EngineLog().size();
        ASSERT_EQ(1, helper->DownLoadCommand(DOWNLOAD_CMD_FILES, &r, nullptr));
        ASSERT_TRUE(PumpUntil([&] { return !helper->IsBusy(); })) << c.pszName;
        EXPECT_EQ(nReportsBefore + 1, sink.reports.size()) << c.pszName;
        EXPECT_TRUE(ReadAll(strTarget) == strNew) << c.pszName << ": not the release's file";
        EXPECT_EQ(0, CountTempFiles(strFolder)) << c.pszName;
        const std::string strLog = EngineLog().substr(nLogBefore);
        EXPECT_NE(std::string::npos, strLog.find(c.strLogged)) << c.pszName << ":\n" << strLog;
    }
    EXPECT_EQ(0, sink.nStops);
}

TEST_F(EngineHost, FailedFileEndsItsBatchWithServiceStop) {
    std::vector<DownLoadRequest> requests;
    for (int i = 0; i < 30; ++i) {
        std::string strName = "b" + std::to_string(i) + ".bin";
        bool bBad = (i == 4);
        requests.push_back(Request(strName, strWork, strName,
                                   bBad ? strNginx + "/gone.bin" : strNginx + "/good.bin",
                                   bBad ? strNginx + "/gone2.bin" : strNginx + "/good.bin"));
    }
    DownLoadRequestList list(requests.begin(), requests.end());
    ASSERT_EQ(30, helper->DownLoadCommand(DOWNLOAD_CMD_FILES, nullptr, &list));
    ASSERT_TRUE(PumpUntil([&] { return sink.nStops > 0; }));
    ASSERT_TRUE(PumpUntil([&] { return !helper->IsBusy(); }));
    PumpPending();
    EXPECT_EQ(1, sink.nStops);
    EXPECT_FALSE(BatchEnded()) << "a given-up batch has no last report";
    EXPECT_LT(sink.reports.size(), 30u);
    EXPECT_FALSE(Exists(strWork + "\\b4.bin"));
}

TEST_F(EngineHost, NewBatchSentFromInsideAReport) {
    const std::string strGood = ReadAll(strRoot + "\\good.bin");
    sink.onReport = [&](const DownLoadTask& task) {
        if (task.nCommandCode != DOWNLOAD_CMD_PLAZA_XML)
            return;
        DownLoadRequestList list;
        for (int i = 0; i < 12; ++i) {
            std::string strName = "sub\\n" + std::to_string(i) + ".bin";
            list.push_back(
                Request(strName, strWork, strName, strNginx + "/good.bin", "", Md5Of(strGood)));
        }
        EXPECT_EQ(12, helper->DownLoadCommand(DOWNLOAD_CMD_FILES, nullptr, &list));
    };
    DownLoadRequest manifest =
        Request("LastUpdateFiles.xml", strWork + "\\DownLoad", "LastUpdateFiles.xml",
                strNginx + "/LastUpdateFiles.xml", "");
    helper->DownLoadCommand(DOWNLOAD_CMD_PLAZA_XML, &manifest, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return BatchEnded() || sink.nStops > 0; }));
    ASSERT_EQ(13u, sink.reports.size());
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(strGood, ReadAll(strWork + "\\sub\\n" + std::to_string(i) + ".bin")) << i;
}

TEST_F(EngineHost, NothingToFetchAndUnsafeNames) {
    EXPECT_EQ(0, helper->DownLoadCommand(DOWNLOAD_CMD_NOTHING, nullptr, nullptr));
    EXPECT_FALSE(helper->IsBusy());
    // A save name that climbs out of its folder is refused, and the run stops.
    ::CreateDirectoryA((strWork + "\\inner").c_str(), nullptr);
    DownLoadRequest r =
        Request("escape", strWork + "\\inner", "..\\escaped.txt", strNginx + "/good.bin", "");
    helper->DownLoadCommand(DOWNLOAD_CMD_FILES, &r, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return sink.nStops > 0; }));
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_FALSE(Exists(strWork + "\\escaped.txt"));
    EXPECT_NE(std::string::npos, EngineLog().find("refused save name \"..\\escaped.txt\""));
}

TEST_F(EngineHost, ReleaseWhileDownloadsRun) {
    DownLoadRequestList list;
    // First one whose server never sends its body, so a worker is blocked in
    // it when the engine is released.
    list.push_back(Request("stalled", strWork, "stalled.bin", strFault + "/stall/good.bin", ""));
    for (int i = 0; i < 8; ++i) {
        std::string strName = "big" + std::to_string(i) + ".bin";
        list.push_back(Request(strName, strWork, strName, strNginx + "/big/" + strName, ""));
    }
    ASSERT_EQ(9, helper->DownLoadCommand(DOWNLOAD_CMD_FILES, nullptr, &list));
    ASSERT_TRUE(PumpUntil([&] { return !sink.reports.empty(); }));
    const DWORD dwStart = ::GetTickCount();
    helper.CloseInstance();  // Release, then the library is freed: every thread must be gone
    sink.bReleased = true;
    const DWORD dwElapsed = ::GetTickCount() - dwStart;
    PumpPending();
    EXPECT_EQ(0, sink.nCallsAfterRelease);
    EXPECT_FALSE(BatchEnded());
    EXPECT_FALSE(Exists(strWork + "\\stalled.bin"));
    std::printf("Release with transfers running took %lu ms\n",
                static_cast<unsigned long>(dwElapsed));
}

TEST_F(EngineHost, ReleaseFromInsideAReport) {
    // Our own reference keeps the library loaded while its window procedure
    // unwinds: CloseInstance frees the helper's reference from inside it.
    HMODULE hKeep = ::LoadLibraryA("PellowD.dll");
    ASSERT_NE(nullptr, hKeep);
    sink.onReport = [&](const DownLoadTask&) {
        helper.CloseInstance();
        sink.bReleased = true;
    };
    DownLoadRequestList list;
    for (int i = 0; i < 6; ++i) {
        std::string strName = "r" + std::to_string(i) + ".bin";
        list.push_back(Request(strName, strWork, strName, strNginx + "/good.bin", ""));
    }
    helper->DownLoadCommand(DOWNLOAD_CMD_FILES, nullptr, &list);
    ASSERT_TRUE(PumpUntil([&] { return !sink.reports.empty(); }));
    PumpPending();
    EXPECT_EQ(1u, sink.reports.size());
    EXPECT_EQ(0, sink.nCallsAfterRelease);
    ::FreeLibrary(hKeep);
}

}  // namespace

namespace {

// HTTPS goes through TLS with the certificate checked: the test server's
// self-signed certificate is of no known authority, so the request fails
// with ERROR_INTERNET_INVALID_CA (12045) and ends the run. (The fault server
// over HTTPS is trusted: its authority is in the prefix while the test runs.)
TEST_F(EngineHost, HttpsRefusesAnUnknownAuthority) {
    const std::string strHttps = Env("PELLOW_HTTPS");
    ASSERT_EQ(0u, strHttps.find("https://localhost:")) << strHttps;
    DownLoadRequest r =
        Request("untrusted-https", strWork, "untrusted.bin", strHttps + "/good.bin", "");
    helper->DownLoadCommand(DOWNLOAD_CMD_FILES, &r, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return sink.nStops > 0 || !sink.reports.empty(); }));
    EXPECT_EQ(1, sink.nStops);
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_FALSE(Exists(strWork + "\\untrusted.bin"));
    const std::string strLog = EngineLog();
    const std::size_t nAt = strLog.find("download failed: untrusted-https");
    ASSERT_NE(std::string::npos, nAt);
    EXPECT_NE(std::string::npos, strLog.find("HttpSendRequest failed, error 12045", nAt))
        << strLog.substr(nAt);
}

}  // namespace
