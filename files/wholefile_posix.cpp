#include "files/wholefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace files {
namespace {

// Closes on every way out of a read; a write checks its close itself.
class CDescriptor {
public:
    explicit CDescriptor(int fd) : m_fd(fd) {}
    ~CDescriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    int Get() const { return m_fd; }
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return close(fd) == 0;
    }

private:
    int m_fd;
};

bool Fail(Failure* pFailure, Failure::Step step, int nError) {
    if (pFailure != nullptr) {
        pFailure->step = step;
        pFailure->nError = nError;
    }
    return false;
}

bool WriteAll(int fd, const std::string& strBytes) {
    for (std::size_t nAt = 0; nAt < strBytes.size();) {
        const ssize_t nWritten = write(fd, strBytes.data() + nAt, strBytes.size() - nAt);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
            return false;
        nAt += static_cast<std::size_t>(nWritten);
    }
    return true;
}

}  // namespace

bool WriteWholeFile(const std::string& strPath, const std::string& strTemp,
                    const std::string& strBytes, Failure* pFailure) {
    CDescriptor file(open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.Get() < 0)
        return Fail(pFailure, Failure::kOpen, errno);
    // The bytes must be on disk before the name points at them.
    bool bOk = WriteAll(file.Get(), strBytes) && fsync(file.Get()) == 0;
    int nError = errno;
    if (!file.Close() && bOk) {
        bOk = false;
        nError = errno;
    }
    if (!bOk) {
        unlink(strTemp.c_str());
        return Fail(pFailure, Failure::kWrite, nError);
    }
    if (std::rename(strTemp.c_str(), strPath.c_str()) != 0) {
        nError = errno;
        unlink(strTemp.c_str());
        return Fail(pFailure, Failure::kMove, nError);
    }
    return true;
}

ReadResult ReadWholeFile(const std::string& strPath, std::size_t cbMax, std::string& strBytes,
                         int* pnError) noexcept {
    strBytes.clear();
    int nIgnored = 0;
    int& nError = pnError != nullptr ? *pnError : nIgnored;
    nError = 0;
    CDescriptor file(open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (file.Get() < 0 || fstat(file.Get(), &info) != 0) {
        nError = errno;
        return ReadResult::kCannotRead;
    }
    // The size is only a first answer: the file may grow while it is read.
    // (A folder opens too; reading it fails below.)
    if (S_ISREG(info.st_mode) && static_cast<unsigned long long>(info.st_size) > cbMax)
        return ReadResult::kTooLarge;
    try {
        std::string strRead;
        char buffer[16384];
        for (;;) {
            const ssize_t nGot = read(file.Get(), buffer, sizeof(buffer));
            if (nGot < 0 && errno == EINTR)
                continue;
            if (nGot < 0) {
                nError = errno;
                return ReadResult::kCannotRead;
            }
            if (nGot == 0)
                break;
            if (static_cast<std::size_t>(nGot) > cbMax - strRead.size())
                return ReadResult::kTooLarge;
            strRead.append(buffer, static_cast<std::size_t>(nGot));
        }
        strBytes.swap(strRead);
        return ReadResult::kOk;
    } catch (const std::bad_alloc&) {
        return ReadResult::kNoMemory;
    }
}

std::string FailureText(const Failure& failure) {
    return std::strerror(failure.nError);
}

}  // namespace files
