#include "tools/manifestgen/verify.h"

#include <curl/curl.h>
#include <iconv.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "chunks/chunkindex.h"
#include "kelmar/ecdsa.h"
#include "kelmar/md5.h"
#include "tools/manifestgen/release.h"
#include "tools/manifestgen/signing.h"
#include "updater/core/address.h"
#include "updater/core/manifest.h"
#include "updater/core/manifesttrust.h"

namespace {

enum ExitCode { kMatches = 0, kDiffers = 1, kUsage = 2, kUnreachable = 3 };

// Far above any real manifest; a server that sends more is not read further.
const std::size_t kMaxManifestBytes = 16u << 20;
// The index of the largest file the engine takes (4 GiB) is well below this.
const std::size_t kMaxIndexBytes = 64u << 20;

// Names are code page 936 bytes; the terminal reads UTF-8.
std::string Shown(const std::string& strCp936) {
    iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return strCp936;
    std::string strIn = strCp936;
    std::string strOut(strIn.size() * 2 + 4, '\0');
    char* pIn = &strIn[0];
    char* pOut = &strOut[0];
    std::size_t cbIn = strIn.size(), cbOut = strOut.size();
    const bool bOk = iconv(cd, &pIn, &cbIn, &pOut, &cbOut) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (!bOk)
        return strCp936;
    strOut.resize(strOut.size() - cbOut);
    return strOut;
}

struct Fetched {
    long nStatus = 0;      // HTTP status, 0 when no answer came
    std::string strError;  // curl's reason when no answer came
    std::string strBody;   // kept only when asked for
    std::uint64_t qwSize = 0;
    std::string strDigest;  // MD5 text of the body
};

struct Sink {
    Fetched* pFetched;
    MD5* pMd5;
    bool bKeep;
    std::uint64_t qwKeepMax;
    chunks::CIndexWriter* pIndex;  // fed the body when not null
    bool bTooLarge = false;
};

std::size_t OnBody(char* pData, std::size_t cbSize, std::size_t nItems, void* pUser) {
    Sink& sink = *static_cast<Sink*>(pUser);
    const std::size_t cb = cbSize * nItems;
    sink.pFetched->qwSize += cb;
    sink.pMd5->update(pData, static_cast<unsigned int>(cb));
    if (sink.pIndex != nullptr)
        sink.pIndex->Chunker().Feed(pData, cb);
    if (sink.bKeep) {
        if (sink.pFetched->strBody.size() + cb > sink.qwKeepMax) {
            sink.bTooLarge = true;
            return 0;  // ends the transfer
        }
        sink.pFetched->strBody.append(pData, cb);
    }
    return cb;
}

class CFetcher {
public:
    CFetcher() : m_pCurl(curl_easy_init()) {}
    ~CFetcher() {
        if (m_pCurl != nullptr)
            curl_easy_cleanup(m_pCurl);
    }
    CFetcher(const CFetcher&) = delete;
    CFetcher& operator=(const CFetcher&) = delete;
    bool IsValid() const { return m_pCurl != nullptr; }

