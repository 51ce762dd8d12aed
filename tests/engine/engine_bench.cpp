// Benchmark host for PellowD.dll (run by bench_engine.py, not a test): loads
// the engine like the updater, sends one batch (command 3) and pumps
// messages until its last report, then prints the wall time of the batch and
// the process's peak working set.
//
//   engine_bench.exe LISTFILE SAVEDIR
//
// LISTFILE: one request per line, "URL<TAB>SAVENAME<TAB>MD5" (MD5 may be
// empty). Output: "files=N ms=T stops=S peak_ws_kib=K" (K is 0 when the
// system would not tell). Exit code 0 when every file came.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "engine/downloadservice.h"

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: engine_bench LISTFILE SAVEDIR\n");
        return 2;
    }
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
    CDownLoadServiceHelper helper;
    if (!helper.CreateInstance()) {
        std::fprintf(stderr, "engine: %s\n", helper.GetErrorDescribe());
        return 1;
    }
    BenchSink sink;
    helper->SetDownLoadServiceSink(&sink);

    LARGE_INTEGER freq, start, end;
    ::QueryPerformanceFrequency(&freq);
    ::QueryPerformanceCounter(&start);
    helper->DownLoadCommand(DOWNLOAD_CMD_FILES, nullptr, &requests);
    MSG msg;
    while (!sink.bEnded && sink.nStops == 0 && ::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    ::QueryPerformanceCounter(&end);
    double dMs = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                 static_cast<double>(freq.QuadPart);
    // Read after the batch: the peak is what the engine needed for the whole
    // batch, which must stay flat however large the files are.
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    unsigned long long nPeakKib = 0;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)))
        nPeakKib = static_cast<unsigned long long>(counters.PeakWorkingSetSize) / 1024;
    std::printf("files=%u ms=%.1f stops=%d peak_ws_kib=%llu\n", sink.nReports, dMs, sink.nStops,
                nPeakKib);
    return sink.bEnded && sink.nReports == requests.size() ? 0 : 1;
}
