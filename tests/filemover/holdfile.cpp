// holdfile.exe PATH [--share-read]: opens PATH without sharing, so that nobody else can read,
// write or delete it (with --share-read others may read it, but still neither write nor delete
// it), writes "held" to standard output, and keeps the file until a line arrives on standard
// input or the input ends; then it closes the file and writes "released". The test driver
// thus decides the moment of release itself and needs no waiting of its own.
//
// Exit codes: 0 after the release, 2 when PATH cannot be opened, 1 on wrong usage.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "templates/winhandle.h"

int main(int argc, char** argv) {
    const bool bShareRead = argc == 3 && std::strcmp(argv[2], "--share-read") == 0;
    if (argc != 2 && !bShareRead) {
        std::fputs("usage: holdfile PATH [--share-read]\n", stderr);
        return 1;
    }
    const DWORD dwShareMode = bShareRead ? FILE_SHARE_READ : 0;
    CFileHandle file(::CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, dwShareMode,
                                   /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    if (!file.IsValid()) {
        std::fprintf(stderr, "holdfile: cannot open %s (error %lu)\n", argv[1],
                     static_cast<unsigned long>(::GetLastError()));
        return 2;
    }
    std::fputs("held\n", stdout);
    std::fflush(stdout);

    char szLine[64];
    std::fgets(szLine, sizeof(szLine), stdin);  // a line or the end of input: both release

    file.Reset();
    std::fputs("released\n", stdout);
    std::fflush(stdout);
    return 0;
}
