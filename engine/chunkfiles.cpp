// The transport's side of chunk reuse and partial files: the local files,
// the index's address, and the partial file a large download is kept in.
#include <windows.h>

#include <memory>
#include <vector>

#include "chunks/chunkindex.h"
#include "chunks/fastcdc.h"
#include "kelmar/sha256.h"
#include "savepath.h"
#include "errortext.h"
#include "wininettransport.h"

namespace pellowd {

namespace {

// The index lies beside the file on the server: the file's address with the
// suffix before any query.
std::string IndexUrl(const std::string& strUrl, const std::string& strMD5) {
    const std::size_t nQuery = strUrl.find_first_of("?#");
    if (nQuery == std::string::npos)
        return strUrl + chunks::IndexSuffix(strMD5);
    return strUrl.substr(0, nQuery) + chunks::IndexSuffix(strMD5) + strUrl.substr(nQuery);
}

bool ReadAt(HANDLE hFile, std::uint64_t nOffset, unsigned char* p, std::size_t cb,
            std::size_t* pcbRead) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(nOffset);
    DWORD cbRead = 0;
    if (!::SetFilePointerEx(hFile, at, /*lpNewFilePointer=*/nullptr, FILE_BEGIN) ||
        !::ReadFile(hFile, p, static_cast<DWORD>(cb), &cbRead, /*lpOverlapped=*/nullptr))
        return false;
    *pcbRead = cbRead;
    return true;
}

// Hands the body of a range to the rebuild's sink.
class CSinkTarget : public CWritePipe::ITarget {
public:
    explicit CSinkTarget(const IChunkIo::Sink& sink) : m_sink(sink) {}
    bool Write(const char* pData, std::size_t cb, std::string* pstrWhy) override {
        return m_sink(reinterpret_cast<const unsigned char*>(pData), cb, pstrWhy);
    }
    bool Flush(std::string*) override { return true; }

private:
    const IChunkIo::Sink& m_sink;
};

// The files of one rebuild. Sources: the installed older file, and a
// partial of an earlier cut run moved aside to the transfer's temporary
// name, so that the new partial can be written under its own name.
class CChunkFiles : public IChunkIo {
public:
    CChunkFiles(CWinInetTransport& transport, const std::string& strUrl,
                const std::string& strIndexUrl, const std::string& strTemp,
                const std::string& strTarget, const std::string& strPartial,
                const std::function<bool()>& isCancelled)
        : m_transport(transport),
          m_strUrl(strUrl),
          m_strIndexUrl(strIndexUrl),
          m_strTemp(strTemp),
          m_strTarget(strTarget),
          m_strPartial(strPartial),
          m_isCancelled(isCancelled) {}

