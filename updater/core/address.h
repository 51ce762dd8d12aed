// Server addresses: the plaza information file gives each server as a
// printf-style text with one "%s" where a path on the server goes.
#pragma once

#include <cstddef>
#include <string>

enum class AddressStatus {
    Ok,
    BadFormat,  // a conversion other than one "%s" or "%%"
    TooLong,    // the result would not fit a 500-byte address field
};

// The longest address text the updater keeps (its fields hold 500 bytes).
const std::size_t kMaxAddressLength = 499;

// Applies strFormat to strPath as printf would for a format with one "%s":
// "%s" becomes strPath, "%%" becomes "%", a format without conversion yields
// itself and drops the path. No separator is added or removed. Anything else
// after a "%" (a second "%s", "%d", "%n", a lone "%" at the end) is refused,
// so a server text can never read arguments that are not there. strOut is
// set only on Ok.
AddressStatus FormatServerAddress(const std::string& strFormat, const std::string& strPath,
                                  std::string& strOut);
