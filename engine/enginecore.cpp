#include "enginecore.h"

#include "savepath.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pellowd {

CEngineCore::CEngineCore(unsigned nWorkers, Work work, Hooks hooks)
    : CEngineCore(
          nWorkers, [work] { return work; }, std::move(hooks)) {}

CEngineCore::CEngineCore(unsigned nWorkers, WorkFactory makeWork, Hooks hooks)
    : m_makeWork(std::move(makeWork)), m_hooks(std::move(hooks)) {
    if (nWorkers == 0)
        nWorkers = 1;
    try {
        m_committer = std::thread([this] { CommitterMain(); });
        for (unsigned i = 0; i < nWorkers; ++i)
            m_threads.emplace_back([this] { WorkerMain(); });
    } catch (...) {
        Stop();
        throw;
    }
}

CEngineCore::~CEngineCore() {
    Stop();
}

int CEngineCore::Command(int nCommandCode, const DownLoadRequest* pFirst,
                         const DownLoadRequestList* pOthers) {
    if (nCommandCode == DOWNLOAD_CMD_NOTHING)
        return 0;
    if (nCommandCode != DOWNLOAD_CMD_PLAZA_XML && nCommandCode != DOWNLOAD_CMD_FILES &&
        nCommandCode != DOWNLOAD_CMD_GAME_XML) {
        if (m_hooks.log)
            m_hooks.log("unknown command code " + std::to_string(nCommandCode));
        return 0;
    }
    std::vector<DownLoadRequest> requests;
    if (pFirst != nullptr)
        requests.push_back(*pFirst);
    if (pOthers != nullptr)
        requests.insert(requests.end(), pOthers->begin(), pOthers->end());
    if (requests.empty())
        return 0;

    auto batch = std::make_shared<BatchState>(static_cast<unsigned>(requests.size()));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStopping)
            return 0;
        unsigned nBatchId = ++m_nNextBatchId;
        for (const DownLoadRequest& request : requests) {
            Item item;
            item.job.nTaskId = ++m_nNextTaskId;
            item.job.nBatchId = nBatchId;
            item.job.nCommandCode = nCommandCode;
            item.job.request = request;
            const auto expected = m_expected.find(
                JoinSavePath(FieldText(request.szSaveDir, sizeof(request.szSaveDir)),
                             FieldText(request.szSaveName, sizeof(request.szSaveName))));
            if (expected != m_expected.end()) {
                item.job.nExpectedSize = expected->second.nSize;
                item.job.strSha256 = expected->second.strSha256;
                m_expected.erase(expected);
            }
            item.batch = batch;
            m_queue.push_back(std::move(item));
        }
        m_nOutstanding += static_cast<unsigned>(requests.size());
    }
    m_cvWork.notify_all();
    return static_cast<int>(requests.size());
}

void CEngineCore::Expect(const std::string& strSavePath, std::uint64_t nSize,
                         const std::string& strSha256) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_expected[strSavePath] = Expectation{nSize, strSha256};
}

bool CEngineCore::IsBusy() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nOutstanding != 0;
}

void CEngineCore::WorkerMain() {
    Work work;
    try {
        work = m_makeWork();
    } catch (...) {
        // Without its work this worker takes nothing; the others carry on.
        if (m_hooks.log)
            m_hooks.log("a worker could not be set up");
        return;
    }
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cvWork.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
            if (m_bStopping)
                return;
            item = std::move(m_queue.front());
            m_queue.pop_front();
        }
        BatchState* pBatch = item.batch.get();
        auto isCancelled = [this, pBatch] { return m_bStopping || pBatch->bCancelled; };

        Done done;
        done.batch = item.batch;
        try {
            done.result = work(item.job, isCancelled);
        } catch (...) {
            // A thread entry lets nothing escape; the file counts as failed.
            done.result = TransferResult();
            done.result.job = item.job;
            done.result.eFailure = Failure::kLocal;
            done.result.strLog = "internal error while fetching";
        }

        bool bWake = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStopping)
                return;
            if (done.result.eFailure == Failure::kNone && done.result.staged) {
                m_staged.push_back(std::move(done));
                m_cvStaged.notify_one();
                continue;
            }
            bWake = Finish(std::move(done));
        }
        if (bWake && m_hooks.wake)
            m_hooks.wake();
    }
}

bool CEngineCore::Finish(Done done) {
    if (done.batch->bCancelled || done.result.eFailure == Failure::kCancelled) {
        --m_nOutstanding;
        return false;
    }
    if (done.result.eFailure != Failure::kNone) {
        done.batch->bCancelled = true;
        auto it = std::remove_if(m_queue.begin(), m_queue.end(),
                                 [&](const Item& queued) { return queued.batch == done.batch; });
        done.nDropped = static_cast<unsigned>(m_queue.end() - it);
        m_queue.erase(it, m_queue.end());
        m_nOutstanding -= done.nDropped;
    }
    const bool bWake = m_results.empty();
    m_results.push_back(std::move(done));
    return bWake;
}

