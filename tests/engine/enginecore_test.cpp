// The worker pool and the owner-thread reports, with a fake transfer whose
// completion order the test decides. The owner thread is the test's thread;
// "wake" stands for the posted message of the Windows layer.
#include "enginecore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pellowd {
namespace {

struct Reported {
    std::thread::id thread;
    int nCommand;
    std::string strFile;
    unsigned nCount, nIndex;
    std::string strGame;
};

class RecordingSink : public IDownLoadServiceSink {
public:
    std::vector<Reported> reports;
    int nStops = 0;
    std::function<void(const DownLoadTask&)> onReport;

    bool IsValid() override { return true; }
    void Release() override { ADD_FAILURE() << "the engine must never release the sink"; }
    void* QueryInterface(const GUID&, DWORD) override { return nullptr; }
    void OnDownLoadEvent(int nEvent, const DownLoadTask* pTask) override {
        EXPECT_EQ(DOWNLOAD_EVENT_FINISHED, nEvent);
        reports.push_back({std::this_thread::get_id(), pTask->nCommandCode,
                           pTask->Request.szFileName, pTask->dwBatchCount, pTask->dwBatchIndex,
                           pTask->Request.szGameName});
        if (onReport)
            onReport(*pTask);
    }
    void OnServiceStop() override { ++nStops; }
    void OnServiceExit() override { ADD_FAILURE() << "not expected"; }
};

// A transfer that finishes only when the test releases its file name (or
// when "*" is released), and fails when its name starts with "fail". A
// success stages its file, which cannot be flushed when its name starts
// with "nocommit", and whose flush holds the committer until the test
// releases "flush:" and the name when its name starts with "heldflush".
class GatedWork {
public:
    std::mutex mutex;
    std::condition_variable cv;
    std::set<std::string> released;
    std::set<std::string> running;
    int nRunning = 0, nMaxRunning = 0, nStarted = 0;
    std::vector<std::string> committed;  // in the order they were put in place
    std::set<std::string> removed;       // staged, never put in place
    int nStaged = 0;
    int nFlushesHeld = 0;  // flushes that began holding the committer

    class Staged : public IStagedFile {
    public:
        Staged(GatedWork& work, std::string strName) : m_work(work), m_strName(strName) {}
        ~Staged() override {
            std::lock_guard<std::mutex> lock(m_work.mutex);
            if (!m_bReplaced)
                m_work.removed.insert(m_strName);
            m_work.cv.notify_all();
        }
        bool Flush(std::string* pstrWhy) override {
            if (m_strName.rfind("heldflush", 0) == 0) {
                std::unique_lock<std::mutex> lock(m_work.mutex);
                ++m_work.nFlushesHeld;
                m_work.cv.notify_all();
                m_work.cv.wait(lock, [&] { return m_work.released.count("flush:" + m_strName); });
            }
            *pstrWhy = "disk full";
            return m_strName.rfind("nocommit", 0) != 0;
        }
        bool Replace(std::string*) override {
            std::lock_guard<std::mutex> lock(m_work.mutex);
            m_work.committed.push_back(m_strName);
            m_bReplaced = true;
            m_work.cv.notify_all();
            return true;
        }

    private:
        GatedWork& m_work;
        const std::string m_strName;
        bool m_bReplaced = false;
    };

    void Release(const std::string& strName) {
        std::lock_guard<std::mutex> lock(mutex);
        released.insert(strName);
        cv.notify_all();
    }
    // Under the lock: the cancel flag is not guarded by it, so a notification
    // sent between a transfer's look at the flag and its wait would be lost,
    // and Stop would join that transfer for ever.
    void Abort() {
        std::lock_guard<std::mutex> lock(mutex);
        cv.notify_all();
    }

