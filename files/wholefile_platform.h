// The two halves of wholefile.h: the steps each platform takes its own way,
// and the reading in pieces both share. Only the implementations include this.
#pragma once

#include <cstddef>
#include <new>
#include <string>

#include "files/wholefile.h"

namespace files {

// Creates or empties strTemp and puts strBytes on disk in it. False with the
// failed step (kOpen or kWrite) and the system's error.
bool PutOnDisk(const std::string& strTemp, const std::string& strBytes, Failure& failure);

// Moves strTemp over strPath in one step, replacing a file there.
bool MoveOver(const std::string& strTemp, const std::string& strPath, Failure& failure);

void RemoveTemporary(const std::string& strTemp);

// The platform's half of ReadWholeFile(): opens the file and reads it through
// ReadPieces(). strBytes is empty and nError 0 when it is called.
ReadResult ReadOpened(const std::string& strPath, std::size_t cbMax, std::string& strBytes,
                      int& nError) noexcept;

// qwSizeNow is the file's size when it was opened (0 when it has none, as a
// folder): only a first answer, since the file may grow while it is read.
// readPiece(buffer, cbBuffer, cbGot, nError) reads the next piece, cbGot 0 at
// the end; false with nError when the read fails.
template <typename ReadPiece>
ReadResult ReadPieces(unsigned long long qwSizeNow, std::size_t cbMax, std::string& strBytes,
                      int& nError, ReadPiece readPiece) noexcept {
    if (qwSizeNow > cbMax)
        return ReadResult::kTooLarge;
    try {
        std::string strRead;
        char buffer[16384];
        for (;;) {
            std::size_t cbGot = 0;
            if (!readPiece(buffer, sizeof(buffer), cbGot, nError))
                return ReadResult::kCannotRead;
            if (cbGot == 0)
                break;
            if (cbGot > cbMax - strRead.size())
                return ReadResult::kTooLarge;
            strRead.append(buffer, cbGot);
        }
        strBytes.swap(strRead);
        return ReadResult::kOk;
    } catch (const std::bad_alloc&) {
        return ReadResult::kNoMemory;
    }
}

}  // namespace files
