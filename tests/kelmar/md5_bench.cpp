// Throughput of GetFileMD5 beside md5sum on the same file, in one run.
//
//   kelmar_md5_bench FILE [SIZE_MIB]
//
// FILE is created (pseudo-random bytes, SIZE_MIB mebibytes, 1024 by default) unless it
// already has that size. Both hashers read it from the page cache: it is read once before
// timing, and each is timed over several alternating rounds, the best round counting. The digests
// must agree; the exit code is 1 when they do not.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "updater/core/filedigest.h"

namespace {

using Clock = std::chrono::steady_clock;

bool MakeFile(const std::string& path, std::uint64_t size) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == size) {
        return true;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    bool ok = true;
    for (std::uint64_t written = 0; ok && written < size; written += 8 * block.size()) {
        for (std::uint64_t& word : block) {
            state ^= state << 13;  // xorshift64: incompressible enough, and cheap
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        std::size_t bytes =
            static_cast<std::size_t>(std::min<std::uint64_t>(8 * block.size(), size - written));
        ok = std::fwrite(block.data(), 1, bytes, file) == bytes;
    }
    return std::fclose(file) == 0 && ok;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs md5sum on the file; the digest, or "" when it failed.
std::string RunMd5sum(const std::string& path) {
    std::FILE* pipe = popen(("md5sum " + ShellQuote(path)).c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    char line[128] = {};
    bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    int status = pclose(pipe);
    if (!got || status != 0) {
        return "";
    }
    return std::string(line).substr(0, 32);
}

template <typename F>
double Seconds(F&& run, std::string* result) {
    auto start = Clock::now();
    *result = run();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: kelmar_md5_bench FILE [SIZE_MIB]\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::uint64_t mib = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 1024;
    const std::uint64_t size = mib << 20;
    if (size == 0 || !MakeFile(path, size)) {
        std::fprintf(stderr, "kelmar_md5_bench: cannot create %s\n", path.c_str());
        return 1;
    }
    // Rounds alternate between the two, so that load from other programs hits both alike.
    const int rounds = 5;
    std::string reference;
    std::string ours;
    RunMd5sum(path);  // brings the file into the page cache
    double md5sumSeconds = 1e30;
    double oursSeconds = 1e30;
    for (int i = 0; i < rounds; ++i) {
        md5sumSeconds =
            std::min(md5sumSeconds, Seconds([&] { return RunMd5sum(path); }, &reference));
        oursSeconds =
            std::min(oursSeconds, Seconds([&] { return talvex::GetFileMD5(path.c_str()); }, &ours));
    }

    const double mibs = static_cast<double>(size) / (1 << 20);
    std::printf("file           %s (%.0f MiB), best of %d rounds each\n", path.c_str(), mibs,
                rounds);
    std::printf("md5sum         %s  %7.3f s  %8.1f MiB/s\n", reference.c_str(), md5sumSeconds,
                mibs / md5sumSeconds);
    std::printf("GetFileMD5     %s  %7.3f s  %8.1f MiB/s\n", ours.c_str(), oursSeconds,
                mibs / oursSeconds);
    std::printf("ratio          %.3f of md5sum's throughput (goal >= 0.9)\n",
                md5sumSeconds / oursSeconds);
    if (reference.empty() || ours != reference) {
        std::printf("digests differ\n");
        return 1;
    }
    return 0;
}
