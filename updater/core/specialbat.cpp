#include "updater/core/specialbat.h"

#include <cstring>

std::vector<std::string> SpecialCopyBatTexts(const std::vector<NeedUpdateFile>& files) {
    std::vector<std::string> texts;
    // Two echo requests: about a second for the updater to end first.
    texts.push_back("@ping 127.0.0.1 -n 2 >nul\r\n");
    for (const NeedUpdateFile& file : files) {
        if (file.isSpecial == 0)
            continue;
        const std::string strName(file.fileName, strnlen(file.fileName, sizeof(file.fileName)));
        // "echo f" answers xcopy's question whether the target is a file.
        texts.push_back("echo f | xcopy \"%~dp0DownLoad\\Special" + strName + "\" \"%~dp0" +
                        strName + "\" /s /h /c /y\r\n");
    }
    texts.push_back(
        "del \"%~dp0DownLoad\\Special\" /s /q\r\n rd \"%~dp0DownLoad\\Special\" /s /q\r\n");
    texts.push_back("Start \"\" \"%~dp0ZIVGame.exe\" -u\r\n");
    texts.push_back("del /f %0\r\n");
    return texts;
}
