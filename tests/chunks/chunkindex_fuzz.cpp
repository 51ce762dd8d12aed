// libFuzzer target for chunk indexes as the engine reads them: any bytes
// served as the index of a known file must end in a fallback or in exactly
// that file, never in a crash, a hang or another file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/chunkreuse.h"
#include "kelmar/md5.h"

namespace {

using pellowd::Failure;
using pellowd::IChunkIo;

// The release file: 40 KiB of a fixed sequence; the local copy differs in a
// few bytes, so that a plan copies some chunks and fetches others.
struct Files {
    std::vector<unsigned char> release, local;
    std::string strMD5;
    Files() : release(40 * 1024) {
        std::uint32_t x = 12345;
        for (unsigned char& b : release) {
            x = x * 1103515245u + 12345u;
            b = static_cast<unsigned char>(x >> 24);
        }
        local = release;
        local[20000] ^= 0x55;
        MD5 md5;
        md5.update(release.data(), static_cast<unsigned int>(release.size()));
        strMD5 = md5.toString();
    }
};

class FuzzIo : public IChunkIo {
public:
    FuzzIo(const Files& files, const std::uint8_t* pIndex, std::size_t cbIndex)
        : m_files(files), m_pIndex(pIndex), m_cbIndex(cbIndex) {}
    std::vector<unsigned char> written;

    Failure GetRange(Resource eWhat, std::uint64_t nFirst, std::uint64_t nLength,
                     std::uint64_t* pnTotal, const Sink& sink, std::string* pstrWhy) override {
        const unsigned char* p = eWhat == Resource::kIndex ? m_pIndex : m_files.release.data();
        const std::uint64_t cb = eWhat == Resource::kIndex ? m_cbIndex : m_files.release.size();
        if (nFirst >= cb) {
            *pstrWhy = "416";
            return Failure::kServer;
        }
        if (nLength > cb - nFirst) {
            if (eWhat == Resource::kFile) {
                *pstrWhy = "416";
                return Failure::kServer;
            }
            nLength = cb - nFirst;
        }
        *pnTotal = cb;
        return sink(p + nFirst, static_cast<std::size_t>(nLength), pstrWhy) ? Failure::kNone
                                                                            : Failure::kLocal;
    }
    std::uint32_t SourceCount() override { return 1; }
    bool ReadSource(std::uint32_t, std::uint64_t nOffset, unsigned char* p, std::size_t cb,
                    std::size_t* pcbRead, std::string*) override {
        const std::vector<unsigned char>& local = m_files.local;
        *pcbRead =
            nOffset >= local.size()
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(cb, local.size() - nOffset));
        std::memcpy(p, local.data() + nOffset, *pcbRead);
        return true;
    }
    bool Reserve(std::uint64_t, std::string*) override { return true; }
    bool Write(const unsigned char* p, std::size_t cb, std::string* pstrWhy) override {
        written.insert(written.end(), p, p + cb);
        if (written.size() <= m_files.release.size())
            return true;
        *pstrWhy = "written past the file";
        return false;
    }
    bool Cancelled() override { return false; }

private:
    const Files& m_files;
    const std::uint8_t* m_pIndex;
    std::size_t m_cbIndex;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Files files;
    FuzzIo io(files, data, size);
    std::string strWhy;
    const Failure eFailure =
        pellowd::RebuildFromChunks(io, files.strMD5, 1ull << 32, nullptr, &strWhy);
    if (eFailure == Failure::kNone && io.written != files.release)
        std::abort();
    if (eFailure != Failure::kNone && strWhy.empty())
        std::abort();
    return 0;
}
