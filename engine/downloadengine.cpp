#include "downloadengine.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>

#include "enginecore.h"
#include "enginelog.h"
#include "savepath.h"
#include "wininettransport.h"

namespace pellowd {

namespace {

const char kWindowClass[] = "PellowDEngineWindow";
const UINT kWakeMessage = WM_APP + 0x0101;
const unsigned kWorkers = 4;
const unsigned kAttemptsPerAddress = 2;
const DWORD kDefaultTimeoutMs = 20000;

// Engines alive in this process; the window class is removed with the last
// one, so that a later load of the library at another address registers its
// own window procedure.
LONG g_nEngines = 0;

HINSTANCE ThisModule() {
    HMODULE hModule = nullptr;
    ::GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&ThisModule), &hModule);
    return hModule;
}

// A setting from the environment when it is a number in [nMin, nMax],
// nDefault otherwise. Tests shorten the engine's limits this way.
std::uint64_t Setting(const char* pszName, std::uint64_t nMin, std::uint64_t nMax,
                      std::uint64_t nDefault) {
    char szValue[32] = {};
    DWORD cch = ::GetEnvironmentVariableA(pszName, szValue, sizeof(szValue));
    if (cch == 0 || cch >= sizeof(szValue))
        return nDefault;
    char* pszEnd = nullptr;
    unsigned long long nValue = std::strtoull(szValue, &pszEnd, 10);
    if (pszEnd == szValue || *pszEnd != '\0' || szValue[0] == '-')
        return nDefault;
    return nValue >= nMin && nValue <= nMax ? nValue : nDefault;
}

// PELLOWD_TIMEOUT_MS: WinINet's connect, send and receive timeouts.
DWORD TimeoutMs() {
    return static_cast<DWORD>(Setting("PELLOWD_TIMEOUT_MS", 100, 600000, kDefaultTimeoutMs));
}

// PELLOWD_WINDOW_MS, PELLOWD_MIN_RATE (bytes a second), PELLOWD_DEADLINE_MS.
RateLimits Limits() {
    RateLimits limits;
    limits.nWindowMs =
        static_cast<std::uint32_t>(Setting("PELLOWD_WINDOW_MS", 100, 3600000, limits.nWindowMs));
    limits.nMinBytesPerSecond = static_cast<std::uint32_t>(
        Setting("PELLOWD_MIN_RATE", 1, 100000000, limits.nMinBytesPerSecond));
    limits.nBaseDeadlineMs = static_cast<std::uint32_t>(
        Setting("PELLOWD_DEADLINE_MS", 100, 86400000, limits.nBaseDeadlineMs));
    return limits;
}

// A random number for the temporary names, drawn once per engine: together
// with the process id it keeps them apart from those of any other process,
// also of an earlier one that had the same id.
std::uint32_t Nonce() {
    std::uint32_t nNonce = 0;
    try {
        std::random_device device;
        nNonce = device();
    } catch (...) {
    }
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    return nNonce ^ static_cast<std::uint32_t>(counter.QuadPart) ^
           static_cast<std::uint32_t>(counter.QuadPart >> 32);
}

class CDownLoadService final : public IDownLoadService, public IDownLoadExpect {
public:
    CDownLoadService() : m_log(EngineFolder()), m_aborts(TimeoutMs(), Limits()) {}

    bool Start();

    bool IsValid() override { return true; }
    void Release() override;
    void* QueryInterface(const GUID& Guid, DWORD dwQueryVer) override;
    bool IsBusy() override;
    bool SetDownLoadServiceSink(IUnknownEx* pIUnknownEx) override;
    int DownLoadCommand(int nCommandCode, const DownLoadRequest* pFirst,
                        const DownLoadRequestList* pOthers) override;
    bool ExpectFile(const char* pszSaveDir, const char* pszSaveName, unsigned long long qwSize,
                    const char* pszSha256) override;

private:
    ~CDownLoadService();
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    void OnWake();

