#include "filemover/messages.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

const char kMsgPlazaEnded[] = "存在ZIVGame.exe进程,成功删除该进程!";
const char kMsgPlazaEndFailed[] = "存在ZIVGame.exe进程,删除进程失败!";
const char kMsgCreateFolder[] = "创建%s目录";
const char kMsgDeleteFolder[] = "删除文件夹%s %d";
// The ASCII comma before 并且 is historical: log readers match on it.
const char kMsgCopiedAndDeleted[] =
    "成功拷贝文件 %d,strFilePath:%s --- strNewFilePath:%s,并且成功删除文件";
const char kMsgCopyFailed[] = "拷贝文件失败 %d,strFilePath:%s --- strNewFilePath:%s";
const char kMsgFinallyRemoved[] = "最后成功删除文件夹%s %d";
const char kMsgFinalRemoveFailed[] = "最后删除文件夹失败%s %d";
const char kMsgStartPlaza[] = "启动游戏客户端";
const char kMsgNoCurrentDirectory[] = "无法取得当前目录,不移动文件也不启动游戏客户端";
const char kMsgCurrentDirectoryTooLong[] = "当前目录过长,不移动文件也不启动游戏客户端:%s";

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int nLength = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (nLength > 0) {
        std::vector<char> buffer(static_cast<size_t>(nLength) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), static_cast<size_t>(nLength));
    }
    va_end(args);
    return text;
}
