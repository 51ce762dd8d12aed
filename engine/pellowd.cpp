// The exports of PellowD.dll: one creation function, undecorated, that lets
// no exception out (with a static runtime an exception cannot cross the
// library's boundary).
#include "downloadengine.h"

SUITE_EXPORT void* CreateDownLoadService(const GUID& Guid, DWORD dwInterfaceVer) {
    try {
        IDownLoadService* pEngine = pellowd::CreateEngine();
        if (pEngine == nullptr)
            return nullptr;
        void* pInterface = pEngine->QueryInterface(Guid, dwInterfaceVer);
        if (pInterface == nullptr)
            pEngine->Release();
        return pInterface;
    } catch (...) {
        return nullptr;
    }
}
