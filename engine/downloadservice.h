// The download engine's binary interface, shared by the engine (PellowD.dll)
// and the updater. Records cross by address, so their layouts are fixed and
// checked below; interfaces are tables of virtual operations in fixed slots.
#pragma once

#include <cstddef>
#include <vector>

#include "../templates/module.h"

// {B339B588-D328-4482-96DE-C412DD7881EC}
static const GUID IID_IDownLoadServiceSink = {
    0xb339b588, 0xd328, 0x4482, {0x96, 0xde, 0xc4, 0x12, 0xdd, 0x78, 0x81, 0xec}};
const DWORD VER_IDownLoadServiceSink = 0x08010100;

// {E0B37184-6FBE-44AC-A483-ABA6899B33D4}
static const GUID IID_IDownLoadService = {
    0xe0b37184, 0x6fbe, 0x44ac, {0xa4, 0x83, 0xab, 0xa6, 0x89, 0x9b, 0x33, 0xd4}};
const DWORD VER_IDownLoadService = 0x08030100;

// {6B1F0C52-3E4A-4F0B-9C1D-5A7E2B8D4C13}
static const GUID IID_IDownLoadExpect = {
    0x6b1f0c52, 0x3e4a, 0x4f0b, {0x9c, 0x1d, 0x5a, 0x7e, 0x2b, 0x8d, 0x4c, 0x13}};
const DWORD VER_IDownLoadExpect = 0x01000100;

// Command codes passed to DownLoadCommand and reported back in the task.
const int DOWNLOAD_CMD_PLAZA_XML = 2;  // the plaza manifest
const int DOWNLOAD_CMD_FILES = 3;      // installation files, one batch
const int DOWNLOAD_CMD_NOTHING = 4;    // nothing to fetch; no report follows
const int DOWNLOAD_CMD_GAME_XML = 5;   // one game's manifest

// Event code of a finished request; other codes carry nothing the updater uses.
const int DOWNLOAD_EVENT_FINISHED = 3;

// The engine writes each file first into a temporary file of this many
// characters in the target's folder, then moves it over the target. A save
// path fits only when that temporary path fits MAX_PATH too.
const std::size_t DOWNLOAD_TEMP_NAME_LENGTH = 39;

#pragma pack(push, 1)
// One file to fetch. Texts are zero-terminated code page 936 strings; a new
// record is all zero bytes.
struct DownLoadRequest {
    unsigned char bFlag;
    char szFileName[128];
    char szSaveName[260];
    char szSaveDir[260];  // saved as szSaveDir + "\" + szSaveName
    char szUrl[260];
    char szUrlReserve[260];  // tried when szUrl fails
    char szMD5[40];          // expected digest text, or empty
    unsigned char cbPadding1[3];
    int nFileCount;  // size of the batch the request belongs to
    int nFileIndex;  // position in that batch, from 0
    int nParam;
    char szGameName[128];
    unsigned char bForGame;
    unsigned char cbPadding2[3];
};

// The engine's record that comes with every report. The updater reads only
// the command code, the request copy, and the batch size and position; the
// rest belongs to the engine.
struct DownLoadTask {
    unsigned int dwTaskID;    // engine's own numbering of the request
    unsigned int dwAttempts;  // attempts the transfer took
    unsigned int dwResult;    // 0 when the file was saved
    char szLocalPath[240];    // where the file was saved
    int nCommandCode;         // 252
    DownLoadRequest Request;  // 256
    unsigned char cbReserved[1488];
    unsigned int dwBatchCount;  // 3100
    unsigned int dwBatchIndex;  // 3104
};
#pragma pack(pop)