    TransferResult operator()(const TransferJob& job, const std::function<bool()>& isCancelled) {
        const std::string strName = job.request.szFileName;
        std::unique_lock<std::mutex> lock(mutex);
        ++nStarted;
        running.insert(strName);
        cv.notify_all();
        nMaxRunning = std::max(nMaxRunning, ++nRunning);
        bool bCancelled = false;
        cv.wait(lock, [&] {
            bCancelled = isCancelled();
            return bCancelled || released.count(strName) != 0 || released.count("*") != 0;
        });
        --nRunning;
        running.erase(strName);
        TransferResult r;
        r.job = job;
        r.nAttempts = 1;
        r.eFailure = bCancelled                      ? Failure::kCancelled
                     : strName.rfind("fail", 0) == 0 ? Failure::kNetwork
                                                     : Failure::kNone;
        if (r.eFailure == Failure::kNetwork)
            r.strLog = "p -> x: network";
        if (r.eFailure == Failure::kNone) {
            r.strLocalPath = strName;
            r.staged = std::make_shared<Staged>(*this, strName);
            ++nStaged;
        }
        return r;
    }
};

class EngineCoreTest : public ::testing::Test {
protected:
    GatedWork work;
    RecordingSink sink;
    std::mutex wakeMutex;
    std::condition_variable wakeCv;
    bool bWoken = false;
    std::vector<std::string> logLines;
    std::mutex logMutex;
    std::atomic<bool> bLogThrows{false};  // the next log line throws, as out of memory would
    std::unique_ptr<CEngineCore> core;

    void SetUp() override {
        CEngineCore::Hooks hooks;
        hooks.wake = [this] {
            std::lock_guard<std::mutex> lock(wakeMutex);
            bWoken = true;
            wakeCv.notify_all();
        };
        hooks.log = [this](const std::string& s) {
            if (bLogThrows.exchange(false))
                throw std::bad_alloc();
            std::lock_guard<std::mutex> lock(logMutex);
            logLines.push_back(s);
        };
        hooks.abort = [this] { work.Abort(); };
        core.reset(new CEngineCore(
            3, [this](const TransferJob& j, const std::function<bool()>& c) { return work(j, c); },
            hooks));
        core->SetSink(&sink);
    }
    void TearDown() override { core.reset(); }

    // The owner's message loop: dispatch whenever woken, until pred holds.
    void PumpUntil(const std::function<bool()>& pred) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!pred()) {
            std::unique_lock<std::mutex> lock(wakeMutex);
            ASSERT_TRUE(wakeCv.wait_until(lock, deadline, [this] { return bWoken; }))
                << "no result arrived";
            bWoken = false;
            lock.unlock();
            core->Dispatch();
        }
    }

    static DownLoadRequest Request(const std::string& strName, const char* pszGame = "") {
        DownLoadRequest r;
        std::memset(&r, 0, sizeof(r));
        std::strcpy(r.szFileName, strName.c_str());
        std::strcpy(r.szGameName, pszGame);
        return r;
    }
    static DownLoadRequestList Batch(const std::string& strPrefix, int n) {
        DownLoadRequestList list;
        for (int i = 0; i < n; ++i)
            list.push_back(Request(strPrefix + std::to_string(i)));
        return list;
    }
};

