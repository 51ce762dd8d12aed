// The engine without its Windows skin: a fixed pool of worker threads that
// run transfers, a committer thread that puts their staged files in place in
// groups, and the owner-thread side that turns finished transfers into
// reports to the sink. The Windows layer supplies the transfer, a way to wake
// the owner thread (a posted message) and the log.
//
// Threads: Command and IsBusy may be called from any thread. SetSink,
// Dispatch and Stop belong to the owner thread (the one that runs the
// reports); the sink is called only from Dispatch, never from a worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "downloadservice.h"
#include "transfer.h"

namespace pellowd {

class CEngineCore {
public:
    // Runs one job on a worker thread; isCancelled turns true when the engine
    // stops or the job's batch is given up, and the work should end soon.
    typedef std::function<TransferResult(const TransferJob& job,
                                         const std::function<bool()>& isCancelled)>
        Work;

    struct Hooks {
        // Called on a worker thread when results wait and none waited before:
        // the owner thread must call Dispatch (soon, not from inside wake).
        std::function<void()> wake;
        // One line for the engine's log; any thread, may be called concurrently.
        std::function<void(const std::string&)> log;
        // Called by Stop, after every job was told to cancel, before the
        // workers are joined: unblocks transfers that wait on the network.
        std::function<void()> abort;
    };

    // Makes the Work of one worker thread, on that thread, once: whatever a
    // worker keeps between its transfers (a connection, buffers) lives in it.
    typedef std::function<Work()> WorkFactory;

    // Starts nWorkers threads and the committer at once. Throws
    // std::system_error when a thread cannot be started (the caller turns
    // that into a failed creation).
    CEngineCore(unsigned nWorkers, Work work, Hooks hooks);
    CEngineCore(unsigned nWorkers, WorkFactory makeWork, Hooks hooks);
    ~CEngineCore();

    CEngineCore(const CEngineCore&) = delete;
    CEngineCore& operator=(const CEngineCore&) = delete;

    // The sink gets the reports from then on (null: reports are dropped).
    void SetSink(IDownLoadServiceSink* pSink) { m_pSink = pSink; }

    // Queues the requests of one batch (codes 2, 3, 5): pFirst, then
    // *pOthers, each may be null. Copies them and returns the number queued;
    // 0 for code 4 (nothing to do, no report), an unknown code, an empty
    // batch, or a stopped engine.
    int Command(int nCommandCode, const DownLoadRequest* pFirst,
                const DownLoadRequestList* pOthers);

    // The size and SHA-256 the next request saved at strSavePath must have
    // (IDownLoadExpect). Any thread.
    void Expect(const std::string& strSavePath, std::uint64_t nSize, const std::string& strSha256);

    // True while a request of any batch has not been reported or dropped.
    bool IsBusy();

    // Owner thread: reports what has finished, in the order it finished: a
    // staged file once the committer has put it in place. A saved file gives OnDownLoadEvent(3,
    // task) whose position counts the reports of its batch, so exactly the last one has position +
    // 1 equal to the batch size. The first failed file of a batch cancels the rest of it at once
    // (on its worker: nothing more of it starts); here it is logged and OnServiceStop is called,
    // once per batch, and nothing more of that batch is reported. A call made while a report is
    // running (the sink pumping messages) returns at once: reports are never
    // nested; the running Dispatch picks the new results up.
    void Dispatch();

    // Owner thread: cancels every transfer, joins the workers and drops what
    // was not reported. No sink call happens after it returns. Idempotent;
    // may be called from inside a report.
    void Stop();

private:
    struct BatchState {
        explicit BatchState(unsigned n) : nCount(n) {}
        const unsigned nCount;
        unsigned nReported = 0;  // owner thread only
        std::atomic<bool> bCancelled{false};
    };
    struct Item {
        TransferJob job;
        std::shared_ptr<BatchState> batch;
    };
    struct Done {
        TransferResult result;
        std::shared_ptr<BatchState> batch;
        unsigned nDropped = 0;  // for a failure: requests of its batch never started
    };

    void WorkerMain();
    void CommitterMain();
    // With m_mutex held: a finished transfer on its way to the owner thread.
    // A failure gives its batch up at once, so that no worker starts another
    // of its files. True when the owner thread must be woken.
    bool Finish(Done done);
    void Report(const Done& done);
    void GiveUp(const Done& done);
    void WriteFailureLog(const Done& done);

    // Files fetched and staged together, flushed together: a group this
    // large already spreads a journal commit thin.
    static const std::size_t kCommitGroup = 64;

    const WorkFactory m_makeWork;
    const Hooks m_hooks;

    std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::deque<Item> m_queue;
    struct Expectation {
        std::uint64_t nSize;
        std::string strSha256;
    };
    std::map<std::string, Expectation> m_expected;  // by save path
    std::deque<Done> m_staged;                      // for the committer
    std::condition_variable m_cvStaged;
    std::deque<Done> m_results;
    unsigned m_nOutstanding = 0;
    unsigned m_nNextTaskId = 0;
    unsigned m_nNextBatchId = 0;
    std::atomic<bool> m_bStopping{false};
    std::vector<std::thread> m_threads;
    std::thread m_committer;

    // Owner thread only.
    IDownLoadServiceSink* m_pSink = nullptr;
    bool m_bDispatching = false;
    bool m_bJoined = false;
};

}  // namespace pellowd