    ~CChunkFiles() override {
        // Closed before the files are moved or deleted below.
        m_sources.clear();
        m_output.Reset();
        if (!m_bMovedAside)
            return;
        // A partial moved aside and never replaced goes back; once the new
        // one exists, it holds all the old one had to give.
        if (m_bOutputCreated)
            ::DeleteFileA(m_strTemp.c_str());
        else
            ::MoveFileExA(m_strTemp.c_str(), m_strPartial.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    // The output, open for writing at its end: the caller takes it over.
    CFileHandle TakeOutput() { return std::move(m_output); }

    Failure GetRange(Resource eWhat, std::uint64_t nFirst, std::uint64_t nLength,
                     std::uint64_t* pnTotal, const Sink& sink, std::string* pstrWhy) override {
        CSinkTarget target(sink);
        if (eWhat == Resource::kIndex)
            return m_transport.GetRange(m_strIndexUrl, nFirst, nLength, /*bMayEndEarly=*/true,
                                        nullptr, pnTotal, target, m_isCancelled, pstrWhy);
        return m_transport.GetRange(m_strUrl, nFirst, nLength, /*bMayEndEarly=*/false,
                                    &m_strValidator, pnTotal, target, m_isCancelled, pstrWhy);
    }

    std::uint32_t SourceCount() override {
        if (!m_bOpened) {
            m_bOpened = true;
            OpenSource(m_strTarget);
            if (FileSizeOf(m_strPartial) > 0 &&
                ::MoveFileExA(m_strPartial.c_str(), m_strTemp.c_str(), /*dwFlags=*/0)) {
                m_bMovedAside = true;
                OpenSource(m_strTemp);
            }
        }
        return static_cast<std::uint32_t>(m_sources.size());
    }

    bool ReadSource(std::uint32_t nSource, std::uint64_t nOffset, unsigned char* p, std::size_t cb,
                    std::size_t* pcbRead, std::string* pstrWhy) override {
        if (!ReadAt(m_sources.at(nSource).Get(), nOffset, p, cb, pcbRead)) {
            *pstrWhy = ErrorText("reading a local file for its chunks", ::GetLastError());
            return false;
        }
        return true;
    }

    bool Reserve(std::uint64_t nBytes, std::string* pstrWhy) override {
        return m_transport.RoomForFile(m_strPartial, nBytes, pstrWhy);
    }

    bool Write(const unsigned char* p, std::size_t cb, std::string* pstrWhy) override {
        if (!m_bOutputCreated) {
            m_bOutputCreated = true;
            m_output.Reset(::CreateFileA(m_strPartial.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         /*dwShareMode=*/0, /*lpSecurityAttributes=*/nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                         /*hTemplateFile=*/nullptr));
            if (!m_output.IsValid()) {
                *pstrWhy = ErrorText("CreateFile " + m_strPartial, ::GetLastError());
                return false;
            }
        }
        DWORD cbWritten = 0;
        if (!m_output.IsValid() ||
            !::WriteFile(m_output.Get(), p, static_cast<DWORD>(cb), &cbWritten,
                         /*lpOverlapped=*/nullptr) ||
            cbWritten != cb) {
            *pstrWhy = ErrorText("WriteFile " + m_strPartial, ::GetLastError());
            return false;
        }
        return true;
    }

    bool Cancelled() override { return m_isCancelled(); }

private:
    void OpenSource(const std::string& strPath) {
        // The plaza may hold its files open: read beside it.
        CFileHandle source(::CreateFileA(strPath.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                         /*hTemplateFile=*/nullptr));
        if (source.IsValid())
            m_sources.push_back(std::move(source));
    }

    CWinInetTransport& m_transport;
    const std::string m_strUrl, m_strIndexUrl, m_strTemp, m_strTarget, m_strPartial;
    const std::function<bool()>& m_isCancelled;
    std::string m_strValidator;
    std::vector<CFileHandle> m_sources;
    CFileHandle m_output;
    bool m_bOpened = false;
    bool m_bMovedAside = false;
    bool m_bOutputCreated = false;
};

}  // namespace

std::uint64_t FileSizeOf(const std::string& strPath) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(strPath.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    return (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool CWinInetTransport::ReuseWorthTrying(const std::string& strTarget,
                                         const std::string& strPartial) {
    return FileSizeOf(strTarget) >= chunks::kIndexThreshold || FileSizeOf(strPartial) > 0;
}

Failure CWinInetTransport::FetchByChunks(const std::string& strUrl, const std::string& strTemp,
                                         const std::string& strTarget,
                                         const std::string& strPartial, const std::string& strMD5,
                                         std::uint64_t nMaxBytes,
                                         const std::function<bool()>& isCancelled,
                                         ReuseStats* pStats, std::string* pstrWhy) {
    CChunkFiles files(*this, strUrl, IndexUrl(strUrl, strMD5), strTemp, strTarget, strPartial,
                      isCancelled);
    const Failure eFailure = RebuildFromChunks(files, strMD5, nMaxBytes, pStats, pstrWhy);
    CFileHandle output = files.TakeOutput();
    if (eFailure != Failure::kNone) {
        // What was written is a prefix of the new file: the whole-file fetch
        // continues from it. Not on a full disk: there it only takes room.
        output.Reset();
        if (eFailure == Failure::kLocal)
            DropPartial(strPartial);
        return eFailure;
    }
    m_file = std::move(output);
    m_strWritten = strPartial;
    return Failure::kNone;
}

bool CWinInetTransport::OpenPartialAt(const std::string& strPartial, std::uint64_t nFrom,
                                      MD5* pDigest, std::string* pstrWhy) {
    CloseFile();
    m_file.Reset(::CreateFileA(strPartial.c_str(), GENERIC_READ | GENERIC_WRITE,
                               /*dwShareMode=*/0, /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                               /*hTemplateFile=*/nullptr));
    if (!m_file.IsValid()) {
        *pstrWhy = ErrorText("CreateFile " + strPartial, ::GetLastError());
        return false;
    }
    std::vector<unsigned char> buffer(256 * 1024);
    std::uint64_t nDone = 0;
    while (pDigest != nullptr && nDone < nFrom) {
        std::size_t cbRead = 0;
        const std::size_t cbWant =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), nFrom - nDone));
        if (!ReadAt(m_file.Get(), nDone, buffer.data(), cbWant, &cbRead) || cbRead == 0) {
            *pstrWhy = ErrorText("reading " + strPartial, ::GetLastError());
            return false;
        }
        pDigest->update(buffer.data(), static_cast<unsigned int>(cbRead));
        nDone += cbRead;
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(nFrom);
    if (!::SetFilePointerEx(m_file.Get(), at, /*lpNewFilePointer=*/nullptr, FILE_BEGIN) ||
        !::SetEndOfFile(m_file.Get())) {
        *pstrWhy = ErrorText("SetEndOfFile " + strPartial, ::GetLastError());
        return false;
    }
    m_strWritten = strPartial;
    return true;
}

bool CWinInetTransport::AdoptWholePartial(const std::string& strPartial,
                                          const std::string& strMD5) {
    MD5 digest;
    std::string strWhy;
    const std::uint64_t nSize = FileSizeOf(strPartial);
    if (nSize == 0 || !OpenPartialAt(strPartial, nSize, &digest, &strWhy))
        return false;
    return DigestMatches(strMD5, digest.toString());
}

bool CWinInetTransport::WrittenSha256(std::string* pstrSha256, std::uint64_t* pnSize,
                                      std::string* pstrWhy) {
    kelmar::Sha256 sha256;
    std::vector<unsigned char> buffer(256 * 1024);
    std::uint64_t nOffset = 0;
    for (;;) {
        std::size_t cbRead = 0;
        if (!ReadAt(m_file.Get(), nOffset, buffer.data(), buffer.size(), &cbRead)) {
            *pstrWhy = ErrorText("reading back " + m_strWritten, ::GetLastError());
            return false;
        }
        if (cbRead == 0)
            break;
        sha256.Update(buffer.data(), cbRead);
        nOffset += cbRead;
    }
    *pnSize = nOffset;
    *pstrSha256 = sha256.HexDigest();
    return true;
}

void CWinInetTransport::DropKept() {
    if (!m_strClaimed.empty() && m_strWritten == m_strClaimed)
        DropPartial(m_strClaimed);
}

void CWinInetTransport::DropPartial(const std::string& strPartial) {
    if (m_strWritten == strPartial) {
        CloseFile();
        m_strWritten.clear();
    }
    ::DeleteFileA(strPartial.c_str());
    m_folders.SetValidator(strPartial, std::string());
}

void CWinInetTransport::ReleasePartial() {
    if (m_strClaimed.empty())
        return;
    m_folders.Release(m_strClaimed);
    m_strClaimed.clear();
}

}  // namespace pellowd
