// The library entry of Quorle.dll and its one exported function. The exported
// class CUserTitle is in usertitle.cpp.
#include "quorle.h"

#include "quorlemanager.h"
#include "templates/debugreport.h"

#ifdef _WIN32
// The record pool is a static object of the library: the C runtime's start-up
// builds it before this runs, and tears it down after the detach step.
BOOL WINAPI DllMain(HINSTANCE /*hInstance*/, DWORD dwReason, LPVOID /*lpReserved*/) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        ::OutputDebugStringA("Quorle.DLL 正在初始化！\n");
    } else if (dwReason == DLL_PROCESS_DETACH) {
        ::OutputDebugStringA("Quorle.DLL 正在终止！\n");
    }
    return TRUE;
}
#endif

SUITE_EXPORT void* CreateQuorleManager(const GUID& Guid, DWORD dwInterfaceVer) {
    CQuorleManager* pQuorleManager = nullptr;
    try {
        pQuorleManager = new CQuorleManager();
    } catch (...) {
        SuiteDebugReport("创建失败", __FILE__, __LINE__);
        return nullptr;
    }
    void* pObject = pQuorleManager->QueryInterface(Guid, dwInterfaceVer);
    if (pObject == nullptr) {
        // No object outlives a refused creation. The destructor cannot throw:
        // it only hands an empty table to the pool.
        SuiteDebugReport("接口查询失败", __FILE__, __LINE__);
        delete pQuorleManager;
    }
    return pObject;
}
