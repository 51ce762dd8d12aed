// A small component library for the loader's tests. Which creation function
// it exports, and how that function misbehaves, is chosen at compile time
// with COMPONENT_KIND:
//   1 returns a real object       2 returns null
//   3 throws a text pointer       4 throws an int
//   5 exports no creation function
// Each event (object created, object released, library unloaded) is appended
// to the file named by SUITE_COMPONENT_EVENTS, so a test can see the order.
#include "templates/module.h"

#include <cstdio>
#include <cstdlib>

namespace {

void RecordEvent(const char* pszEvent) {
    const char* pszPath = std::getenv("SUITE_COMPONENT_EVENTS");
    if (pszPath == nullptr)
        return;
    if (FILE* pFile = std::fopen(pszPath, "ab")) {
        std::fprintf(pFile, "%s\n", pszEvent);
        std::fclose(pFile);
    }
}

// {0F2B7A10-3C44-4E5D-9A61-7B8C9D0E1F20}
const GUID IID_ITestThing = {
    0x0f2b7a10, 0x3c44, 0x4e5d, {0x9a, 0x61, 0x7b, 0x8c, 0x9d, 0x0e, 0x1f, 0x20}};
const DWORD VER_ITestThing = 0x08010100;

class CTestThing : public IUnknownEx {
public:
    CTestThing() { RecordEvent("create"); }
    virtual ~CTestThing() { RecordEvent("release"); }
    bool IsValid() override { return true; }
    void Release() override { delete this; }
    void* QueryInterface(const GUID& Guid, DWORD dwQueryVer) override {
        if ((IsEqualIdentifier(Guid, IID_ITestThing) || IsEqualIdentifier(Guid, IID_IUnknownEx)) &&
            InterfaceVersionCompatible(dwQueryVer, VER_ITestThing))
            return static_cast<IUnknownEx*>(this);
        return nullptr;
    }
};

struct UnloadRecorder {
    ~UnloadRecorder() { RecordEvent("unload"); }
} g_unloadRecorder;

}  // namespace

#if COMPONENT_KIND != 5
SUITE_EXPORT void* CreateTestThing(const GUID& Guid, DWORD dwInterfaceVer) {
#if COMPONENT_KIND == 1
    CTestThing* pThing = new CTestThing;
    void* pInterface = pThing->QueryInterface(Guid, dwInterfaceVer);
    if (pInterface == nullptr)
        pThing->Release();
    return pInterface;
#elif COMPONENT_KIND == 2
    (void)Guid;
    (void)dwInterfaceVer;
    return nullptr;
#elif COMPONENT_KIND == 3
    (void)Guid;
    (void)dwInterfaceVer;
    throw "磁盘已满";
#elif COMPONENT_KIND == 4
    (void)Guid;
    (void)dwInterfaceVer;
    throw 42;
#endif
}
#endif
