#include "files/wholefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/wholefile_platform.h"

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

bool Fail(Failure& failure, Failure::Step step, int nError) {
    failure.step = step;
    failure.nError = nError;
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

bool PutOnDisk(const std::string& strTemp, const std::string& strBytes, Failure& failure) {
    CDescriptor file(open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.Get() < 0)
        return Fail(failure, Failure::kOpen, errno);
    // The bytes must be on disk before the name points at them.
    if (!WriteAll(file.Get(), strBytes) || fsync(file.Get()) != 0)
        return Fail(failure, Failure::kWrite, errno);
    return file.Close() || Fail(failure, Failure::kWrite, errno);
}

bool MoveOver(const std::string& strTemp, const std::string& strPath, Failure& failure) {
    return std::rename(strTemp.c_str(), strPath.c_str()) == 0 ||
           Fail(failure, Failure::kMove, errno);
}

void RemoveTemporary(const std::string& strTemp) {
    unlink(strTemp.c_str());
}

ReadResult ReadOpened(const std::string& strPath, std::size_t cbMax, std::string& strBytes,
                      int& nError) noexcept {
    CDescriptor file(open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (file.Get() < 0 || fstat(file.Get(), &info) != 0) {
        nError = errno;
        return ReadResult::kCannotRead;
    }
    // A folder opens too; reading it fails.
    const unsigned long long qwSize =
        S_ISREG(info.st_mode) ? static_cast<unsigned long long>(info.st_size) : 0;
    return ReadPieces(
        qwSize, cbMax, strBytes, nError,
        [&file](char* pBuffer, std::size_t cbBuffer, std::size_t& cbGot, int& nFault) {
            ssize_t nGot;
            do {
                nGot = read(file.Get(), pBuffer, cbBuffer);
            } while (nGot < 0 && errno == EINTR);
            if (nGot < 0) {
                nFault = errno;
                return false;
            }
            cbGot = static_cast<std::size_t>(nGot);
            return true;
        });
}

std::string FailureText(const Failure& failure) {
    return std::strerror(failure.nError);
}

}  // namespace files
