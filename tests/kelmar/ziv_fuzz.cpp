// libFuzzer target for the .ziv reader: any bytes must decode to a status, never crash, and
// a file that decodes must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kelmar/zivformat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string image(reinterpret_cast<const char*>(data), size);
    std::string text;
    if (kelmar::DecodeZiv(image, &text) == kelmar::kZivOk) {
        std::string again;
        if (kelmar::EncodeZiv(text, &again) != kelmar::kZivOk || again != image) {
            std::abort();
        }
    } else if (!text.empty()) {
        std::abort();
    }
    return 0;
}
