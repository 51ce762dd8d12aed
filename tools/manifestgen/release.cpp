#include "tools/manifestgen/release.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>

#include "chunks/chunkindex.h"
#include "files/wholefile.h"
#include "kelmar/md5.h"
#include "kelmar/sha256.h"
#include "names/safename.h"
#include "tools/manifestgen/textcodec.h"
#include "updater/core/manifest.h"

namespace fs = std::filesystem;

namespace {

// Field widths of the updater's records, less their terminators.
const std::size_t kMaxFileName = 127;
const std::size_t kMaxGameName = 127;

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool MatchFrom(const char* p, const char* s) {
    for (; *p != '\0'; ++p) {
        if (p[0] == '*' && p[1] == '*') {
            const char* rest = p + 2;
            // "**/" may also stand for no folder at all.
            if (*rest == '/' && MatchFrom(rest + 1, s))
                return true;
            for (const char* t = s;; ++t) {
                if (MatchFrom(rest, t))
                    return true;
                if (*t == '\0')
                    return false;
            }
        }
        if (*p == '*') {
            for (const char* t = s;; ++t) {
                if (MatchFrom(p + 1, t))
                    return true;
                if (*t == '\0' || *t == '/')
                    return false;
            }
        }
        if (*s == '\0')
            return false;
        if (*p == '?') {
            if (*s == '/')
                return false;
        } else if (FoldAscii(*p) != FoldAscii(*s)) {
            return false;
        }
        ++s;
    }
    return *s == '\0';
}

std::string FaultText(const std::string& strRelative) {
    switch (names::CheckRelativePath(strRelative)) {
        case names::NameFault::kNone:
            break;
        case names::NameFault::kEmpty:
            return "an empty folder step";
        case names::NameFault::kBadCp936:
            return "not well-formed code page 936";
        case names::NameFault::kForbidden:
            return "a control character or one of : * ? \" < > |";
        case names::NameFault::kDotOrBlankEnd:
            return "a step ending in a dot or a blank";
        case names::NameFault::kDevice:
            return "a device name (CON, NUL, COM1, ...)";
        case names::NameFault::kReserved:
            return "the updater's own (anything in DownLoad\\, or SpecialCpy.bat)";
    }
    return "";
}

bool MatchesAny(const std::vector<std::string>& patterns, const std::string& strPath) {
    for (const std::string& pattern : patterns) {
        if (MatchPattern(pattern, strPath))
            return true;
    }
    return false;
}

void AppendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
}

}  // namespace

std::string XmlEscaped(const std::string& strText) {
    std::string out;
    AppendEscaped(out, strText);
    return out;
}

bool MatchPattern(const std::string& strPattern, const std::string& strPath) {
    std::string pattern = strPattern;
    std::replace(pattern.begin(), pattern.end(), '\\', '/');
    if (!pattern.empty() && pattern[0] == '/')
        pattern.erase(0, 1);
    return MatchFrom(pattern.c_str(), strPath.c_str());
}

std::string SizeText(std::uint64_t qwSize) {
    char szText[16];
    std::snprintf(szText, sizeof(szText), "%d",
                  static_cast<std::int32_t>(static_cast<std::uint32_t>(qwSize)));
    return szText;
}

Manifests PlanManifests(std::vector<ReleaseFile>& files, const PublishOptions& options,
                        std::vector<Refusal>& refusals) {
    Manifests manifests;
    std::vector<const ReleaseFile*> plazaFiles;
    std::map<std::size_t, std::vector<const ReleaseFile*>> gameFiles;

    for (const GameRule& game : options.games) {
        if (game.strName.size() > kMaxGameName || !IsSafeGameName(game.strName))
            refusals.push_back(
                {game.strName, "the game name cannot be a file name of the updater"});
    }

    for (ReleaseFile& file : files) {
        file.bSpecial = MatchesAny(options.specialPatterns, file.strRelative);
        std::string strWhy;
        if (file.strName.size() > kMaxFileName) {
            refusals.push_back({file.strRelative, "the name is longer than 127 bytes"});
        } else if (!IsSafeFileName(file.strName, strWhy)) {
            refusals.push_back({file.strRelative, "the updater refuses this name: " +
                                                      FaultText(file.strName.substr(1))});
        } else if (file.bSpecial && !IsBatchSafeName(file.strName)) {
            refusals.push_back(
                {file.strRelative, "a special file's name may not hold \" % ^ & | < or >"});
        }

        bool bGameFile = false;
        for (std::size_t g = 0; g < options.games.size(); ++g) {
            if (MatchesAny(options.games[g].patterns, file.strRelative)) {
                gameFiles[g].push_back(&file);
                bGameFile = true;
                break;
            }
        }
        if (!bGameFile)
            plazaFiles.push_back(&file);
    }

    // Windows would take both for one file (or one for the other's folder).
    std::vector<std::string> manifestNames;
    for (const ReleaseFile& file : files)
        manifestNames.push_back(file.strName);
    std::size_t nFirst = 0, nSecond = 0;
    if (names::FindCollision(manifestNames, nFirst, nSecond)) {
        refusals.push_back({files[nSecond].strRelative,
                            "Windows takes it for the same file as " + files[nFirst].strRelative});
    }

    std::vector<std::string> gameNames;
    for (const GameRule& game : options.games)
        gameNames.push_back(game.strName);
    manifests.strPlaza = ManifestXml(plazaFiles, &gameNames);
    for (std::size_t g = 0; g < options.games.size(); ++g) {
        manifests.games.emplace_back(options.games[g].strName + "_UpdateFiles.xml",
                                     ManifestXml(gameFiles[g], nullptr));
    }
    return manifests;
}

