// The .ziv format of the plaza information file: a 16-byte header, then the XML text
// enciphered by XOR. kelmar/ZIV_FORMAT.md describes the layout byte by byte.
//
// These functions are plain data in, data out, and never throw (a lack of memory shows as
// kZivNoMemory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelmar {

enum ZivStatus {
    kZivOk,
    kZivCannotRead,     // the file is missing or cannot be opened or read
    kZivEmpty,          // the file has no bytes at all
    kZivTruncated,      // shorter than its header says
    kZivNotZiv,         // the magic is wrong: some other kind of file
    kZivBadVersion,     // a .ziv layout this code does not know
    kZivTrailingBytes,  // longer than its header says
    kZivDamaged,        // the check value does not match the deciphered text
    kZivTooLarge,       // the text exceeds kZivMaxTextSize
    kZivTextHasNul,     // the text holds a zero byte, which no caller could see past
    kZivNoMemory,
};

constexpr std::size_t kZivHeaderSize = 16;
// Plaza information files are a few kilobytes; the limit keeps a forged length from making
// the reader allocate without bound.
constexpr std::size_t kZivMaxTextSize = 16u * 1024u * 1024u;

// A short English description of a status, for messages ("the file is truncated").
const char* ZivStatusText(ZivStatus status) noexcept;

// Enciphers `text` into a complete .ziv image in `*ziv`. Fails (leaving `*ziv` empty) for
// text over kZivMaxTextSize or holding a zero byte.
ZivStatus EncodeZiv(const std::string& text, std::string* ziv) noexcept;

// Checks and deciphers a .ziv image. On success `*text` holds the XML bytes; on any failure
// it is empty.
ZivStatus DecodeZiv(const std::string& ziv, std::string* text) noexcept;

// Reads the whole file `path` into `*bytes` if it has at most `maxSize` bytes. kZivOk,
// kZivCannotRead or kZivTooLarge (`*bytes` empty on failure). For kZivCannotRead, `*error`
// (when given) holds what the system said, as files::ReadWholeFile() reports it.
ZivStatus ReadWholeFile(const char* path, std::size_t maxSize, std::string* bytes,
                        int* error = nullptr) noexcept;

// ReadWholeFile() then DecodeZiv(); a file of no bytes gives kZivEmpty.
ZivStatus DecodeZivFile(const char* path, std::string* text) noexcept;

// CRC-32 (ISO-HDLC: reflected polynomial 0xEDB88320, initial and final XOR 0xFFFFFFFF),
// as in zip and PNG. "123456789" gives 0xCBF43926.
std::uint32_t Crc32(const void* data, std::size_t size) noexcept;

}  // namespace kelmar
