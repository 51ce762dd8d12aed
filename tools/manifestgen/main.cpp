// manifestgen: publishes a release folder as the manifests the updater reads.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "chunks/chunkindex.h"
#include "tools/manifestgen/options.h"
#include "tools/manifestgen/release.h"
#include "tools/manifestgen/signing.h"
#include "tools/manifestgen/textcodec.h"
#include "tools/manifestgen/verify.h"
#include "updater/core/manifesttrust.h"

namespace {

enum ExitCode { kOk = 0, kRefused = 1, kUsage = 2, kIoError = 3 };

std::string Bytes(double dBytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (dBytes >= 1024 && unit < 4) {
        dBytes /= 1024;
        ++unit;
    }
    char szText[32];
    std::snprintf(szText, sizeof(szText), unit == 0 ? "%.0f %s" : "%.1f %s", dBytes, units[unit]);
    return szText;
}

class ProgressLine {
public:
    explicit ProgressLine(bool bShow) : m_bShow(bShow), m_start(Clock::now()), m_last(m_start) {}

    void Update(const ScanProgress& progress) {
        if (!m_bShow)
            return;
        Clock::time_point now = Clock::now();
        bool bDone = progress.qwFilesDone == progress.qwFilesTotal;
        if (!bDone && now - m_last < std::chrono::milliseconds(200))
            return;
        m_last = now;
        double seconds = std::chrono::duration<double>(now - m_start).count();
        double rate = seconds > 0 ? static_cast<double>(progress.qwBytesDone) / seconds : 0;
        std::fprintf(stderr, "\r  files %llu/%llu  %s / %s  %s/s   ",
                     static_cast<unsigned long long>(progress.qwFilesDone),
                     static_cast<unsigned long long>(progress.qwFilesTotal),
                     Bytes(static_cast<double>(progress.qwBytesDone)).c_str(),
                     Bytes(static_cast<double>(progress.qwBytesTotal)).c_str(),
                     Bytes(rate).c_str());
        std::fflush(stderr);
    }
    void Finish() {
        if (m_bShow)
            std::fprintf(stderr, "\n");
    }

private:
    typedef std::chrono::steady_clock Clock;
    bool m_bShow;
    Clock::time_point m_start, m_last;
};

int RunKeygen(const std::string& strName) {
    std::string strError;
    if (!WriteNewKeyPair(strName, strError)) {
        std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
        return kIoError;
    }
    std::fprintf(stderr, "manifestgen: wrote %s.pem and %s.pub\n", strName.c_str(),
                 strName.c_str());
    return kOk;
}

// Signs each manifest in place of its text and adds its .sig to the outputs.
bool SignOutputs(const SigningOptions& signing, const std::string& strOut, bool bQuiet,
                 std::vector<std::pair<std::string, std::string>>& outputs, std::string& strError) {
    kelmar::EcdsaKeyPair keyPair;
    if (!LoadSigningKey(signing.strKeyPath, keyPair, strError))
        return false;
    std::uint64_t qwSequence = signing.qwSequence;
    if (!signing.bSequenceGiven) {
        // One more than anything already published here, so a rollback to
        // an older folder is never signed with a newer number by accident.
        std::vector<std::string> published;
        for (const auto& output : outputs) {
            std::ifstream in(PathFromArgument(strOut + "/" + output.first), std::ios::binary);
            published.emplace_back(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
        }
        qwSequence = HighestSequence(published) + 1;
    }
    std::vector<std::pair<std::string, std::string>> signedOutputs;
    for (const auto& output : outputs) {
        const std::string strText =
            WithSignedAttributes(output.second, output.first, qwSequence, signing.llExpires);
        std::string strSignature;
        if (!kelmar::EcdsaSign(keyPair, strText, strSignature)) {
            strError = "signing " + output.first + " failed";
            return false;
        }
        signedOutputs.emplace_back(output.first, strText);
        signedOutputs.emplace_back(output.first + ".sig", strSignature);
    }
    outputs.swap(signedOutputs);
    if (!bQuiet)
        std::fprintf(stderr, "manifestgen: signed as sequence %llu, expires %s\n",
                     static_cast<unsigned long long>(qwSequence),
                     FormatUtcTime(signing.llExpires).c_str());
    return true;
}

int Publish(const ToolOptions& tool) {
    const std::string& strRelease = tool.strRelease;
    const std::string& strOut = tool.strOut;
    const std::string& strChunkDir = tool.strChunkDir;
    const PublishOptions& options = tool.publish;
    const SigningOptions& signing = tool.signing;
    const bool bQuiet = tool.bQuiet;
    std::string strError;
    std::vector<ReleaseFile> files;
    if (!ListRelease(strRelease, files, strError)) {
        std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
        return kIoError;
    }

    // Refuse before hashing: a release the updater would refuse is not worth reading.
    std::vector<Refusal> refusals;
    PlanManifests(files, options, refusals);
    if (!strChunkDir.empty()) {
        for (const ReleaseFile& file : files) {
            if (chunks::LooksLikeIndexName(file.strRelative))
                refusals.push_back({file.strRelative, "named like a chunk index (.<md5>.cix)"});
        }
    }
    if (!refusals.empty()) {
        for (const Refusal& refusal : refusals)
            std::fprintf(stderr, "manifestgen: refused %s: %s\n", refusal.strFile.c_str(),
                         refusal.strWhy.c_str());
        std::fprintf(stderr, "manifestgen: nothing written; %zu problem(s)\n", refusals.size());
        return kRefused;
    }

    // Indexes are written before the manifests that name their files: a
    // client that sees a new manifest finds the index of each large file.
    std::size_t nIndexes = 0;
    std::uint64_t qwIndexBytes = 0;
    IndexSink onIndex;
    if (!strChunkDir.empty()) {
        onIndex = [&](const ReleaseFile& file, const std::string& strIndex, std::string& strWhy) {
            const std::string strPath = IndexPathFor(strChunkDir, file);
            std::error_code ec;
            std::filesystem::create_directories(PathFromArgument(strPath).parent_path(), ec);
            if (!WriteFileAtomically(strPath, strIndex, strWhy))
                return false;
            ++nIndexes;
            qwIndexBytes += strIndex.size();
            return true;
        };
    }
    ProgressLine progress(!bQuiet && (tool.bForceProgress || isatty(fileno(stderr))));
    bool bOk = DigestRelease(
        strRelease, files, !signing.strKeyPath.empty(),
        [&](const ScanProgress& p) { progress.Update(p); }, strError, onIndex);
    progress.Finish();
    if (!bOk) {
        std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
        return kIoError;
    }

    Manifests manifests = PlanManifests(files, options, refusals);
    std::vector<std::pair<std::string, std::string>> outputs = manifests.games;
    outputs.insert(outputs.begin(), {"LastUpdateFiles.xml", manifests.strPlaza});
    if (!signing.strKeyPath.empty() && !SignOutputs(signing, strOut, bQuiet, outputs, strError)) {
        std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
        return kIoError;
    }
    std::error_code ec;
    std::filesystem::create_directories(PathFromArgument(strOut), ec);
    for (const auto& output : outputs) {
        if (!WriteFileAtomically(strOut + "/" + output.first, output.second, strError)) {
            std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
            return kIoError;
        }
    }
    if (!bQuiet) {
        std::uint64_t qwBytes = 0;
        for (const ReleaseFile& file : files)
            qwBytes += file.qwSize;
        std::fprintf(stderr, "manifestgen: %zu files (%s), %zu game(s) -> %s\n", files.size(),
                     Bytes(static_cast<double>(qwBytes)).c_str(), options.games.size(),
                     strOut.c_str());
        if (!strChunkDir.empty())
            std::fprintf(stderr, "manifestgen: %zu chunk index(es) (%s) -> %s\n", nIndexes,
                         Bytes(static_cast<double>(qwIndexBytes)).c_str(), strChunkDir.c_str());
    }
    return kOk;
}

int Run(int argc, char** argv) {
    ToolOptions options;
    std::string strError;
    if (!ParseToolOptions(std::vector<std::string>(argv + 1, argv + argc),
                          static_cast<std::int64_t>(std::time(nullptr)), ReadConfigFile, options,
                          strError)) {
        std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
        return kUsage;
    }
    if (options.bHelp) {
        std::fputs(kManifestGenHelp, stdout);
        return kOk;
    }
    switch (options.command) {
        case ToolCommand::kKeygen:
            return RunKeygen(options.strKeyName);
        case ToolCommand::kVerify:
            return VerifyRelease(options.verify);
        case ToolCommand::kPublish:
            break;
    }
    return Publish(options);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "manifestgen: %s\n", e.what());
        return kIoError;
    }
}
