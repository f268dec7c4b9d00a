// UTF-8 case conversion over arbitrary bytes: no out-of-bounds access, and
// every mapping swaps a two-byte character for another, so lengths never change.
#include "MyUtilsText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const bool flag = data[0] & 1;
    const std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string up = MyUtils::ToUppercase(in, flag);
    const std::string low = MyUtils::ToLowercase(in, flag);
    if (up.size() != in.size() || low.size() != in.size())
        std::abort();
    if (in.size() <= 4) {
        const MyUtils::TSpecialChars row = MyUtils::GetCodeFromChar(in);
        if (row.Code != -1 && MyUtils::GetCharFromCode(row.Code) != in)
            std::abort();
    }
    return 0;
}
