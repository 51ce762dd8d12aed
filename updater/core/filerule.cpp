#include "updater/core/filerule.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

namespace {

// Digests are hexadecimal: "AB12" and "ab12" are one digest. The local one
// is " " when the file cannot be opened, which equals no manifest digest.
bool SameDigest(const std::string& strA, const std::string& strB) {
    if (strA.size() != strB.size())
        return false;
    for (std::size_t i = 0; i < strA.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(strA[i])) !=
            std::tolower(static_cast<unsigned char>(strB[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string SizeText(std::uint64_t qwSize) {
    char szSize[16];
    std::snprintf(szSize, sizeof(szSize), "%d",
                  static_cast<int>(static_cast<std::uint32_t>(qwSize & 0xFFFFFFFFu)));
    return szSize;
}

bool FileNeedsUpdate(const ManifestFileEntry& entry, const std::string& strLocalPath,
                     IFileProbe& probe) {
    if (!probe.Exists(strLocalPath))
        return true;
    std::uint64_t qwSize = 0;
    if (!probe.ReadSize(strLocalPath, qwSize))
        return true;
    if (entry.strBytes != SizeText(qwSize))
        return true;
    return !SameDigest(entry.strDate, probe.Digest(strLocalPath));
}

std::vector<bool> FilesNeedingUpdate(const std::vector<ManifestFileEntry>& entries,
                                     const std::vector<std::string>& localPaths,
                                     IFileProbe& probe) {
    // Not std::vector<bool>: its elements share bytes, and threads write them.
    std::vector<char> needs(entries.size(), 0);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstError;
    std::mutex errorLock;
    // Each thread takes the next entry still to do, so one large file holds
    // up one thread only.
    auto work = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= entries.size() || failed.load())
                return;
            try {
                needs[i] = FileNeedsUpdate(entries[i], localPaths[i], probe) ? 1 : 0;
            } catch (...) {
                std::lock_guard<std::mutex> lock(errorLock);
                if (!firstError)
                    firstError = std::current_exception();
                failed.store(true);
                return;
            }
        }
    };
    const std::size_t nThreads =
        std::min<std::size_t>(std::max(1u, probe.ConcurrentFiles()), entries.size());
    std::vector<std::thread> helpers;
    try {
        for (std::size_t t = 1; t < nThreads; ++t)
            helpers.emplace_back(work);
    } catch (...) {
        // No thread to be had: the threads already running and this one do it all.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    if (firstError)
        std::rethrow_exception(firstError);
    return std::vector<bool>(needs.begin(), needs.end());
}
