#include "kelmar/xorencrypt.h"

#include <mutex>
#include <string>

#include "kelmar/zivformat.h"

namespace {

std::mutex g_textMutex;
std::string g_text;  // the text of the last call; guarded by g_textMutex
char g_emptyText[1] = {'\0'};

}  // namespace

char* CXOREncrypt::ChangeToXmlStr(const char* pszFilePath) {
    try {
        std::string text;
        if (kelmar::DecodeZivFile(pszFilePath, &text) != kelmar::kZivOk || text.empty()) {
            std::lock_guard<std::mutex> lock(g_textMutex);
            std::string().swap(g_text);
            return g_emptyText;
        }
        std::lock_guard<std::mutex> lock(g_textMutex);
        g_text.swap(text);
        return &g_text[0];
    } catch (...) {
        return g_emptyText;
    }
}
