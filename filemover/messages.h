#pragma once
// The texts of the copy log. Support staff search the logs of players' machines for these
// exact bytes, so they never change; the compiler turns them into code page 936.

#include <string>

extern const char kMsgPlazaEnded[];
extern const char kMsgPlazaEndFailed[];
extern const char kMsgCreateFolder[];
extern const char kMsgDeleteFolder[];
extern const char kMsgCopiedAndDeleted[];
extern const char kMsgCopyFailed[];
extern const char kMsgFinallyRemoved[];
extern const char kMsgFinalRemoveFailed[];
extern const char kMsgStartPlaza[];
extern const char kMsgNoCurrentDirectory[];
extern const char kMsgCurrentDirectoryTooLong[];

// printf-style formatting into a string of any length. Throws std::bad_alloc only.
std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
