#include "chunks/chunkindex.h"

#include <cstring>

namespace chunks {

namespace {

const char kMagic[4] = {'Z', 'C', 'I', 'X'};

void PutLe32(std::uint32_t v, unsigned char* p) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutLe64(std::uint64_t v, unsigned char* p) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t GetLe32(const unsigned char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}
std::uint64_t GetLe64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}
Hash128 GetHash(const unsigned char* p) {
    Hash128 hash;
    hash.lo = GetLe64(p);
    hash.hi = GetLe64(p + 8);
    return hash;
}
int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string IndexSuffix(const std::string& strMD5Hex) {
    std::string strSuffix = ".";
    for (char c : strMD5Hex)
        strSuffix.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
    return strSuffix + ".cix";
}

bool LooksLikeIndexName(const std::string& strName) {
    const std::size_t n = strName.size();
    if (n < 37)
        return false;
    std::string strExt;
    for (std::size_t i = n - 4; i < n; ++i) {
        const char c = strName[i];
        strExt.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    if (strExt != ".cix")
        return false;
    if (strName[n - 37] != '.')
        return false;
    for (std::size_t i = n - 36; i < n - 4; ++i) {
        if (HexValue(strName[i]) < 0)
            return false;
    }
    return true;
}

bool DigestBytes(const std::string& strHex, unsigned char (&md5)[16]) {
    if (strHex.size() != 32)
        return false;
    for (std::size_t i = 0; i < 16; ++i) {
        const int hi = HexValue(strHex[2 * i]), lo = HexValue(strHex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        md5[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

CIndexWriter::CIndexWriter()
    : m_chunker([this](const Chunk& chunk) { m_chunks.push_back(chunk); },
                [this](const Span& span) { m_spans.push_back(span); }) {}

std::string CIndexWriter::Finish(const unsigned char (&md5)[16]) const {
    std::string strIndex(
        kHeaderBytes + m_spans.size() * kSpanRecordBytes + m_chunks.size() * kChunkRecordBytes,
        '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&strIndex[0]);
    std::memcpy(p, kMagic, 4);
    PutLe32(kFormatVersion, p + 4);
    PutLe32(kMinChunk, p + 8);
    PutLe32(kAvgChunk, p + 12);
    PutLe32(kMaxChunk, p + 16);
    PutLe32(static_cast<std::uint32_t>(kSpanMask), p + 20);
    PutLe32(kSpanMaxChunks, p + 24);
    PutLe64(m_chunker.BytesFed(), p + 32);
    std::memcpy(p + 40, md5, 16);
    PutLe32(static_cast<std::uint32_t>(m_spans.size()), p + 56);
    PutLe32(static_cast<std::uint32_t>(m_chunks.size()), p + 60);
    p += kHeaderBytes;
    for (const Span& span : m_spans) {
        PutLe32(static_cast<std::uint32_t>(span.nLength), p);
        PutLe32(span.nChunks, p + 4);
        PutLe64(span.hash.lo, p + 8);
        PutLe64(span.hash.hi, p + 16);
        p += kSpanRecordBytes;
    }
    for (const Chunk& chunk : m_chunks) {
        PutChunkRecord(chunk.nLength, chunk.hash, p);
        p += kChunkRecordBytes;
    }
    return strIndex;
}

bool ParseHeader(const unsigned char* p, std::size_t cb, std::uint64_t nMaxFileBytes,
                 IndexHeader* pHeader, std::string* pstrWhy) {
    if (cb < kHeaderBytes || std::memcmp(p, kMagic, 4) != 0) {
        *pstrWhy = "not a chunk index";
        return false;
    }
    if (GetLe32(p + 4) != kFormatVersion) {
        *pstrWhy = "chunk index version " + std::to_string(GetLe32(p + 4));
        return false;
    }
    if (GetLe32(p + 8) != kMinChunk || GetLe32(p + 12) != kAvgChunk ||
        GetLe32(p + 16) != kMaxChunk || GetLe32(p + 20) != kSpanMask ||
        GetLe32(p + 24) != kSpanMaxChunks || GetLe32(p + 28) != 0) {
        *pstrWhy = "chunk index with other chunking parameters";
        return false;
    }
    IndexHeader header;
    header.nFileSize = GetLe64(p + 32);
    std::memcpy(header.md5, p + 40, 16);
    header.nSpans = GetLe32(p + 56);
    header.nChunks = GetLe32(p + 60);
    // Every chunk but the file's last is at least kMinChunk long, and every
    // span holds at least one chunk and at most kSpanMaxChunks.
    if (header.nFileSize == 0 || header.nFileSize > nMaxFileBytes || header.nSpans == 0 ||
        header.nChunks < header.nSpans || header.nChunks > header.nFileSize / kMinChunk + 1 ||
        std::uint64_t(header.nChunks) > std::uint64_t(header.nSpans) * kSpanMaxChunks ||
        header.nFileSize > std::uint64_t(header.nChunks) * kMaxChunk) {
        *pstrWhy = "chunk index counts do not fit a file of " + std::to_string(header.nFileSize) +
                   " bytes";
        return false;
    }
    *pHeader = header;
    return true;
}

bool ParseSpans(const unsigned char* p, std::size_t cb, const IndexHeader& header,
                std::vector<SpanEntry>* pSpans, std::string* pstrWhy) {
    if (cb != header.SpanTableBytes()) {
        *pstrWhy = "chunk index span table of the wrong size";
        return false;
    }
    std::vector<SpanEntry> spans(header.nSpans);
    std::uint64_t nOffset = 0, nChunks = 0;
    for (std::uint32_t i = 0; i < header.nSpans; ++i, p += kSpanRecordBytes) {
        SpanEntry& span = spans[i];
        span.nLength = GetLe32(p);
        span.nChunks = GetLe32(p + 4);
        span.hash = GetHash(p + 8);
        span.nOffset = nOffset;
        span.nFirstChunk = static_cast<std::uint32_t>(nChunks);
        const bool bLast = i + 1 == header.nSpans;
        const std::uint64_t nLeast = bLast ? std::uint64_t(span.nChunks - 1) * kMinChunk + 1
                                           : std::uint64_t(span.nChunks) * kMinChunk;
        if (span.nChunks == 0 || span.nChunks > kSpanMaxChunks || span.nLength < nLeast ||
            span.nLength > std::uint64_t(span.nChunks) * kMaxChunk) {
            *pstrWhy = "chunk index span " + std::to_string(i) + " cannot hold its chunks";
            return false;
        }
        nOffset += span.nLength;
        nChunks += span.nChunks;
        if (nOffset > header.nFileSize || nChunks > header.nChunks) {
            *pstrWhy = "chunk index spans past the file";
            return false;
        }
    }
    if (nOffset != header.nFileSize || nChunks != header.nChunks) {
        *pstrWhy = "chunk index spans do not add up to the file";
        return false;
    }
    pSpans->swap(spans);
    return true;
}

bool ParseSpanChunks(const unsigned char* p, std::size_t cb, const SpanEntry& span, bool bLastSpan,
                     std::vector<ChunkEntry>* pChunks, std::string* pstrWhy) {
    if (cb != std::uint64_t(span.nChunks) * kChunkRecordBytes) {
        *pstrWhy = "chunk records of the wrong size";
        return false;
    }
    std::vector<ChunkEntry> chunks(span.nChunks);
    std::uint64_t nOffset = span.nOffset;
    for (std::uint32_t i = 0; i < span.nChunks; ++i, p += kChunkRecordBytes) {
        ChunkEntry& chunk = chunks[i];
        chunk.nLength = GetLe32(p);
        chunk.hash = GetHash(p + 4);
        chunk.nOffset = nOffset;
        const bool bFileEnd = bLastSpan && i + 1 == span.nChunks;
        if (chunk.nLength > kMaxChunk || chunk.nLength == 0 ||
            (!bFileEnd && chunk.nLength < kMinChunk)) {
            *pstrWhy = "chunk of an impossible length " + std::to_string(chunk.nLength);
            return false;
        }
        nOffset += chunk.nLength;
    }
    if (nOffset != span.nOffset + span.nLength) {
        *pstrWhy = "chunk lengths do not add up to their span";
        return false;
    }
    pChunks->swap(chunks);
    return true;
}

}  // namespace chunks
