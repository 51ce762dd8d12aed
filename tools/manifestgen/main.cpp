// manifestgen: publishes a release folder as the manifests the updater reads.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstring>
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
#include "tools/manifestgen/release.h"
#include "tools/manifestgen/signing.h"
#include "tools/manifestgen/textcodec.h"
#include "tools/manifestgen/verify.h"
#include "updater/core/manifesttrust.h"

namespace {

enum ExitCode { kOk = 0, kRefused = 1, kUsage = 2, kIoError = 3 };

const char kHelp[] =
    "usage: manifestgen --release DIR --out DIR [options]\n"
    "       manifestgen keygen --out NAME\n"
    "       manifestgen verify --server URL --xml-path PATH --client-path PATH [--key NAME.pub]\n"
    "\n"
    "Scans the release folder DIR (the files exactly as they must stand in a plaza\n"
    "installation) and writes the manifests the updater reads into the output folder:\n"
    "  LastUpdateFiles.xml         every file that belongs to no game, then the games\n"
    "  <game>_UpdateFiles.xml      each game's own files\n"
    "Each file is listed with its name (\\sub\\x.dll), MD5 digest and size, and in a\n"
    "signed release its SHA-256. Manifests are written in code page 936 and replaced\n"
    "in one step.\n"
    "\n"
    "options:\n"
    "  --special PATTERN   files matching PATTERN are special: the plaza holds them\n"
    "                      open, so they are replaced after it has ended (repeatable)\n"
    "  --game NAME[:PATTERN,...]\n"
    "                      a game; its files are those matching the patterns, by\n"
    "                      default NAME.exe and NAME/** (repeatable)\n"
    "  --config FILE       read options from FILE: lines 'special = PATTERN' and\n"
    "                      'game = NAME[:PATTERN,...]'; '#' starts a comment\n"
    "  --sign-key KEY.pem  sign every manifest: its root carries its own name,\n"
    "                      sequence and expires, and <manifest>.sig beside it\n"
    "                      holds the ECDSA P-256 signature of its exact bytes\n"
    "  --sequence N        the release's sequence (default: one more than the highest\n"
    "                      already published in the output folder)\n"
    "  --expires WHEN      30d, 12h or 2027-01-31T08:00:00Z (default 30d; at most\n"
    "                      90 days ahead, since the updater refuses more)\n"
    "  --chunk-index DIR   write a chunk index for every file of at least 1 MiB into\n"
    "                      DIR, the folder served as the clients' files, at the\n"
    "                      file's name plus .<md5>.cix: the engine then fetches only\n"
    "                      the parts of a large file that changed, from any older\n"
    "                      release. Indexes are named by content: cache them for ever.\n"
    "                      A release file named like an index is refused\n"
    "  --progress          show progress even when stderr is not a terminal\n"
    "  --quiet             no progress and no summary\n"
    "  --help              this text\n"
    "\n"
    "Patterns are relative to the release folder with '/' between folders; '*' and '?'\n"
    "stay within a folder, '**' spans folders; letter case is ignored.\n"
    "\n"
    "The release is refused, and nothing is written, when the updater would refuse a\n"
    "name: longer than 127 bytes, a '..' step, a reserved character, anything in\n"
    "DownLoad\\ or SpecialCpy.bat (the updater's own), or a special file whose name\n"
    "holds \" % ^ & | < or >.\n"
    "\n"
    "keygen writes NAME.pem (the private key, keep it off the server) and NAME.pub (the\n"
    "line for updatePublicKey in the plaza information file). Make a second pair, keep\n"
    "it offline, and put its .pub line in updatePublicKey2: the updater accepts a\n"
    "manifest signed by either key and keeps each key's sequences apart, so a key\n"
    "that is stolen and signs far ahead cannot lock the other out.\n"
    "To change keys (rotation): make the new pair, then publish a release whose\n"
    "GamePlazaInfo.ziv names the new key, signed with the old key (or with the offline\n"
    "one, if the old key was stolen), which the installations still trust; once they\n"
    "have taken it, publish with the new key. A GamePlazaInfo.ziv that names no key\n"
    "is refused by an updater that has one.\n"
    "\n"
    "verify fetches the published manifests and every file they list, as the updater\n"
    "names them (URL holds one %s, as updateGameUrl does), and reports every file that\n"
    "is missing or differs, and any manifest whose signature or expiry fails.\n"
    "\n"
    "exit codes: 0 published (verify: everything matches), 1 release refused (verify:\n"
    "a difference found), 2 usage error, 3 read or write error\n";

bool ParseGame(const std::string& strSpec, GameRule& game, std::string& strError) {
    std::string::size_type colon = strSpec.find(':');
    std::string strName = strSpec.substr(0, colon);
    if (!ArgumentToCp936(strName, game.strName)) {
        strError = "game name has no code page 936 form: " + strName;
        return false;
    }
    game.patterns.clear();
    if (colon == std::string::npos) {
        game.patterns.push_back(strName + ".exe");
        game.patterns.push_back(strName + "/**");
        return true;
    }
    std::string strList = strSpec.substr(colon + 1);
    std::string::size_type start = 0;
    while (start <= strList.size()) {
        std::string::size_type comma = strList.find(',', start);
        std::string pattern = strList.substr(start, comma - start);
        if (!pattern.empty())
            game.patterns.push_back(pattern);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (game.patterns.empty()) {
        strError = "game without patterns: " + strSpec;
        return false;
    }
    return true;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool ReadConfig(const std::string& strPath, PublishOptions& options, std::string& strError) {
    std::ifstream in(PathFromArgument(strPath));
    if (!in) {
        strError = strPath + ": cannot be read";
        return false;
    }
    std::string line;
    int nLine = 0;
    while (std::getline(in, line)) {
        ++nLine;
        std::string::size_type hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = Trim(line);
        if (line.empty())
            continue;
        std::string::size_type eq = line.find('=');
        std::string key = eq == std::string::npos ? line : Trim(line.substr(0, eq));
        std::string value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        if (key == "special" && !value.empty()) {
            options.specialPatterns.push_back(value);
        } else if (key == "game" && !value.empty()) {
            GameRule game;
            if (!ParseGame(value, game, strError))
                return false;
            options.games.push_back(game);
        } else {
            strError = strPath + ":" + std::to_string(nLine) +
                       ": expected 'special = PATTERN' or 'game = NAME[:PATTERNS]'";
            return false;
        }
    }
    return true;
}

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

int RunKeygen(int argc, char** argv) {
    std::string strName;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            strName = argv[++i];
        } else if (arg == "--help") {
            std::fputs(kHelp, stdout);
            return kOk;
        } else {
            std::fprintf(stderr, "manifestgen: keygen takes --out NAME only (see --help)\n");
            return kUsage;
        }
    }
    if (strName.empty()) {
        std::fprintf(stderr, "manifestgen: keygen needs --out NAME (see --help)\n");
        return kUsage;
    }
    std::string strError;
    if (!WriteNewKeyPair(strName, strError)) {
        std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
        return kIoError;
    }
    std::fprintf(stderr, "manifestgen: wrote %s.pem and %s.pub\n", strName.c_str(),
                 strName.c_str());
    return kOk;
}

int RunVerify(int argc, char** argv) {
    VerifyOptions verify;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::string* pTarget = arg == "--server"        ? &verify.strServer
                               : arg == "--xml-path"    ? &verify.strXmlPath
                               : arg == "--client-path" ? &verify.strClientPath
                               : arg == "--key"         ? &verify.strKeyPath
                                                        : nullptr;
        if (arg == "--progress") {
            verify.bForceProgress = true;
        } else if (pTarget != nullptr && i + 1 < argc) {
            *pTarget = argv[++i];
        } else {
            std::fprintf(stderr, "manifestgen: verify: unknown or incomplete %s (see --help)\n",
                         arg.c_str());
            return kUsage;
        }
    }
    if (verify.strServer.empty() || verify.strXmlPath.empty() || verify.strClientPath.empty()) {
        std::fprintf(stderr, "manifestgen: verify needs --server, --xml-path and --client-path\n");
        return kUsage;
    }
    return VerifyRelease(verify);
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

int Run(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "keygen")
        return RunKeygen(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "verify")
        return RunVerify(argc, argv);
    std::string strRelease, strOut, strChunkDir;
    PublishOptions options;
    SigningOptions signing;
    std::string strExpires = "30d";
    bool bQuiet = false, bForceProgress = false;
    std::string strError;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "manifestgen: %s needs a value (see --help)\n", arg.c_str());
                return false;
            }
            target = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return kOk;
        } else if (arg == "--release") {
            if (!value(strRelease))
                return kUsage;
        } else if (arg == "--out") {
            if (!value(strOut))
                return kUsage;
        } else if (arg == "--special") {
            if (!value(v))
                return kUsage;
            options.specialPatterns.push_back(v);
        } else if (arg == "--game") {
            if (!value(v))
                return kUsage;
            GameRule game;
            if (!ParseGame(v, game, strError)) {
                std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
                return kUsage;
            }
            options.games.push_back(game);
        } else if (arg == "--config") {
            if (!value(v))
                return kUsage;
            if (!ReadConfig(v, options, strError)) {
                std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
                return kUsage;
            }
        } else if (arg == "--sign-key") {
            if (!value(signing.strKeyPath))
                return kUsage;
        } else if (arg == "--sequence") {
            if (!value(v))
                return kUsage;
            if (v.empty() || v.size() > 18 ||
                v.find_first_not_of("0123456789") != std::string::npos) {
                std::fprintf(stderr, "manifestgen: --sequence takes a decimal number\n");
                return kUsage;
            }
            signing.bSequenceGiven = true;
            signing.qwSequence = std::stoull(v);
        } else if (arg == "--expires") {
            if (!value(strExpires))
                return kUsage;
        } else if (arg == "--chunk-index") {
            if (!value(strChunkDir))
                return kUsage;
        } else if (arg == "--quiet" || arg == "-q") {
            bQuiet = true;
        } else if (arg == "--progress") {
            bForceProgress = true;
        } else {
            std::fprintf(stderr, "manifestgen: unknown argument %s (see --help)\n", arg.c_str());
            return kUsage;
        }
    }
    if (strRelease.empty() || strOut.empty()) {
        std::fprintf(stderr, "manifestgen: --release and --out are required (see --help)\n");
        return kUsage;
    }
    if (!ParseExpiry(strExpires, static_cast<std::int64_t>(std::time(nullptr)),
                     signing.llExpires)) {
        std::fprintf(stderr,
                     "manifestgen: --expires takes 30d, 12h or 2027-01-31T08:00:00Z, at most 90 "
                     "days ahead (the updater refuses more)\n");
        return kUsage;
    }

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
    ProgressLine progress(!bQuiet && (bForceProgress || isatty(fileno(stderr))));
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

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "manifestgen: %s\n", e.what());
        return kIoError;
    }
}