std::string ManifestXml(const std::vector<const ReleaseFile*>& files,
                        const std::vector<std::string>* pGames) {
    std::string out = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<update>\r\n  <files>\r\n";
    for (const ReleaseFile* pFile : files) {
        out += "    <file name=\"";
        AppendEscaped(out, pFile->strName);
        out += "\" date=\"" + pFile->strDigest + "\" bytes=\"" + SizeText(pFile->qwSize) +
               "\" isSpecial=\"" + (pFile->bSpecial ? "1" : "0") + "\"";
        if (!pFile->strSha256.empty())
            out += " sha256=\"" + pFile->strSha256 + "\"";
        out += "/>\r\n";
    }
    out += "  </files>\r\n";
    if (pGames != nullptr) {
        out += "  <games>\r\n";
        for (const std::string& game : *pGames) {
            out += "    <game name=\"";
            AppendEscaped(out, game);
            out += "\"/>\r\n";
        }
        out += "  </games>\r\n";
    }
    out += "</update>\r\n";
    return out;
}

bool ListRelease(const std::string& strRoot, std::vector<ReleaseFile>& files,
                 std::string& strError) {
    files.clear();
    std::error_code ec;
    const fs::path root = PathFromArgument(strRoot);
    if (!fs::is_directory(root, ec)) {
        strError = strRoot + ": not a folder";
        return false;
    }
    fs::recursive_directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec))
            continue;
        ReleaseFile file;
        const fs::path relative = it->path().lexically_relative(root);
        file.strRelative = relative.generic_u8string();
        if (!PathToCp936(relative, file.strName)) {
            strError = file.strRelative + ": the name has no code page 936 form";
            return false;
        }
        std::replace(file.strName.begin(), file.strName.end(), '/', '\\');
        file.strName.insert(0, "\\");
        file.qwSize = it->file_size(ec);
        if (ec)
            break;
        files.push_back(std::move(file));
    }
    if (ec) {
        strError = strRoot + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
        return a.strRelative < b.strRelative;
    });
    return true;
}

bool DigestRelease(const std::string& strRoot, std::vector<ReleaseFile>& files, bool bSha256,
                   const std::function<void(const ScanProgress&)>& onProgress,
                   std::string& strError, const IndexSink& onIndex) {
    ScanProgress progress;
    progress.qwFilesTotal = files.size();
    for (const ReleaseFile& file : files)
        progress.qwBytesTotal += file.qwSize;

    const fs::path root = PathFromArgument(strRoot);
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    for (ReleaseFile& file : files) {
        std::ifstream in(root / fs::u8path(file.strRelative), std::ios::binary);
        if (!in) {
            strError = file.strRelative + ": cannot be opened";
            return false;
        }
        MD5 md5;
        std::unique_ptr<chunks::CIndexWriter> index;
        if (onIndex && file.qwSize >= chunks::kIndexThreshold)
            index.reset(new chunks::CIndexWriter());
        kelmar::Sha256 sha256;
        std::uint64_t qwRead = 0;
        while (in) {
            in.read(buffer.get(), 1 << 20);
            std::streamsize got = in.gcount();
            if (got <= 0)
                break;
            md5.update(buffer.get(), static_cast<unsigned int>(got));
            if (index)
                index->Chunker().Feed(buffer.get(), static_cast<std::size_t>(got));
            if (bSha256)
                sha256.Update(buffer.get(), static_cast<std::size_t>(got));
            qwRead += static_cast<std::uint64_t>(got);
            progress.qwBytesDone += static_cast<std::uint64_t>(got);
            if (onProgress)
                onProgress(progress);
        }
        if (in.bad() || qwRead != file.qwSize) {
            strError = file.strRelative + ": read error or the file changed while it was read";
            return false;
        }
        file.strDigest = md5.toString();
        file.strSha256 = bSha256 ? sha256.HexDigest() : std::string();
        if (file.strDigest.size() != 32 || (bSha256 && file.strSha256.size() != 64)) {
            strError = file.strRelative + ": the digest could not be computed";
            return false;
        }
        if (index) {
            unsigned char digest[16];
            chunks::DigestBytes(file.strDigest, digest);
            index->Chunker().Finish();
            if (!onIndex(file, index->Finish(digest), strError))
                return false;
        }
        ++progress.qwFilesDone;
        if (onProgress)
            onProgress(progress);
    }
    return true;
}

std::string IndexPathFor(const std::string& strClientDir, const ReleaseFile& file) {
    std::string strPath = strClientDir;
    for (char c : file.strName)
        strPath.push_back(c == '\\' ? '/' : c);
    return strPath + chunks::IndexSuffix(file.strDigest);
}

bool WriteFileAtomically(const std::string& strPath, const std::string& strText,
                         std::string& strError) {
    files::Failure failure;
    if (files::WriteWholeFile(strPath, strPath + ".partial", strText, &failure))
        return true;
    strError = strPath + (failure.step == files::Failure::kMove ? ": cannot be replaced"
                                                                : ": cannot be written");
    return false;
}