void CEngineCore::CommitterMain() {
    for (;;) {
        std::vector<Done> group;
        std::vector<Done> dropped;  // their temporary files go outside the lock
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cvStaged.wait(lock, [this] { return m_bStopping || !m_staged.empty(); });
            if (m_bStopping)
                return;
            // No waiting for a fuller group: whatever the workers staged
            // while the last group was flushed forms the next one, so a busy
            // engine commits in large groups and an idle one at once.
            while (!m_staged.empty() && group.size() < kCommitGroup) {
                Done done = std::move(m_staged.front());
                m_staged.pop_front();
                if (done.batch->bCancelled) {
                    --m_nOutstanding;
                    dropped.push_back(std::move(done));
                } else {
                    group.push_back(std::move(done));
                }
            }
        }
        dropped.clear();
        std::vector<TransferResult*> results;
        for (Done& done : group)
            results.push_back(&done.result);
        try {
            CommitGroup(results);
        } catch (...) {
            for (TransferResult* pResult : results) {
                if (pResult->staged) {
                    pResult->staged.reset();
                    pResult->eFailure = Failure::kLocal;
                    pResult->strLog = "internal error while committing " + pResult->strLocalPath;
                }
            }
        }
        bool bWake = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStopping)
                return;
            for (Done& done : group)
                bWake = Finish(std::move(done)) || bWake;
        }
        if (bWake && m_hooks.wake)
            m_hooks.wake();
    }
}

void CEngineCore::Dispatch() {
    if (m_bDispatching)
        return;
    m_bDispatching = true;
    struct EndOfDispatch {
        bool& bDispatching;
        ~EndOfDispatch() { bDispatching = false; }
    } endOfDispatch{m_bDispatching};
    while (!m_bStopping) {
        Done done;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_results.empty())
                break;
            done = std::move(m_results.front());
            m_results.pop_front();
            --m_nOutstanding;
        }
        // A sink that throws loses that one report, never the results
        // queued behind it (nothing would wake the owner for them again).
        try {
            if (done.result.eFailure != Failure::kNone)
                GiveUp(done);
            else if (!done.batch->bCancelled)
                Report(done);
        } catch (...) {
        }
    }
}

void CEngineCore::Report(const Done& done) {
    const TransferResult& result = done.result;
    BatchState& batch = *done.batch;
    DownLoadTask task;
    std::memset(&task, 0, sizeof(task));
    task.dwTaskID = result.job.nTaskId;
    task.dwAttempts = result.nAttempts;
    task.dwResult = 0;
    std::snprintf(task.szLocalPath, sizeof(task.szLocalPath), "%s", result.strLocalPath.c_str());
    task.nCommandCode = result.job.nCommandCode;
    task.Request = result.job.request;
    task.dwBatchCount = batch.nCount;
    task.dwBatchIndex = batch.nReported++;
    if (m_pSink != nullptr)
        m_pSink->OnDownLoadEvent(DOWNLOAD_EVENT_FINISHED, &task);
}

void CEngineCore::GiveUp(const Done& done) {
    // The stop must come even when the lines for the log cannot be made.
    try {
        WriteFailureLog(done);
    } catch (...) {
    }
    if (m_pSink != nullptr)
        m_pSink->OnServiceStop();
}

void CEngineCore::WriteFailureLog(const Done& done) {
    const TransferResult& result = done.result;
    if (m_hooks.log) {
        const DownLoadRequest& req = result.job.request;
        m_hooks.log("download failed: " + FieldText(req.szFileName, sizeof(req.szFileName)) +
                    " after " + std::to_string(result.nAttempts) + " attempt(s)");
        std::string strLines = result.strLog;
        std::size_t nStart = 0;
        while (nStart <= strLines.size()) {
            std::size_t nEnd = strLines.find('\n', nStart);
            if (nEnd == std::string::npos)
                nEnd = strLines.size();
            if (nEnd > nStart)
                m_hooks.log("  " + strLines.substr(nStart, nEnd - nStart));
            nStart = nEnd + 1;
        }
        m_hooks.log("batch of " + std::to_string(done.batch->nCount) + " request(s) given up; " +
                    std::to_string(done.nDropped) + " not started");
    }
}

void CEngineCore::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
        m_nOutstanding -= static_cast<unsigned>(m_queue.size());
        m_queue.clear();
    }
    m_cvWork.notify_all();
    if (m_bJoined)
        return;
    m_bJoined = true;
    if (m_hooks.abort)
        m_hooks.abort();
    m_cvStaged.notify_all();
    for (std::thread& t : m_threads) {
        if (t.joinable())
            t.join();
    }
    if (m_committer.joinable())
        m_committer.join();
    // Files staged but not committed are removed with their results.
    std::deque<Done> staged, results;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        staged.swap(m_staged);
        results.swap(m_results);
        m_nOutstanding = 0;
    }
}

}  // namespace pellowd
