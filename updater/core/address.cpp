#include "updater/core/address.h"

AddressStatus FormatServerAddress(const std::string& strFormat, const std::string& strPath,
                                  std::string& strOut) {
    // No code page 936 second byte lies below 0x40, so a "%" byte is always
    // a "%" character and the format can be scanned byte by byte.
    std::string strResult;
    bool bPathUsed = false;
    for (std::size_t i = 0; i < strFormat.size(); ++i) {
        char c = strFormat[i];
        if (c != '%') {
            strResult += c;
            continue;
        }
        char cNext = i + 1 < strFormat.size() ? strFormat[i + 1] : '\0';
        if (cNext == '%') {
            strResult += '%';
        } else if (cNext == 's' && !bPathUsed) {
            strResult += strPath;
            bPathUsed = true;
        } else {
            return AddressStatus::BadFormat;
        }
        ++i;
    }
    if (strResult.size() > kMaxAddressLength)
        return AddressStatus::TooLong;
    strOut = strResult;
    return AddressStatus::Ok;
}