TEST_F(EngineCoreTest, ReportsNumberedInCompletionOrderOnOwnerThread) {
    const int kFiles = 40;
    DownLoadRequestList others = Batch("f", kFiles);
    DownLoadRequest first = others.front();
    others.erase(others.begin());
    ASSERT_EQ(kFiles, core->Command(DOWNLOAD_CMD_FILES, &first, &others));
    EXPECT_TRUE(core->IsBusy());

    // Finish a random one of the running transfers each time, so the
    // completion order differs from the request order.
    std::mt19937 rng(4);
    std::vector<std::string> order;
    for (int nLeft = kFiles; nLeft > 0; --nLeft) {
        std::string strPick;
        {
            std::unique_lock<std::mutex> lock(work.mutex);
            const std::size_t nWant = std::min(3, nLeft);
            ASSERT_TRUE(work.cv.wait_for(lock, std::chrono::seconds(20),
                                         [&] { return work.running.size() == nWant; }));
            std::vector<std::string> running(work.running.begin(), work.running.end());
            strPick = running[rng() % running.size()];
        }
        order.push_back(strPick);
        std::size_t nBefore = sink.reports.size();
        work.Release(strPick);
        PumpUntil([&] { return sink.reports.size() > nBefore; });
    }
    ASSERT_NE(order.front(), "f0") << "the seed should give an order other than the request order";

    ASSERT_EQ(static_cast<std::size_t>(kFiles), sink.reports.size());
    int nEnds = 0;
    for (std::size_t i = 0; i < sink.reports.size(); ++i) {
        const Reported& r = sink.reports[i];
        EXPECT_EQ(std::this_thread::get_id(), r.thread) << r.strFile;
        EXPECT_EQ(DOWNLOAD_CMD_FILES, r.nCommand) << r.strFile;
        EXPECT_EQ(static_cast<unsigned>(kFiles), r.nCount) << r.strFile;
        EXPECT_EQ(i, r.nIndex) << r.strFile;
        EXPECT_EQ(order[i], r.strFile) << "report " << i;
        if (r.nIndex + 1 >= r.nCount)
            ++nEnds;
    }
    EXPECT_EQ(1, nEnds);
    EXPECT_EQ(order, work.committed) << "each file is in place before its report";
    EXPECT_FALSE(core->IsBusy());
    EXPECT_LE(work.nMaxRunning, 3);
    EXPECT_GE(work.nMaxRunning, 2) << "files run in parallel";
    EXPECT_EQ(0, sink.nStops);
}

// A sink that throws from a report, a log line that cannot be made while a
// failure is given up: each loses that one call only. The results behind
// them are still handed over and the stop still comes.
TEST_F(EngineCoreTest, ThrowingSinkOrLogLosesNothingElse) {
    bool bSinkThrows = true;
    sink.onReport = [&](const DownLoadTask&) {
        if (bSinkThrows) {
            bSinkThrows = false;
            throw std::runtime_error("sink");
        }
    };
    DownLoadRequestList list = Batch("ok", 3);
    ASSERT_EQ(3, core->Command(DOWNLOAD_CMD_FILES, nullptr, &list));
    work.Release("*");
    PumpUntil([&] { return sink.reports.size() == 3; });
    bLogThrows = true;
    DownLoadRequestList failing{Request("fail-x")};
    ASSERT_EQ(1, core->Command(DOWNLOAD_CMD_FILES, nullptr, &failing));
    PumpUntil([&] { return sink.nStops == 1; });
    EXPECT_FALSE(core->IsBusy());
}

TEST_F(EngineCoreTest, FailedFileCancelsItsBatchAndStopsOnce) {
    DownLoadRequestList list = Batch("ok", 6);
    list.insert(list.begin() + 1, Request("fail-x"));
    ASSERT_EQ(7, core->Command(DOWNLOAD_CMD_FILES, nullptr, &list));
    work.Release("ok0");
    PumpUntil([&] { return sink.reports.size() == 1; });
    work.Release("fail-x");
    PumpUntil([&] { return sink.nStops == 1; });
    work.Release("*");  // whatever still runs may finish now; it must not be reported
    core->Stop();

    EXPECT_EQ(1u, sink.reports.size());
    EXPECT_EQ(1, sink.nStops);
    EXPECT_LE(work.nStarted, 4) << "queued files of the batch are not started";
    EXPECT_FALSE(core->IsBusy());
    std::lock_guard<std::mutex> lock(logMutex);
    ASSERT_GE(logLines.size(), 2u);
    EXPECT_EQ("download failed: fail-x after 1 attempt(s)", logLines[0]);
    EXPECT_EQ("  p -> x: network", logLines[1]);
}