static_assert(sizeof(DownLoadRequest) == 1356, "request record size");
static_assert(offsetof(DownLoadRequest, bFlag) == 0, "bFlag");
static_assert(offsetof(DownLoadRequest, szFileName) == 1, "szFileName");
static_assert(offsetof(DownLoadRequest, szSaveName) == 129, "szSaveName");
static_assert(offsetof(DownLoadRequest, szSaveDir) == 389, "szSaveDir");
static_assert(offsetof(DownLoadRequest, szUrl) == 649, "szUrl");
static_assert(offsetof(DownLoadRequest, szUrlReserve) == 909, "szUrlReserve");
static_assert(offsetof(DownLoadRequest, szMD5) == 1169, "szMD5");
static_assert(offsetof(DownLoadRequest, nFileCount) == 1212, "nFileCount");
static_assert(offsetof(DownLoadRequest, nFileIndex) == 1216, "nFileIndex");
static_assert(offsetof(DownLoadRequest, nParam) == 1220, "nParam");
static_assert(offsetof(DownLoadRequest, szGameName) == 1224, "szGameName");
static_assert(offsetof(DownLoadRequest, bForGame) == 1352, "bForGame");
static_assert(offsetof(DownLoadTask, nCommandCode) == 252, "task command code");
static_assert(offsetof(DownLoadTask, Request) == 256, "task request copy");
static_assert(offsetof(DownLoadTask, Request) + offsetof(DownLoadRequest, szGameName) == 1480,
              "task game name");
static_assert(offsetof(DownLoadTask, Request) + offsetof(DownLoadRequest, bForGame) == 1608,
              "task game flag");
static_assert(offsetof(DownLoadTask, dwBatchCount) == 3100, "task batch size");
static_assert(offsetof(DownLoadTask, dwBatchIndex) == 3104, "task batch position");

typedef std::vector<DownLoadRequest> DownLoadRequestList;

// Implemented by the updater's dialog. The engine holds it as a borrowed
// pointer and never calls its Release. Every call arrives on the thread that
// created the engine.
struct IDownLoadServiceSink : public IUnknownEx {
    // A request finished (event DOWNLOAD_EVENT_FINISHED). The task lives only
    // for the call. The sink may call DownLoadCommand from inside it.
    virtual void OnDownLoadEvent(int nEvent, const DownLoadTask* pTask) = 0;
    // The engine gave up on the run (a file failed on both addresses).
    virtual void OnServiceStop() = 0;
    // The engine is shutting down.
    virtual void OnServiceExit() = 0;

protected:
    ~IDownLoadServiceSink() = default;
};

struct IDownLoadService : public IUnknownEx {
    // True while requests are outstanding.
    virtual bool IsBusy() = 0;
    // pIUnknownEx answers QueryInterface for IID_IDownLoadServiceSink; later
    // reports go to it. False when it does not.
    virtual bool SetDownLoadServiceSink(IUnknownEx* pIUnknownEx) = 0;
    // Copies pFirst and *pOthers (either may be null) before it returns and
    // returns at once; the transfers run later. Safe to call from inside a
    // report. Returns the number of requests accepted (0 for code 4).
    virtual int DownLoadCommand(int nCommandCode, const DownLoadRequest* pFirst,
                                const DownLoadRequestList* pOthers) = 0;

protected:
    ~IDownLoadService() = default;
};

// Offered (through the service's QueryInterface) by an engine that can hold
// a file to more than its MD5 digest: what a signed manifest says of it.
// Called on the thread that created the engine.
struct IDownLoadExpect : public IUnknownEx {
    // The file that a later request saves with this szSaveDir and
    // szSaveName is qwSize bytes long (kDownLoadSizeUnknown: unknown) and
    // has the SHA-256 pszSha256 (64 hexadecimal digits). The engine cuts its
    // transfer past that size and refuses it, before it replaces anything,
    // when its size or SHA-256 differs. False, and nothing kept, for a
    // digest that is not 64 hexadecimal digits. Holds for the next request
    // of that file only.
    virtual bool ExpectFile(const char* pszSaveDir, const char* pszSaveName,
                            unsigned long long qwSize, const char* pszSha256) = 0;

protected:
    ~IDownLoadExpect() = default;
};
const unsigned long long kDownLoadSizeUnknown = ~0ull;

// The updater's binding of the loader to the engine library.
class CDownLoadServiceHelper : public CTempldateHelper<IDownLoadService> {
public:
    CDownLoadServiceHelper()
        : CTempldateHelper<IDownLoadService>(IID_IDownLoadService, VER_IDownLoadService,
                                             "PellowD.dll", "CreateDownLoadService") {}
};
