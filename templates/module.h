// The component convention shared by the suite's libraries: every interface
// derives from IUnknownEx, is named by a 16-byte identifier and carries a
// 32-bit version; a component library exports one creation function by name.
// CTempldateHelper loads such a library and creates its object.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
typedef std::uint32_t DWORD;
typedef int BOOL;
struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
#endif

#ifdef _WIN32
#define SUITE_EXPORT extern "C" __declspec(dllexport)
#else
#define SUITE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

static_assert(sizeof(GUID) == 16, "identifiers are compared as 16 bytes");

// Identifiers are equal only when all 16 bytes are.
inline bool IsEqualIdentifier(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// {5FEEC21E-DBF3-46F0-9F57-D1CD711C46DE}
static const GUID IID_IUnknownEx = {
    0x5feec21e, 0xdbf3, 0x46f0, {0x9f, 0x57, 0xd1, 0xcd, 0x71, 0x1c, 0x46, 0xde}};
const DWORD VER_IUnknownEx = 0x08010100;

// A request R is served by an implementation I when the two highest bytes
// agree and R's third byte is not above I's; the lowest byte is ignored.
// Against 0x08010100: 0x08010000 and 0x080101FF pass, 0x08010200 does not.
inline bool InterfaceVersionCompatible(DWORD dwRequested, DWORD dwImplemented) {
    if ((dwRequested >> 24) != (dwImplemented >> 24))
        return false;
    if (((dwRequested >> 16) & 0xff) != ((dwImplemented >> 16) & 0xff))
        return false;
    return ((dwRequested >> 8) & 0xff) <= ((dwImplemented >> 8) & 0xff);
}

// The base of every interface. The slot order is part of the binary contract.
struct IUnknownEx {
    // True when the object is a live object of its full size. Without the
    // framework's address check, any live non-null object counts as valid.
    virtual bool IsValid() = 0;
    // Destroys the object: no reference count, one call ends it.
    virtual void Release() = 0;
    // The object as the requested interface, or null.
    virtual void* QueryInterface(const GUID& Guid, DWORD dwQueryVer) = 0;

protected:
    // Objects end through Release, never through delete on the interface.
    ~IUnknownEx() = default;
};

// The signature every component library exports under its creation name.
//
// It must not throw. Our Windows binaries link libgcc and libstdc++
// statically, so each DLL and program carries its own unwinder, which knows
// only its own module's frames. An exception thrown inside another such
// library finds no handler there and ends the process (std::terminate) before
// any catch of the caller is looked at. So every function our libraries export
// (the creation functions, Kelmar's and Quorle's exported classes) and every
// interface slot catches everything itself and reports failure as the
// convention says: null, false or 0.
typedef void* (*ModuleCreateProc)(const GUID& Guid, DWORD dwInterfaceVer);

// The loader's operating-system seam: a library by file name and a symbol in it.
namespace module_seam {
#ifdef _WIN32
typedef HMODULE Handle;
inline Handle Load(const char* pszName) {
    return ::LoadLibraryA(pszName);
}
inline void* Symbol(Handle h, const char* pszName) {
    return reinterpret_cast<void*>(::GetProcAddress(h, pszName));
}
inline void Free(Handle h) {
    ::FreeLibrary(h);
}
#else
typedef void* Handle;
inline Handle Load(const char* pszName) {
    return ::dlopen(pszName, RTLD_NOW | RTLD_LOCAL);
}
inline void* Symbol(Handle h, const char* pszName) {
    return ::dlsym(h, pszName);
}
inline void Free(Handle h) {
    ::dlclose(h);
}
#endif
}  // namespace module_seam

// Loads a component library and creates its object through the exported
// creation function. The loader owns both: the object is released, then the
// library freed, by CloseInstance and by the destructor. Used on one thread.
//
// A failed CreateInstance leaves a description (code page 936) in
// m_szDescribe, cut to 127 characters, until the next CloseInstance.
template <typename IModeType>
class CTempldateHelper {
public:
    // Copies both names (cut to 259 and 31 characters); loads nothing yet.
    CTempldateHelper(const GUID& Guid, DWORD dwVersion, const char* pszModuleDll,
                     const char* pszCreateProc)
        : m_pIID(&Guid), m_dwVersion(dwVersion) {
        CopyCut(m_szCreateProc, sizeof(m_szCreateProc), pszCreateProc);
        CopyCut(m_szModuleDllName, sizeof(m_szModuleDllName), pszModuleDll);
    }

    virtual ~CTempldateHelper() { CloseInstance(); }

    CTempldateHelper(const CTempldateHelper&) = delete;
    CTempldateHelper& operator=(const CTempldateHelper&) = delete;

    // True when the object exists afterwards. Any earlier object and library
    // are released first, so a loader can create its object again.
    bool CreateInstance() {
        CloseInstance();
        if (m_szModuleDllName[0] == '\0' || m_szCreateProc[0] == '\0')
            return false;
        try {
            m_hDllInstance = module_seam::Load(m_szModuleDllName);
            if (m_hDllInstance == nullptr) {
                Describe("“%s”模块加载失败", m_szModuleDllName);
                return false;
            }
            ModuleCreateProc pfnCreate = reinterpret_cast<ModuleCreateProc>(
                module_seam::Symbol(m_hDllInstance, m_szCreateProc));
            if (pfnCreate == nullptr) {
                Describe("找不到组件创建函数“%s”", m_szCreateProc);
                return false;
            }
            m_pIInterface = static_cast<IModeType*>(pfnCreate(*m_pIID, m_dwVersion));
            if (m_pIInterface == nullptr) {
                Describe("调用函数“%s”生成对象失败", m_szCreateProc);
                return false;
            }
            // What these handlers can catch: exceptions raised in this module,
            // and a creation function's exception only where both sides share
            // one runtime (natively, or a component and host both linked with
            // -shared-libgcc, as the loader test builds them). A library linked
            // with a static runtime, as all of ours are, ends the process
            // instead (see ModuleCreateProc): the guard is a last line for a
            // shared-runtime component, not a reason for a creation function
            // to throw.
        } catch (const char* pszError) {
            Describe("由于“%s”，组件创建失败", pszError != nullptr ? pszError : "");
            return false;
        } catch (...) {
            Describe("组件创建函数“%s”产生未知异常错误，组件创建失败", m_szCreateProc);
            return false;
        }
        return true;
    }

    // Releases the object, then frees the library. Harmless when empty.
    bool CloseInstance() {
        m_szDescribe[0] = '\0';
        if (m_pIInterface != nullptr) {
            IModeType* pObject = m_pIInterface;
            m_pIInterface = nullptr;
            pObject->Release();
        }
        if (m_hDllInstance != nullptr) {
            module_seam::Free(m_hDllInstance);
            m_hDllInstance = nullptr;
        }
        return true;
    }

    IModeType* GetInterface() const { return m_pIInterface; }
    IModeType* operator->() const { return m_pIInterface; }
    const char* GetErrorDescribe() const { return m_szDescribe; }

protected:
    const GUID* m_pIID;
    DWORD m_dwVersion;
    char m_szCreateProc[32] = {};
    char m_szModuleDllName[260] = {};
    module_seam::Handle m_hDllInstance = nullptr;
    IModeType* m_pIInterface = nullptr;
    char m_szDescribe[128] = {};

private:
    static void CopyCut(char* pszDest, std::size_t cbDest, const char* pszSource) {
        if (pszSource == nullptr)
            pszSource = "";
        std::snprintf(pszDest, cbDest, "%s", pszSource);
    }

    void Describe(const char* pszFormat, const char* pszArg) {
        // snprintf cuts by bytes and may split a double-byte character at the
        // end; the description is for a log, and it stays terminated.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
        std::snprintf(m_szDescribe, sizeof(m_szDescribe), pszFormat, pszArg);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    }
};