    CEngineLog m_log;
    CAbortList m_aborts;
    CFolderMemo m_folders;
    CInternetHandle m_session;
    HWND m_hWnd = nullptr;
    bool m_bCounted = false;
    std::unique_ptr<CEngineCore> m_core;
    int m_nDispatchDepth = 0;
    bool m_bReleased = false;
};

bool CDownLoadService::Start() {
    HINSTANCE hInstance = ThisModule();
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CDownLoadService::WndProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = kWindowClass;
    if (!::RegisterClassExA(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    ::InterlockedIncrement(&g_nEngines);
    m_bCounted = true;

    m_hWnd = ::CreateWindowExA(/*dwExStyle=*/0, kWindowClass, "", /*dwStyle=*/0, 0, 0, 0, 0,
                               HWND_MESSAGE, /*hMenu=*/nullptr, hInstance, /*lpParam=*/nullptr);
    if (m_hWnd == nullptr)
        return false;
    ::SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    m_session = OpenSession(m_aborts.TimeoutMs());
    if (!m_session.IsValid())
        return false;

    // WinINet lets a process keep only a few connections to one server; the
    // workers all talk to the same one.
    DWORD dwConnections = kWorkers * 2;
    ::InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &dwConnections,
                         sizeof(dwConnections));
    ::InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &dwConnections,
                         sizeof(dwConnections));

    HWND hWnd = m_hWnd;
    HINTERNET hSession = m_session.Get();
    CEngineCore::Hooks hooks;
    // Workers only post; the window procedure runs the reports on our thread.
    hooks.wake = [hWnd] { ::PostMessageA(hWnd, kWakeMessage, 0, 0); };
    hooks.log = [this](const std::string& strLine) { m_log.Write(strLine); };
    hooks.abort = [this] { m_aborts.AbortAll(); };
    TransferSettings settings;
    settings.nPerAddress = kAttemptsPerAddress;
    settings.nProcessId = ::GetCurrentProcessId();
    settings.nNonce = Nonce();
    // PELLOWD_MAX_FILE_BYTES: the largest file (manifests have their own bound).
    settings.nMaxFileBytes =
        Setting("PELLOWD_MAX_FILE_BYTES", 1024, UINT64_MAX, kDefaultMaxFileBytes);
    // Each worker keeps one transport for all its transfers (its connection
    // and buffers with it); it goes when the worker ends, before Stop returns.
    CEngineCore::WorkFactory makeWork = [this, hSession, settings]() -> CEngineCore::Work {
        auto transport = std::make_shared<CWinInetTransport>(
            hSession, m_aborts, m_folders,
            [this](const std::string& strLine) { m_log.Write(strLine); });
        return [transport, settings](const TransferJob& job,
                                     const std::function<bool()>& isCancelled) {
            return RunTransfer(job, *transport, settings, isCancelled);
        };
    };
    m_core.reset(new CEngineCore(kWorkers, makeWork, hooks));
    return true;
}

CDownLoadService::~CDownLoadService() {
    // Workers first: they use the session and post to the window.
    if (m_core)
        m_core->Stop();
    m_core.reset();
    if (m_hWnd != nullptr) {
        ::SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, 0);
        ::DestroyWindow(m_hWnd);
    }
    m_session.Reset();
    if (m_bCounted && ::InterlockedDecrement(&g_nEngines) == 0)
        ::UnregisterClassA(kWindowClass, ThisModule());
}

void CDownLoadService::Release() {
    try {
        if (m_bReleased)
            return;
        m_bReleased = true;
        // Stop at once, also when called from inside a report; the object
        // itself goes when the report has unwound.
        if (m_core)
            m_core->Stop();
        if (m_nDispatchDepth == 0)
            delete this;
    } catch (...) {
    }
}

