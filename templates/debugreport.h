// Debug-build reports of caller misuse. The framework's debug assertion lets
// the program go on after reporting, and callers rely on the documented
// failure that follows, so this reports and returns instead of aborting.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#endif

inline void SuiteDebugReport(const char* pszWhat, const char* pszFile, int nLine) {
#ifndef NDEBUG
#ifdef _WIN32
    char szLine[512];
    wsprintfA(szLine, "%s(%d): misuse: %s\n", pszFile, nLine, pszWhat);
    OutputDebugStringA(szLine);
#else
    std::fprintf(stderr, "%s(%d): misuse: %s\n", pszFile, nLine, pszWhat);
#endif
#else
    (void)pszWhat;
    (void)pszFile;
    (void)nLine;
#endif
}

#define SUITE_DEBUG_CHECK(cond)                          \
    do {                                                 \
        if (!(cond))                                     \
            SuiteDebugReport(#cond, __FILE__, __LINE__); \
    } while (0)
