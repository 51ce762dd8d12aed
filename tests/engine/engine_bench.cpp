// Benchmark host for PellowD.dll (run by bench_engine.py, not a test): loads
// the engine like the updater, sends one batch (command 3) and pumps
// messages until its last report, then prints the wall time of the batch and
// the process's peak working set.
//
//   engine_bench.exe LISTFILE SAVEDIR
//   engine_bench.exe --file-floor BYTES LISTFILE SAVEDIR
//   engine_bench.exe --chunk-scan FILE
//
// LISTFILE: one request per line, "URL<TAB>SAVENAME<TAB>MD5" (MD5 may be
// empty). Output: "files=N ms=T stops=S peak_ws_kib=K" (K is 0 when the
// system would not tell). Exit code 0 when every file came.
//
// --file-floor loads no engine and fetches nothing: on as many threads as the
// engine has workers, it does for every save name only what any engine that
// writes a temporary file beside the target and moves it over the target
// must do (create the temporary file, write BYTES zero bytes, close it,
// MoveFileEx), with no digest and no flush. Under Wine that alone is about
// half the engine's time for many small files, and several times what native
// tools take for the whole work: no change inside the engine can win it back.
//
// --chunk-scan reads FILE as the engine scans an older file for the chunks
// of a new one (256 KiB reads, the chunker, a hash per chunk) and prints
// "bytes=N chunks=C ms=T".
#include <windows.h>

#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "chunks/fastcdc.h"
#include "engine/downloadservice.h"
#include "templates/winhandle.h"

namespace {

class BenchSink : public IDownLoadServiceSink {
public:
    unsigned nReports = 0;
    bool bEnded = false;
    int nStops = 0;

    bool IsValid() override { return true; }
    void Release() override {}
    void* QueryInterface(const GUID& Guid, DWORD dwVer) override {
        if (IsEqualIdentifier(Guid, IID_IDownLoadServiceSink) &&
            InterfaceVersionCompatible(dwVer, VER_IDownLoadServiceSink))
            return static_cast<IDownLoadServiceSink*>(this);
        return nullptr;
    }
    void OnDownLoadEvent(int, const DownLoadTask* pTask) override {
        ++nReports;
        if (pTask->dwBatchIndex + 1 >= pTask->dwBatchCount)
            bEnded = true;
    }
    void OnServiceStop() override { ++nStops; }
    void OnServiceExit() override {}
};

// As many as the engine runs at once.
constexpr unsigned kWorkers = 4;

double MsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER freq, end;
    ::QueryPerformanceFrequency(&freq);
    ::QueryPerformanceCounter(&end);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(freq.QuadPart);
}

// Read after the work: the peak must stay flat however large the files are.
unsigned long long PeakWorkingSetKib() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)))
        return 0;
    return static_cast<unsigned long long>(counters.PeakWorkingSetSize) / 1024;
}

