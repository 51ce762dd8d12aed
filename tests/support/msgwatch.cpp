// msgwatch: records every message box that appears on the desktop and
// dismisses it with OK, so a scenario can assert exactly what a user saw.
//
//   msgwatch.exe OUTFILE [--timeout-ms N] [--count N]
//
// Each message box becomes one line of OUTFILE: caption, a TAB, the text,
// then "\n"; the bytes are those of the ANSI code page (936 on the players'
// machines). A backslash, a TAB or a line end inside a text is written as
// "\\", "\t" or "\n". The file is opened, appended and closed per box, so a
// watcher that is killed loses nothing it had seen. It ends after N boxes, after
// the timeout (default 300 s), or when killed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

// A message box is a dialog-class window with the static text control 0xFFFF.
const int kMessageTextId = 0xFFFF;

struct Found {
    std::set<HWND> boxes;
};

BOOL CALLBACK CollectBoxes(HWND hwnd, LPARAM lParam) {
    char szClass[16] = {};
    GetClassNameA(hwnd, szClass, sizeof(szClass));
    if (std::strcmp(szClass, "#32770") != 0)
        return TRUE;
    if (!IsWindowVisible(hwnd))
        return TRUE;
    if (GetDlgItem(hwnd, kMessageTextId) == nullptr)
        return TRUE;
    reinterpret_cast<Found*>(lParam)->boxes.insert(hwnd);
    return TRUE;
}

std::string WindowText(HWND hwnd) {
    int nLength = GetWindowTextLengthA(hwnd);
    std::string text(static_cast<std::size_t>(nLength) + 1, '\0');
    int nGot = GetWindowTextA(hwnd, &text[0], nLength + 1);
    text.resize(nGot > 0 ? static_cast<std::size_t>(nGot) : 0);
    return text;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            // MessageBox shows "\r\n" as one line break; keep one marker.
        } else {
            out += c;
        }
    }
    return out;
}

bool AppendRecord(const char* pszPath, const std::string& line) {
    FILE* pFile = std::fopen(pszPath, "ab");
    if (pFile == nullptr)
        return false;
    bool bOk = std::fwrite(line.data(), 1, line.size(), pFile) == line.size();
    bOk = std::fclose(pFile) == 0 && bOk;
    return bOk;
}

void PressOk(HWND hwndBox) {
    HWND hwndOk = GetDlgItem(hwndBox, IDOK);
    if (hwndOk == nullptr)
        hwndOk = GetDlgItem(hwndBox, IDCANCEL);
    WORD wId = static_cast<WORD>(hwndOk != nullptr ? GetDlgCtrlID(hwndOk) : IDOK);
    // Posted, not sent: the box's owner may be busy and must not block us.
    PostMessageA(hwndBox, WM_COMMAND, MAKEWPARAM(wId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(hwndOk));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: msgwatch OUTFILE [--timeout-ms N] [--count N]\n");
        return argc < 2 ? 2 : 0;
    }
    const char* pszOut = argv[1];
    DWORD dwTimeout = 300000;
    long lCountLimit = -1;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--timeout-ms") == 0) {
            dwTimeout = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (std::strcmp(argv[i], "--count") == 0) {
            lCountLimit = std::strtol(argv[i + 1], nullptr, 10);
        } else {
            std::fprintf(stderr, "msgwatch: unknown option %s\n", argv[i]);
            return 2;
        }
    }

    std::set<HWND> handled;
    long lCount = 0;
    const DWORD dwStart = GetTickCount();
    while (GetTickCount() - dwStart < dwTimeout) {
        Found found;
        EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&found));
        // Forget boxes that are gone so a reused handle counts as a new box.
        for (auto it = handled.begin(); it != handled.end();) {
            it = found.boxes.count(*it) != 0 ? std::next(it) : handled.erase(it);
        }
        for (HWND hwnd : found.boxes) {
            if (handled.count(hwnd) != 0)
                continue;
            std::string caption = WindowText(hwnd);
            std::string text = WindowText(GetDlgItem(hwnd, kMessageTextId));
            if (!AppendRecord(pszOut, Escape(caption) + "\t" + Escape(text) + "\n")) {
                std::fprintf(stderr, "msgwatch: cannot write %s\n", pszOut);
                return 1;
            }
            handled.insert(hwnd);
            PressOk(hwnd);
            ++lCount;
        }
        if (lCountLimit >= 0 && lCount >= lCountLimit)
            return 0;
        Sleep(30);
    }
    return 0;
}