void* CDownLoadService::QueryInterface(const GUID& Guid, DWORD dwQueryVer) {
    if (IsEqualIdentifier(Guid, IID_IDownLoadService) &&
        InterfaceVersionCompatible(dwQueryVer, VER_IDownLoadService)) {
        return static_cast<IDownLoadService*>(this);
    }
    if (IsEqualIdentifier(Guid, IID_IDownLoadExpect) &&
        InterfaceVersionCompatible(dwQueryVer, VER_IDownLoadExpect)) {
        return static_cast<IDownLoadExpect*>(this);
    }
    if (IsEqualIdentifier(Guid, IID_IUnknownEx) &&
        InterfaceVersionCompatible(dwQueryVer, VER_IUnknownEx)) {
        return static_cast<IUnknownEx*>(static_cast<IDownLoadService*>(this));
    }
    return nullptr;
}

bool CDownLoadService::IsBusy() {
    try {
        return m_core && m_core->IsBusy();
    } catch (...) {
        return false;
    }
}

bool CDownLoadService::SetDownLoadServiceSink(IUnknownEx* pIUnknownEx) {
    try {
        if (!m_core)
            return false;
        if (pIUnknownEx == nullptr) {
            m_core->SetSink(nullptr);
            return true;
        }
        auto* pSink = static_cast<IDownLoadServiceSink*>(
            pIUnknownEx->QueryInterface(IID_IDownLoadServiceSink, VER_IDownLoadServiceSink));
        m_core->SetSink(pSink);
        return pSink != nullptr;
    } catch (...) {
        return false;
    }
}

int CDownLoadService::DownLoadCommand(int nCommandCode, const DownLoadRequest* pFirst,
                                      const DownLoadRequestList* pOthers) {
    try {
        if (!m_core || m_bReleased)
            return 0;
        // Known before any transfer of the batch sweeps a folder: a partial
        // file that a queued request wants is kept.
        if (nCommandCode == DOWNLOAD_CMD_FILES) {
            if (pFirst != nullptr)
                m_folders.Want(FieldText(pFirst->szMD5, sizeof(pFirst->szMD5)));
            if (pOthers != nullptr) {
                for (const DownLoadRequest& request : *pOthers)
                    m_folders.Want(FieldText(request.szMD5, sizeof(request.szMD5)));
            }
        }
        return m_core->Command(nCommandCode, pFirst, pOthers);
    } catch (...) {
        m_log.Write("a command could not be queued (out of memory)");
        return 0;
    }
}

bool CDownLoadService::ExpectFile(const char* pszSaveDir, const char* pszSaveName,
                                  unsigned long long qwSize, const char* pszSha256) {
    try {
        if (!m_core || pszSaveDir == nullptr || pszSaveName == nullptr || pszSha256 == nullptr)
            return false;
        std::string strSha256 = pszSha256;
        if (strSha256.size() != 64 ||
            strSha256.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        m_core->Expect(JoinSavePath(pszSaveDir, pszSaveName), qwSize, strSha256);
        return true;
    } catch (...) {
        return false;
    }
}

void CDownLoadService::OnWake() {
    ++m_nDispatchDepth;
    try {
        if (m_core && !m_bReleased)
            m_core->Dispatch();
    } catch (...) {
        // A sink that throws must not take the host's message loop down.
    }
    if (--m_nDispatchDepth == 0 && m_bReleased)
        delete this;
}

LRESULT CALLBACK CDownLoadService::WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == kWakeMessage) {
        auto* pEngine =
            reinterpret_cast<CDownLoadService*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
        if (pEngine != nullptr)
            pEngine->OnWake();
        return 0;
    }
    return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

}  // namespace

IDownLoadService* CreateEngine() {
    CDownLoadService* pEngine = new (std::nothrow) CDownLoadService();
    if (pEngine == nullptr)
        return nullptr;
    bool bStarted = false;
    try {
        bStarted = pEngine->Start();
    } catch (...) {
        bStarted = false;
    }
    if (!bStarted) {
        pEngine->Release();
        return nullptr;
    }
    return pEngine;
}

}  // namespace pellowd
