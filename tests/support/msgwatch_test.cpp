// The watcher must hand back a message box's caption and text byte for byte
// in code page 936, and dismiss the box so the program under test goes on.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "templates/winhandle.h"

namespace {

std::string ExeFolder() {
    char szPath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string path(szPath);
    return path.substr(0, path.find_last_of('\\') + 1);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class Watcher {
public:
    explicit Watcher(const std::string& outFile) {
        std::string cmd =
            "\"" + ExeFolder() + "msgwatch.exe\" \"" + outFile + "\" --timeout-ms 60000";
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        m_bStarted = CreateProcessA(nullptr, &cmd[0], /*lpProcessAttributes=*/nullptr,
                                    /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE,
                                    /*dwCreationFlags=*/0, /*lpEnvironment=*/nullptr,
                                    /*lpCurrentDirectory=*/nullptr, &si, &m_pi) != FALSE;
    }
    ~Watcher() {
        if (!m_bStarted)
            return;
        const CKernelHandle thread(m_pi.hThread), process(m_pi.hProcess);
        TerminateProcess(process.Get(), 0);
        WaitForSingleObject(process.Get(), 5000);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    bool Started() const { return m_bStarted; }

private:
    PROCESS_INFORMATION m_pi = {};
    bool m_bStarted = false;
};

TEST(MessageBoxWatcher, ReadsChineseTextBackByteForByteAndPressesOk) {
    const std::string outFile = ExeFolder() + "msgwatch_test.out";
    DeleteFileA(outFile.c_str());
    Watcher watcher(outFile);
    ASSERT_TRUE(watcher.Started());

    // Blocks until the watcher presses OK: a watcher that never found the box
    // leaves the test to ctest's timeout.
    int nResult = MessageBoxA(nullptr, "GamePlazaInfo.ziv文件不存在！", "Talvex", MB_OK);
    EXPECT_EQ(IDOK, nResult);
    int nSecond = MessageBoxA(nullptr, "更新完成！\tA\\B", "关于 Talvex", MB_OK | MB_ICONERROR);
    EXPECT_EQ(IDOK, nSecond);

    const std::string want =
        "Talvex\tGamePlazaInfo.ziv\xce\xc4\xbc\xfe\xb2\xbb\xb4\xe6\xd4\xda\xa3\xa1\n"
        "\xb9\xd8\xd3\xda Talvex\t\xb8\xfc\xd0\xc2\xcd\xea\xb3\xc9\xa3\xa1\\tA\\\\B\n";
    EXPECT_EQ(want, ReadAll(outFile));
}

TEST(MessageBoxWatcher, RunsWithTheAnsiCodePageOfThePlayersMachines) {
    EXPECT_EQ(936u, GetACP());
}

}  // namespace
