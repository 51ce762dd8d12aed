// CXOREncrypt: decoding of the plaza information file (GamePlazaInfo.ziv) into XML text.
// The file format is described in kelmar/ZIV_FORMAT.md; tools/zivtool writes such files.
#pragma once

#include "kelmar/kelmar_api.h"

class KELMAR_API CXOREncrypt {
public:
    // Reads the .ziv file at `pszFilePath` (the path, not the content) and returns its text
    // deciphered into XML, zero-terminated.
    //
    // Never null. The result is empty text when the file is missing, empty, truncated,
    // damaged, of another kind, or cannot be read.
    //
    // The buffer belongs to the library: the caller must not free or change it. It stays
    // valid until the next ChangeToXmlStr() call of the process (from any thread) or until
    // the library is unloaded, so parse it before decoding the next file.
    static char* ChangeToXmlStr(const char* pszFilePath);

    CXOREncrypt() = delete;
};
