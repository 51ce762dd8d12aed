#include "outputfile.h"

#include "files/wholefile.h"

#if defined(_WIN32)
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zivtool {
namespace {

long ProcessId() {
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
    files::Failure failure;
    if (files::WriteWholeFile(path, path + ".tmp" + std::to_string(ProcessId()), bytes, &failure)) {
        return true;
    }
    *error = files::FailureText(failure);
    return false;
}

void SetStdoutBinary() {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace zivtool