    // bKeep: the body is kept, up to qwKeepMax bytes. pIndex: the body is
    // also cut into chunks, for its index.
    Fetched Get(const std::string& strUrl, bool bKeep, std::uint64_t qwKeepMax = kMaxManifestBytes,
                chunks::CIndexWriter* pIndex = nullptr) {
        Fetched fetched;
        MD5 md5;
        Sink sink{&fetched, &md5, bKeep, qwKeepMax, pIndex};
        // One handle for the whole run keeps the connection alive between files.
        curl_easy_setopt(m_pCurl, CURLOPT_URL, strUrl.c_str());
        curl_easy_setopt(m_pCurl, CURLOPT_WRITEFUNCTION, &OnBody);
        curl_easy_setopt(m_pCurl, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(m_pCurl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(m_pCurl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(m_pCurl, CURLOPT_CONNECTTIMEOUT, 20L);
        // A stalled server ends a file after 30 s below 1 byte a second.
        curl_easy_setopt(m_pCurl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(m_pCurl, CURLOPT_LOW_SPEED_TIME, 30L);
        curl_easy_setopt(m_pCurl, CURLOPT_NOSIGNAL, 1L);
        const CURLcode code = curl_easy_perform(m_pCurl);
        if (code != CURLE_OK && !sink.bTooLarge) {
            fetched.strError = curl_easy_strerror(code);
            fetched.nStatus = 0;
            return fetched;
        }
        curl_easy_getinfo(m_pCurl, CURLINFO_RESPONSE_CODE, &fetched.nStatus);
        if (sink.bTooLarge) {
            fetched.strError = "larger than any manifest";
            fetched.nStatus = 0;
        }
        fetched.strDigest = md5.toString();
        return fetched;
    }

private:
    CURL* m_pCurl;
};

std::string Failure(const Fetched& fetched) {
    return fetched.nStatus == 0 ? fetched.strError : "HTTP " + std::to_string(fetched.nStatus);
}

class CVerifier {
public:
    CVerifier(const VerifyOptions& options, const std::string& strXmlBase,
              const std::string& strFileBase, const std::string& strPublicKey)
        : m_strXmlBase(strXmlBase),
          m_strFileBase(strFileBase),
          m_strPublicKey(strPublicKey),
          m_bProgress(options.bForceProgress || isatty(fileno(stderr))) {}

    // Fetches and checks one manifest; the manifest is filled when it could be read.
    bool CheckManifest(const std::string& strName, bool bPlaza, Manifest& manifest) {
        const std::string strUrl = m_strXmlBase + "/" + EncodeRequestPath(strName);
        const Fetched fetched = m_fetcher.Get(strUrl, true);
        if (fetched.nStatus != 200) {
            Report("missing manifest", strName, Failure(fetched));
            return false;
        }
        if (!m_strPublicKey.empty())
            CheckSignature(strName, fetched.strBody);
        std::string strProblem;
        if (ParseManifest(fetched.strBody.c_str(), bPlaza, manifest, strProblem) !=
            ManifestStatus::Ok) {
            Report("unreadable manifest", strName,
                   strProblem.empty() ? "the updater cannot read it" : Shown(strProblem));
            return false;
        }
        return true;
    }

    void CheckFiles(const Manifest& manifest) {
        for (const ManifestFileEntry& entry : manifest.files) {
            ShowProgress(entry.strName);
            const std::string strUrl = m_strFileBase + EncodeRequestPath(entry.strName);
            chunks::CIndexWriter index;
            const Fetched fetched = m_fetcher.Get(strUrl, false, 0, &index);
            ++m_nFiles;
            if (fetched.nStatus != 200) {
                Report("missing", entry.strName, Failure(fetched));
                continue;
            }
            if (fetched.qwSize >= chunks::kIndexThreshold && fetched.strDigest == entry.strDate)
                CheckIndex(strUrl, entry.strName, fetched.strDigest, index);
            const std::string strSize = SizeText(fetched.qwSize);
            if (strSize != entry.strBytes) {
                Report("wrong size", entry.strName,
                       "server " + strSize + ", manifest " + entry.strBytes);
            } else if (fetched.strDigest != entry.strDate) {
                Report("wrong digest", entry.strName,
                       "server " + fetched.strDigest + ", manifest " + entry.strDate);
            }
        }
    }

    // A chunk index, where one is published, must be exactly the one of the
    // file served: a wrong one costs every player the whole file.
    void CheckIndex(const std::string& strUrl, const std::string& strName,
                    const std::string& strDigest, chunks::CIndexWriter& index) {
        const Fetched served =
            m_fetcher.Get(strUrl + chunks::IndexSuffix(strDigest), true, kMaxIndexBytes);
        if (served.nStatus == 404) {
            ++m_nWithoutIndex;
            return;
        }
        if (served.nStatus != 200) {
            Report("chunk index", strName, Failure(served));
            return;
        }
        unsigned char md5[16];
        chunks::DigestBytes(strDigest, md5);
        index.Chunker().Finish();
        if (served.strBody != index.Finish(md5))
            Report("wrong chunk index", strName, "not the index of the file served");
        else
            ++m_nIndexes;
    }

    bool IsValid() const { return m_fetcher.IsValid(); }
    int Indexes() const { return m_nIndexes; }
    int WithoutIndex() const { return m_nWithoutIndex; }
    int Problems() const { return m_nProblems; }
    int Files() const { return m_nFiles; }
    void EndProgress() {
        if (m_bProgress && m_bProgressShown)
            std::fprintf(stderr, "\r%-79s\r", "");
    }

private:
    void CheckSignature(const std::string& strName, const std::string& strText) {
        const Fetched sig =
            m_fetcher.Get(m_strXmlBase + "/" + EncodeRequestPath(strName) + ".sig", true);
        std::uint64_t qwSequence = 0;
        std::int64_t llExpires = 0;
        std::string strSignedName;
        if (sig.nStatus != 200) {
            Report("missing signature", strName, Failure(sig));
        } else if (!kelmar::EcdsaVerify(m_strPublicKey, strText, sig.strBody)) {
            Report("bad signature", strName, "does not verify with the key");
        } else if (!ReadSignedAttributes(strText, qwSequence, llExpires, &strSignedName)) {
            Report("unsigned attributes", strName, "no sequence or expires on the root");
        } else if (strSignedName != strName) {
            Report("wrong name", strName, "the root names \"" + Shown(strSignedName) + "\"");
        } else if (llExpires <= static_cast<std::int64_t>(std::time(nullptr))) {
            Report("expired", strName, FormatUtcTime(llExpires));
        } else {
            std::printf("signed     %s: sequence %llu, expires %s\n", Shown(strName).c_str(),
                        static_cast<unsigned long long>(qwSequence),
                        FormatUtcTime(llExpires).c_str());
        }
    }

    void Report(const char* pszWhat, const std::string& strName, const std::string& strWhy) {
        EndProgress();
        ++m_nProblems;
        std::printf("%-18s %s: %s\n", pszWhat, Shown(strName).c_str(), strWhy.c_str());
        std::fflush(stdout);
    }

    void ShowProgress(const std::string& strName) {
        if (!m_bProgress)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (m_bProgressShown && now - m_last < std::chrono::milliseconds(200))
            return;
        m_last = now;
        m_bProgressShown = true;
        std::fprintf(stderr, "\r  checked %d, %d problem(s)  %-40.40s", m_nFiles, m_nProblems,
                     Shown(strName).c_str());
        std::fflush(stderr);
    }

    const std::string m_strXmlBase, m_strFileBase, m_strPublicKey;
    const bool m_bProgress;
    CFetcher m_fetcher;
    int m_nIndexes = 0;
    int m_nWithoutIndex = 0;
    int m_nProblems = 0;
    int m_nFiles = 0;
    bool m_bProgressShown = false;
    std::chrono::steady_clock::time_point m_last;
};

}  // namespace

std::string EncodeRequestPath(const std::string& strName) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string strOut;
    for (char ch : strName) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '/') {
            strOut += '/';
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_' || c == '.' || c == '~') {
            strOut += ch;
        } else {
            strOut += '%';
            strOut += kHex[c >> 4];
            strOut += kHex[c & 15];
        }
    }
    return strOut;
}

int VerifyRelease(const VerifyOptions& options) {
    std::string strXmlBase, strFileBase, strPublicKey, strError;
    if (FormatServerAddress(options.strServer, options.strXmlPath, strXmlBase) !=
            AddressStatus::Ok ||
        FormatServerAddress(options.strServer, options.strClientPath, strFileBase) !=
            AddressStatus::Ok) {
        std::fprintf(stderr, "manifestgen: --server must hold one %%s, as updateGameUrl does\n");
        return kUsage;
    }
    if (!options.strKeyPath.empty() && !LoadPublicKey(options.strKeyPath, strPublicKey, strError)) {
        std::fprintf(stderr, "manifestgen: %s\n", strError.c_str());
        return kUsage;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int nResult = kMatches;
    {
        CVerifier verifier(options, strXmlBase, strFileBase, strPublicKey);
        Manifest plaza;
        if (!verifier.IsValid() || !verifier.CheckManifest("LastUpdateFiles.xml", true, plaza)) {
            nResult = kUnreachable;
        } else {
            verifier.CheckFiles(plaza);
            for (const std::string& strGame : plaza.games) {
                Manifest game;
                if (verifier.CheckManifest(strGame + "_UpdateFiles.xml", false, game))
                    verifier.CheckFiles(game);
            }
            verifier.EndProgress();
            std::printf("%d file(s) checked, %d problem(s)\n", verifier.Files(),
                        verifier.Problems());
            if (verifier.Indexes() + verifier.WithoutIndex() > 0)
                std::printf(
                    "%d chunk index(es) match their files; %d file(s) of 1 MiB or more "
                    "without one\n",
                    verifier.Indexes(), verifier.WithoutIndex());
            nResult = verifier.Problems() == 0 ? kMatches : kDiffers;
        }
    }
    curl_global_cleanup();
    return nResult;
}
