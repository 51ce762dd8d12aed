#include "files/wholefile.h"

#include "files/wholefile_platform.h"

namespace files {

bool WriteWholeFile(const std::string& strPath, const std::string& strTemp,
                    const std::string& strBytes, Failure* pFailure) {
    Failure failure;
    if (PutOnDisk(strTemp, strBytes, failure) && MoveOver(strTemp, strPath, failure))
        return true;
    // A temporary file that could not even be opened is not ours to remove.
    if (failure.step != Failure::kOpen)
        RemoveTemporary(strTemp);
    if (pFailure != nullptr)
        *pFailure = failure;
    return false;
}

ReadResult ReadWholeFile(const std::string& strPath, std::size_t cbMax, std::string& strBytes,
                         int* pnError) noexcept {
    strBytes.clear();
    int nIgnored = 0;
    int& nError = pnError != nullptr ? *pnError : nIgnored;
    nError = 0;
    return ReadOpened(strPath, cbMax, strBytes, nError);
}

}  // namespace files