TEST_F(EngineCoreTest, FileThatCannotBeCommittedCancelsItsBatch) {
    DownLoadRequestList list = Batch("ok", 5);
    list.insert(list.begin() + 1, Request("nocommit-x"));
    ASSERT_EQ(6, core->Command(DOWNLOAD_CMD_FILES, nullptr, &list));
    work.Release("ok0");
    PumpUntil([&] { return sink.reports.size() == 1; });
    work.Release("nocommit-x");
    PumpUntil([&] { return sink.nStops == 1; });
    work.Release("*");
    core->Stop();

    EXPECT_EQ(1u, sink.reports.size());
    EXPECT_EQ(1, sink.nStops);
    EXPECT_EQ(std::vector<std::string>{"ok0"}, work.committed);
    EXPECT_EQ(1u, work.removed.count("nocommit-x"));
    EXPECT_EQ(static_cast<std::size_t>(work.nStaged), work.committed.size() + work.removed.size())
        << "every staged file is either in place or removed";
    std::lock_guard<std::mutex> lock(logMutex);
    ASSERT_GE(logLines.size(), 2u);
    EXPECT_EQ("download failed: nocommit-x after 1 attempt(s)", logLines[0]);
    EXPECT_NE(std::string::npos, logLines[1].find("disk full")) << logLines[1];
}

// The committer is held on another batch's file while one file of this batch
// waits staged behind it; then the batch fails. The waiting file was fetched
// and checked, yet its batch is given up: it is removed, never put in place.
TEST_F(EngineCoreTest, FileStagedWhenItsBatchIsCancelledIsNeverPutInPlace) {
    DownLoadRequestList held{Request("heldflush")};
    ASSERT_EQ(1, core->Command(DOWNLOAD_CMD_FILES, nullptr, &held));
    work.Release("heldflush");
    {
        std::unique_lock<std::mutex> lock(work.mutex);
        ASSERT_TRUE(work.cv.wait_for(lock, std::chrono::seconds(20),
                                     [&] { return work.nFlushesHeld == 1; }));
    }
    DownLoadRequestList list{Request("staged"), Request("fail-x")};
    ASSERT_EQ(2, core->Command(DOWNLOAD_CMD_FILES, nullptr, &list));
    work.Release("staged");
    {
        std::unique_lock<std::mutex> lock(work.mutex);
        ASSERT_TRUE(
            work.cv.wait_for(lock, std::chrono::seconds(20), [&] { return work.nStaged == 2; }));
    }
    work.Release("fail-x");
    PumpUntil([&] { return sink.nStops == 1; });
    work.Release("flush:heldflush");
    PumpUntil([&] { return sink.reports.size() == 1; });
    {
        std::unique_lock<std::mutex> lock(work.mutex);
        ASSERT_TRUE(work.cv.wait_for(lock, std::chrono::seconds(20), [&] {
            return work.removed.count("staged") != 0 ||
                   std::count(work.committed.begin(), work.committed.end(), "staged") != 0;
        }));
        EXPECT_EQ(std::vector<std::string>{"heldflush"}, work.committed);
        EXPECT_EQ(1u, work.removed.count("staged"));
    }
    EXPECT_EQ("heldflush", sink.reports[0].strFile);
    core->Stop();
}

TEST_F(EngineCoreTest, NewBatchFromInsideAReport) {
    work.Release("*");
    sink.onReport = [this](const DownLoadTask& task) {
        if (task.nCommandCode == DOWNLOAD_CMD_PLAZA_XML) {
            DownLoadRequestList list = Batch("g", 4);
            EXPECT_EQ(5, core->Command(DOWNLOAD_CMD_FILES, &list[0], &list));
        }
    };
    DownLoadRequest manifest = Request("LastUpdateFiles.xml", "game");
    ASSERT_EQ(1, core->Command(DOWNLOAD_CMD_PLAZA_XML, &manifest, nullptr));
    PumpUntil([&] { return sink.reports.size() == 6; });

    EXPECT_EQ(DOWNLOAD_CMD_PLAZA_XML, sink.reports[0].nCommand);
    EXPECT_EQ(1u, sink.reports[0].nCount);
    EXPECT_EQ(0u, sink.reports[0].nIndex);
    EXPECT_EQ("game", sink.reports[0].strGame) << "the request comes back whole";
    std::set<unsigned> positions;
    for (std::size_t i = 1; i < 6; ++i) {
        EXPECT_EQ(5u, sink.reports[i].nCount);
        positions.insert(sink.reports[i].nIndex);
    }
    EXPECT_EQ((std::set<unsigned>{0, 1, 2, 3, 4}), positions);
}

