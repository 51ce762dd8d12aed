#include "updater/core/filerule.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

std::string SizeText(std::uint64_t qwSize) {
    char szSize[16];
    std::snprintf(szSize, sizeof(szSize), "%d",
                  static_cast<int>(static_cast<std::uint32_t>(qwSize & 0xFFFFFFFFu)));
    return szSize;
}

namespace {

// Everything of the rule but the digest: true when the size already settles it.
bool DiffersBeforeDigest(const ManifestFileEntry& entry, const std::string& strLocalPath,
                         IFileProbe& probe) {
    if (!probe.Exists(strLocalPath))
        return true;
    std::uint64_t qwSize = 0;
    if (!probe.ReadSize(strLocalPath, qwSize))
        return true;
    return entry.strBytes != SizeText(qwSize);
}

bool DigestDiffers(const ManifestFileEntry& entry, const std::string& strDigest) {
    return entry.strDate != strDigest;
}

}  // namespace

bool FileNeedsUpdate(const ManifestFileEntry& entry, const std::string& strLocalPath,
                     IFileProbe& probe) {
    if (DiffersBeforeDigest(entry, strLocalPath, probe))
        return true;
    return DigestDiffers(entry, probe.Digest(strLocalPath));
}

std::vector<bool> FilesNeedingUpdate(const std::vector<ManifestFileEntry>& entries,
                                     const std::vector<std::string>& localPaths,
                                     IFileProbe& probe) {
    std::vector<bool> needs(entries.size(), false);
    std::vector<std::size_t> toDigest;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (DiffersBeforeDigest(entries[i], localPaths[i], probe)) {
            needs[i] = true;
        } else {
            toDigest.push_back(i);
        }
    }

    std::vector<std::string> digests(toDigest.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstError;
    std::mutex errorLock;
    // Each thread takes the next file still to do, so one large file holds
    // up one thread only.
    auto work = [&] {
        for (;;) {
            const std::size_t k = next.fetch_add(1);
            if (k >= toDigest.size() || failed.load())
                return;
            try {
                digests[k] = probe.Digest(localPaths[toDigest[k]]);
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
        std::min<std::size_t>(std::max(1u, probe.DigestThreads()), toDigest.size());
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

    for (std::size_t k = 0; k < toDigest.size(); ++k)
        needs[toDigest[k]] = DigestDiffers(entries[toDigest[k]], digests[k]);
    return needs;
}