// Returns the number of files in place.
unsigned FileFloor(const std::vector<std::string>& targets, DWORD cbFile) {
    std::vector<char> zeros(cbFile, 0);
    std::atomic<std::size_t> next{0};
    std::atomic<unsigned> nDone{0};
    auto work = [&] {
        const DWORD dwPid = ::GetCurrentProcessId();
        for (std::size_t i; (i = next.fetch_add(1)) < targets.size();) {
            const std::string& strTarget = targets[i];
            const std::string strTemp = strTarget.substr(0, strTarget.rfind('\\') + 1) +
                                        "~PellowD-" + std::to_string(dwPid) + "-" +
                                        std::to_string(i) + ".tmp";
            CFileHandle file(::CreateFileA(strTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file.IsValid())
                continue;
            DWORD cbWritten = 0;
            const BOOL bWritten =
                ::WriteFile(file.Get(), zeros.data(), cbFile, &cbWritten, nullptr) &&
                cbWritten == cbFile;
            if (file.Close() && bWritten &&
                ::MoveFileExA(strTemp.c_str(), strTarget.c_str(), MOVEFILE_REPLACE_EXISTING))
                ++nDone;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < kWorkers; ++t)
        threads.emplace_back(work);
    work();
    for (std::thread& thread : threads)
        thread.join();
    return nDone;
}

int ChunkScan(const char* pszPath) {
    CFileHandle file(::CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) {
        std::fprintf(stderr, "cannot open %s\n", pszPath);
        return 1;
    }
    unsigned long long nChunks = 0;
    chunks::CChunker chunker([&](const chunks::Chunk&) { ++nChunks; }, nullptr);
    std::vector<unsigned char> buffer(256 * 1024);
    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    DWORD cbRead = 0;
    while (::ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &cbRead,
                      nullptr) &&
           cbRead > 0)
        chunker.Feed(buffer.data(), cbRead);
    chunker.Finish();
    const double dMs = MsSince(start);
    file.Reset();
    std::printf("bytes=%llu chunks=%llu ms=%.1f\n",
                static_cast<unsigned long long>(chunker.BytesFed()), nChunks, dMs);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--chunk-scan") == 0)
        return ChunkScan(argv[2]);
    const bool bFloor = argc > 1 && std::strcmp(argv[1], "--file-floor") == 0;
    if (argc < (bFloor ? 5 : 3)) {
        std::fprintf(stderr,
                     "usage: engine_bench LISTFILE SAVEDIR\n"
                     "       engine_bench --file-floor BYTES LISTFILE SAVEDIR\n");
        return 2;
    }
    const DWORD cbFloorFile = bFloor ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) : 0;
    if (bFloor)
        argv += 2;
    DownLoadRequestList requests;
    std::ifstream in(argv[1]);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        std::size_t nTab1 = strLine.find('\t');
        std::size_t nTab2 = strLine.find('\t', nTab1 + 1);
        if (nTab1 == std::string::npos || nTab2 == std::string::npos)
            continue;
        DownLoadRequest r;
        std::memset(&r, 0, sizeof(r));
        r.bFlag = 1;
        std::string strName = strLine.substr(nTab1 + 1, nTab2 - nTab1 - 1);
        std::snprintf(r.szUrl, sizeof(r.szUrl), "%s", strLine.substr(0, nTab1).c_str());
        std::snprintf(r.szSaveName, sizeof(r.szSaveName), "%s", strName.c_str());
        std::snprintf(r.szFileName, sizeof(r.szFileName), "\\%s", strName.c_str());
        std::snprintf(r.szSaveDir, sizeof(r.szSaveDir), "%s", argv[2]);
        std::snprintf(r.szMD5, sizeof(r.szMD5), "%s", strLine.substr(nTab2 + 1).c_str());
        requests.push_back(r);
    }
    if (bFloor) {
        std::vector<std::string> targets;
        for (const DownLoadRequest& r : requests) {
            targets.push_back(std::string(r.szSaveDir) + "\\" + r.szSaveName);
            std::string strFolder = targets.back().substr(0, targets.back().rfind('\\'));
            // Once per folder, as the engine remembers the folders it made.
            if (::GetFileAttributesA(strFolder.c_str()) == INVALID_FILE_ATTRIBUTES)
                ::CreateDirectoryA(strFolder.c_str(), nullptr);
        }
        LARGE_INTEGER start;
        ::QueryPerformanceCounter(&start);
        const unsigned nDone = FileFloor(targets, cbFloorFile);
        const double dMs = MsSince(start);
        std::printf("files=%u ms=%.1f stops=0 peak_ws_kib=%llu\n", nDone, dMs, PeakWorkingSetKib());
        return nDone == targets.size() ? 0 : 1;
    }
    CDownLoadServiceHelper helper;
    if (!helper.CreateInstance()) {
        std::fprintf(stderr, "engine: %s\n", helper.GetErrorDescribe());
        return 1;
    }
    BenchSink sink;
    helper->SetDownLoadServiceSink(&sink);

    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    helper->DownLoadCommand(DOWNLOAD_CMD_FILES, nullptr, &requests);
    MSG msg;
    while (!sink.bEnded && sink.nStops == 0 && ::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    const double dMs = MsSince(start);
    std::printf("files=%u ms=%.1f stops=%d peak_ws_kib=%llu\n", sink.nReports, dMs, sink.nStops,
                PeakWorkingSetKib());
    return sink.bEnded && sink.nReports == requests.size() ? 0 : 1;
}
