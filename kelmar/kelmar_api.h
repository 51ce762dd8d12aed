// Export control for the common service library.
//
// The classes of the library are compiled into two kinds of binaries:
//  - KelmarD.dll (Windows): built with KELMAR_BUILD_DLL, so the classes are exported;
//    programs that link its import library get KELMAR_USE_DLL and import them.
//  - static libraries (kelmar_md5 on both toolchains, KelmarD natively): neither macro is
//    defined and the classes are ordinary ones.
#pragma once

#if defined(_WIN32) && defined(KELMAR_BUILD_DLL)
#define KELMAR_API __declspec(dllexport)
#elif defined(_WIN32) && defined(KELMAR_USE_DLL)
#define KELMAR_API __declspec(dllimport)
#else
#define KELMAR_API
#endif