TEST_F(EngineCoreTest, BatchesCountedApart) {
    DownLoadRequestList a = Batch("a", 2), b = Batch("b", 3);
    core->Command(DOWNLOAD_CMD_FILES, nullptr, &a);
    core->Command(DOWNLOAD_CMD_FILES, nullptr, &b);
    for (const char* pszName : {"b0", "a1", "b2", "a0", "b1"}) {
        std::size_t nBefore = sink.reports.size();
        work.Release(pszName);
        PumpUntil([&] { return sink.reports.size() > nBefore; });
    }
    std::vector<std::string> got;
    for (const Reported& r : sink.reports)
        got.push_back(r.strFile + ":" + std::to_string(r.nIndex) + "/" + std::to_string(r.nCount));
    EXPECT_EQ((std::vector<std::string>{"b0:0/3", "a1:0/2", "b2:1/3", "a0:1/2", "b1:2/3"}), got);
}

TEST_F(EngineCoreTest, CommandsWithoutWork) {
    DownLoadRequest r = Request("x");
    DownLoadRequestList empty;
    EXPECT_EQ(0, core->Command(DOWNLOAD_CMD_NOTHING, nullptr, nullptr));
    EXPECT_EQ(0, core->Command(DOWNLOAD_CMD_NOTHING, &r, nullptr)) << "code 4 fetches nothing";
    EXPECT_EQ(0, core->Command(7, &r, nullptr));
    EXPECT_EQ(0, core->Command(DOWNLOAD_CMD_FILES, nullptr, &empty));
    EXPECT_EQ(0, core->Command(DOWNLOAD_CMD_FILES, nullptr, nullptr));
    EXPECT_FALSE(core->IsBusy());
    EXPECT_EQ(0, work.nStarted);
}

TEST_F(EngineCoreTest, StopWhileTransfersRunReportsNothingMore) {
    DownLoadRequestList list = Batch("s", 10);
    core->Command(DOWNLOAD_CMD_FILES, nullptr, &list);
    work.Release("s0");
    PumpUntil([&] { return sink.reports.size() == 1; });
    work.Release("s1");  // staged, perhaps committed, never reported
    core->Stop();        // the other transfers are blocked in the fake network
    EXPECT_FALSE(core->IsBusy());
    core->Dispatch();
    EXPECT_EQ(1u, sink.reports.size());
    std::lock_guard<std::mutex> lock(work.mutex);
    EXPECT_EQ(static_cast<std::size_t>(work.nStaged), work.committed.size() + work.removed.size())
        << "a stop leaves no staged file behind";
    EXPECT_EQ(0, core->Command(DOWNLOAD_CMD_FILES, nullptr, &list))
        << "a stopped engine takes nothing";
}

TEST_F(EngineCoreTest, StopFromInsideAReport) {
    sink.onReport = [this](const DownLoadTask&) { core->Stop(); };
    DownLoadRequestList list = Batch("t", 5);
    core->Command(DOWNLOAD_CMD_FILES, nullptr, &list);
    work.Release("*");
    PumpUntil([&] { return !sink.reports.empty(); });
    core->Dispatch();
    EXPECT_EQ(1u, sink.reports.size());
}

}  // namespace
}  // namespace pellowd
