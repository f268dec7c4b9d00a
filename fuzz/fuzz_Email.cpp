// E-mail syntax check over arbitrary bytes: it must stay inside the text
// (notably when the at sign or a closing quote is missing) and never accept
// an address without an at sign or a dot after it.
#include "MyUtilsText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string address(reinterpret_cast<const char*>(data), size);
    if (MyUtils::IsEmailAddressValid(address)) {
        const size_t at = address.rfind('@');
        if (at == std::string::npos || address.find('.', at) == std::string::npos)
            std::abort();
    }
    return 0;
}
