// The whole file in one body, or its rest after a partial file: the
// transport's fetch, step by step.
#include "wininettransport.h"

#include "bodysink.h"
#include "chunks/fastcdc.h"
#include "filetarget.h"
#include "savepath.h"
#include "errortext.h"

namespace pellowd {

namespace {

// A body at least this long is written and hashed beside its receiving.
const std::uint64_t kPipeFrom = 4ull * 1024 * 1024;
const std::size_t kPipeBuffer = 256 * 1024;
const unsigned kPipeBuffers = 8;
// So that the flush at the commit covers only the tail of a large file.
const std::uint64_t kFlushEvery = 64ull * 1024 * 1024;

}  // namespace

struct CWinInetTransport::WholeFile {
    const std::string& strUrl;
    const std::string& strTemp;
    const std::string& strMD5;
    std::uint64_t nMaxBytes;
    const std::string& strPartial;  // empty: nothing is kept
};

struct CWinInetTransport::Body {
    bool bResumed = false;  // the rest of the partial file, after nFrom bytes
    std::uint64_t nFrom = 0;
    std::uint64_t nRangeTotal = 0;  // the file's size, for a resume
    bool bHasLength = false;
    std::uint64_t nLength = 0;
};

Failure CWinInetTransport::Fetch(const std::string& strUrl, const std::string& strTemp,
                                 const std::string& strTarget, const std::string& strMD5,
                                 std::uint64_t nMaxBytes, bool bReuse,
                                 const std::function<bool()>& isCancelled, std::string* pstrWhy) {
    CloseFile();
    ReleasePartial();
    m_strWritten = strTemp;
    if (!bReuse)
        return FetchWhole(strUrl, strTemp, strMD5, nMaxBytes, std::string(), isCancelled, pstrWhy);
    // Two requests of one batch may want the same bytes in the same folder:
    // the first has the partial file, the other fetches as if it had none.
    const std::string strPartial = PartialPathFor(strTarget, strMD5);
    if (!m_folders.Claim(strPartial))
        return FetchWhole(strUrl, strTemp, strMD5, nMaxBytes, std::string(), isCancelled, pstrWhy);
    m_strClaimed = strPartial;
    if (ReuseWorthTrying(strTarget, strPartial)) {
        ReuseStats stats;
        std::string strWhyNot;
        const Failure eFailure = FetchByChunks(strUrl, strTemp, strTarget, strPartial, strMD5,
                                               nMaxBytes, isCancelled, &stats, &strWhyNot);
        if (eFailure == Failure::kNone) {
            if (m_log)
                m_log("chunk reuse for " + strTarget + ": " + std::to_string(stats.nReused) +
                      " of " + std::to_string(stats.nFileBytes) + " bytes from the disk, " +
                      std::to_string(stats.nFetched) + " fetched, " +
                      std::to_string(stats.nIndexBytes) + " of index, in " +
                      std::to_string(stats.nRequests) + " requests");
            return eFailure;
        }
        if (eFailure == Failure::kCancelled || eFailure == Failure::kLocal) {
            *pstrWhy = strWhyNot;
            return eFailure;
        }
        if (m_log)
            m_log("chunk reuse for " + strTarget + " not possible (" + strWhyNot +
                  "): fetching the whole file");
    }
    return FetchWhole(strUrl, strTemp, strMD5, nMaxBytes, strPartial, isCancelled, pstrWhy);
}

Failure CWinInetTransport::FetchWhole(const std::string& strUrl, const std::string& strTemp,
                                      const std::string& strMD5, std::uint64_t nMaxBytes,
                                      const std::string& strPartial,
                                      const std::function<bool()>& isCancelled,
                                      std::string* pstrWhy) {
    const RequestCloser closer{this};
    CloseFile();
    m_strWritten = strTemp;
    const WholeFile file{strUrl, strTemp, strMD5, nMaxBytes, strPartial};
    std::uint64_t nHave = strPartial.empty() ? 0 : FileSizeOf(strPartial);
    // A second round only when the bytes kept from before proved unusable:
    // then the whole file is fetched afresh, once.
    for (bool bFirst = true;; bFirst = false) {
        bool bAgain = false;
        const Failure eFailure = FetchRound(file, bFirst, &nHave, &bAgain, isCancelled, pstrWhy);
        if (!bAgain)
            return eFailure;
    }
}

Failure CWinInetTransport::FetchRound(const WholeFile& file, bool bFirst, std::uint64_t* pnHave,
                                      bool* pbAgain, const std::function<bool()>& isCancelled,
                                      std::string* pstrWhy) {
    // Kept bytes that proved unusable go, and the first round starts again;
    // a second round gives up with eFailure.
    auto startAfresh = [&](Failure eFailure) {
        CloseRequest();
        DropPartial(file.strPartial);
        *pnHave = 0;
        *pbAgain = bFirst;
        return eFailure;
    };
    const std::string strHeaders = *pnHave > 0 ? RangeHeaders(std::to_string(*pnHave) + "-",
                                                              m_folders.Validator(file.strPartial))
                                               : std::string();
    HINTERNET hRequest = nullptr;
    DWORD dwStatus = 0;
    const Failure eRequest =
        Request(file.strUrl, strHeaders, &hRequest, &dwStatus, isCancelled, pstrWhy);
    if (eRequest != Failure::kNone)
        return eRequest;
    Body body;
    if (*pnHave > 0 && dwStatus == 416) {
        // The last run may have been cut between the file's last byte and
        // its move: then the partial file is the whole file.
        CloseRequest();
        if (bFirst && AdoptWholePartial(file.strPartial, file.strMD5))
            return Failure::kNone;
        if (!bFirst)
            *pstrWhy = "HTTP status 416";
        return startAfresh(Failure::kServer);
    }
    if (*pnHave > 0 && dwStatus == 206) {
        std::string strRange;
        if (!RestOfFile(hRequest, *pnHave, &body.nRangeTotal, &strRange)) {
            if (const Failure eEnded = Ended(isCancelled, pstrWhy); eEnded != Failure::kNone)
                return eEnded;
            // Not the rest of the file: what was kept cannot be trusted.
            if (!bFirst)
                *pstrWhy = "answered the rest of the file with the range " + strRange;
            return startAfresh(Failure::kServer);
        }
        body.bResumed = true;
        body.nFrom = *pnHave;
    } else if (dwStatus != 200) {
        // Only a whole file counts: a 206 not asked for is part of one,
        // a 204 is none at all.
        return StatusFailure(dwStatus, pstrWhy);
    }
    // A 200 to a resume is the whole file: it is never appended.
    if (const Failure eBody = CheckBody(hRequest, file, &body, isCancelled, pstrWhy);
        eBody != Failure::kNone)
        return eBody;
    // Keep what arrives of a large file for a later attempt.
    const bool bKeep =
        !file.strPartial.empty() &&
        (body.bResumed || (body.bHasLength && body.nLength >= chunks::kIndexThreshold));
    std::unique_ptr<MD5> digest;
    if (!file.strMD5.empty())
        digest.reset(new MD5());
    if (body.bResumed && !OpenPartialAt(file.strPartial, body.nFrom, digest.get(), pstrWhy))
        return startAfresh(Failure::kLocal);
    if (!body.bResumed) {
        if (const Failure eOpened = OpenOutput(hRequest, file, bKeep, pstrWhy);
            eOpened != Failure::kNone)
            return eOpened;
    }
    m_strWritten = bKeep ? file.strPartial : file.strTemp;
    if (const Failure eReceived =
            ReceiveBody(hRequest, body, file.nMaxBytes, digest.get(), isCancelled, pstrWhy);
        eReceived != Failure::kNone) {
        // A cut or a stop keeps what arrived; wrong bytes or a full disk do not.
        if (bKeep && eReceived != Failure::kNetwork && eReceived != Failure::kCancelled)
            DropPartial(file.strPartial);
        return eReceived;
    }
    // Checked before the file is flushed: a wrong file costs no disk write.
    if (digest) {
        std::string strActual = digest->toString();
        if (!DigestMatches(file.strMD5, strActual)) {
            if (bKeep)
                DropPartial(file.strPartial);
            if (body.bResumed && bFirst) {
                CloseRequest();
                *pnHave = 0;
                *pbAgain = true;
                return Failure::kContent;
            }
            *pstrWhy = "digest " + (strActual.empty() ? std::string("unavailable") : strActual) +
                       ", expected " + file.strMD5;
            return Failure::kContent;
        }
    }
    return Failure::kNone;
}

bool CWinInetTransport::RestOfFile(HINTERNET hRequest, std::uint64_t nHave, std::uint64_t* pnTotal,
                                   std::string* pstrRange) {
    std::uint64_t nFirst = 0, nLast = 0;
    return OnHandles([&] { return QueryHeader(hRequest, HTTP_QUERY_CONTENT_RANGE, pstrRange); }) &&
           ParseContentRange(*pstrRange, &nFirst, &nLast, pnTotal) && nFirst == nHave &&
           nLast + 1 == *pnTotal;
}

Failure CWinInetTransport::CheckBody(HINTERNET hRequest, const WholeFile& file, Body* pBody,
                                     const std::function<bool()>& isCancelled,
                                     std::string* pstrWhy) {
    if (const Failure eBody =
            BodyLength(hRequest, &pBody->bHasLength, &pBody->nLength, isCancelled, pstrWhy);
        eBody != Failure::kNone)
        return eBody;
    if (pBody->bResumed) {
        const std::uint64_t nRest = pBody->nRangeTotal - pBody->nFrom;
        if (pBody->bHasLength && pBody->nLength != nRest) {
            *pstrWhy = "the rest of the file announced as " + std::to_string(pBody->nLength) +
                       " bytes, its range says " + std::to_string(nRest);
            return Failure::kServer;
        }
        pBody->bHasLength = true;
        pBody->nLength = nRest;
    }
    if (!pBody->bHasLength)
        return Failure::kNone;
    if (pBody->nFrom + pBody->nLength > file.nMaxBytes) {
        *pstrWhy = std::to_string(pBody->nFrom + pBody->nLength) +
                   " bytes announced, more than the limit of " + std::to_string(file.nMaxBytes);
        return Failure::kContent;
    }
    if (!RoomFor(ParentFolder(file.strTemp), pBody->nLength, pstrWhy))
        return Failure::kLocal;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_guard.SetLength(pBody->nLength);
    return Failure::kNone;
}

Failure CWinInetTransport::OpenOutput(HINTERNET hRequest, const WholeFile& file, bool bKeep,
                                      std::string* pstrWhy) {
    // CREATE_NEW: a temporary name that exists belongs to someone else.
    const std::string& strPath = bKeep ? file.strPartial : file.strTemp;
    // Readable too: a file held to a SHA-256 is read back before its move.
    m_file.Reset(::CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                               /*lpSecurityAttributes=*/nullptr, bKeep ? CREATE_ALWAYS : CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                               /*hTemplateFile=*/nullptr));
    if (!m_file.IsValid()) {
        *pstrWhy = ErrorText("CreateFile " + strPath, ::GetLastError());
        return Failure::kLocal;
    }
    if (bKeep)
        m_folders.SetValidator(file.strPartial, AnswerValidator(hRequest));
    return Failure::kNone;
}

Failure CWinInetTransport::ReceiveBody(HINTERNET hRequest, const Body& body,
                                       std::uint64_t nMaxBytes, MD5* pDigest,
                                       const std::function<bool()>& isCancelled,
                                       std::string* pstrWhy) {
    CFileTarget target(m_file.Get(), m_strWritten);
    if (!body.bHasLength || body.nLength < kPipeFrom) {
        CBufferSink sink(m_buffer, target, pDigest);
        return Receive(hRequest, body.bHasLength, body.nLength, nMaxBytes, sink, isCancelled,
                       pstrWhy);
    }
    CWritePipe pipe(target, pDigest, kPipeBuffer, kPipeBuffers, kFlushEvery);
    CPipeSink sink(pipe);
    Failure eReceived =
        Receive(hRequest, body.bHasLength, body.nLength, nMaxBytes, sink, isCancelled, pstrWhy);
    // A writer that failed stopped the receiving too, with kLocal and no
    // reason of its own.
    std::string strWhy;
    if (!pipe.Close(&strWhy) && (eReceived == Failure::kNone || eReceived == Failure::kLocal)) {
        *pstrWhy = strWhy;
        eReceived = Failure::kLocal;
    }
    return eReceived;
}

}  // namespace pellowd
