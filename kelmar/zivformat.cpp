#include "kelmar/zivformat.h"

#include <cstring>

#include "files/wholefile.h"

namespace kelmar {
namespace {

const unsigned char kMagic[4] = {'Z', 'I', 'V', 0x1A};
const unsigned char kVersion = 1;
// The key hides the text from a casual look only; it is no protection against a reader who
// has this code.
const unsigned char kKey[16] = {'K', 'e', 'l', 'm', 'a', 'r', '.', 'Z',
                                'I', 'V', '.', 'P', 'l', 'a', 'z', 'a'};

unsigned char KeyStream(std::size_t i) {
    // Mixing in the position keeps a run of equal bytes (indentation) from showing the key.
    return static_cast<unsigned char>(kKey[i % sizeof kKey] ^ (i % 251));
}

void PutU32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint32_t GetU32(const unsigned char* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

}  // namespace

const char* ZivStatusText(ZivStatus status) noexcept {
    switch (status) {
        case kZivOk:
            return "ok";
        case kZivCannotRead:
            return "the file cannot be read";
        case kZivEmpty:
            return "the file is empty";
        case kZivTruncated:
            return "the file is truncated";
        case kZivNotZiv:
            return "the file is not a .ziv file";
        case kZivBadVersion:
            return "the file has an unknown .ziv version";
        case kZivTrailingBytes:
            return "the file has bytes after its end";
        case kZivDamaged:
            return "the file is damaged (check value mismatch)";
        case kZivTooLarge:
            return "the text is too large";
        case kZivTextHasNul:
            return "the text holds a zero byte";
        case kZivNoMemory:
            return "out of memory";
    }
    return "unknown error";
}

std::uint32_t Crc32(const void* data, std::size_t size) noexcept {
    static const struct Table {
        std::uint32_t entry[256];
        Table() {
            for (std::uint32_t n = 0; n < 256; ++n) {
                std::uint32_t c = n;
                for (int k = 0; k < 8; ++k) {
                    c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                }
                entry[n] = c;
            }
        }
    } table;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table.entry[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

ZivStatus EncodeZiv(const std::string& text, std::string* ziv) noexcept {
    ziv->clear();
    if (text.size() > kZivMaxTextSize) {
        return kZivTooLarge;
    }
    if (text.find('\0') != std::string::npos) {
        return kZivTextHasNul;
    }
    try {
        unsigned char header[kZivHeaderSize] = {};
        std::memcpy(header, kMagic, sizeof kMagic);
        header[4] = kVersion;
        PutU32(header + 8, static_cast<std::uint32_t>(text.size()));
        PutU32(header + 12, Crc32(text.data(), text.size()));
        ziv->reserve(kZivHeaderSize + text.size());
        ziv->assign(reinterpret_cast<const char*>(header), sizeof header);
        for (std::size_t i = 0; i < text.size(); ++i) {
            ziv->push_back(static_cast<char>(static_cast<unsigned char>(text[i]) ^ KeyStream(i)));
        }
        return kZivOk;
    } catch (...) {
        ziv->clear();
        return kZivNoMemory;
    }
}

ZivStatus DecodeZiv(const std::string& ziv, std::string* text) noexcept {
    text->clear();
    if (ziv.empty()) {
        return kZivEmpty;
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(ziv.data());
    // A short file whose first bytes are not the magic is foreign rather than truncated.
    if (std::memcmp(bytes, kMagic, ziv.size() < sizeof kMagic ? ziv.size() : sizeof kMagic) != 0) {
        return kZivNotZiv;
    }
    if (ziv.size() < kZivHeaderSize) {
        return kZivTruncated;
    }
    if (bytes[4] != kVersion || bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0) {
        return kZivBadVersion;
    }
    const std::uint32_t length = GetU32(bytes + 8);
    const std::size_t present = ziv.size() - kZivHeaderSize;
    if (length > kZivMaxTextSize) {
        return kZivTooLarge;
    }
    if (present < length) {
        return kZivTruncated;
    }
    if (present > length) {
        return kZivTrailingBytes;
    }
    try {
        std::string plain(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            plain[i] = static_cast<char>(bytes[kZivHeaderSize + i] ^ KeyStream(i));
        }
        if (Crc32(plain.data(), plain.size()) != GetU32(bytes + 12)) {
            return kZivDamaged;
        }
        if (plain.find('\0') != std::string::npos) {
            return kZivTextHasNul;
        }
        text->swap(plain);
        return kZivOk;
    } catch (...) {
        return kZivNoMemory;
    }
}

ZivStatus ReadWholeFile(const char* path, std::size_t maxSize, std::string* bytes,
                        int* error) noexcept {
    bytes->clear();
    if (error != nullptr) {
        *error = 0;
    }
    if (path == nullptr) {
        return kZivCannotRead;
    }
    try {
        switch (files::ReadWholeFile(path, maxSize, *bytes, error)) {
            case files::ReadResult::kOk:
                return kZivOk;
            case files::ReadResult::kCannotRead:
                return kZivCannotRead;
            case files::ReadResult::kTooLarge:
                return kZivTooLarge;
            case files::ReadResult::kNoMemory:
                break;
        }
    } catch (...) {
        // The path itself could not be copied.
    }
    return kZivNoMemory;
}

ZivStatus DecodeZivFile(const char* path, std::string* text) noexcept {
    text->clear();
    std::string image;
    ZivStatus status = ReadWholeFile(path, kZivHeaderSize + kZivMaxTextSize, &image);
    if (status == kZivOk) {
        status = DecodeZiv(image, text);
    }
    return status;
}

}  // namespace kelmar
