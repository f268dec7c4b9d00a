// Number words and digit extraction over arbitrary text: the outputs must fit
// the documented buffer sizes exactly (the buffers are sized so that ASan
// catches one byte too many).
#include "MyUtilsText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string words = MyUtils::NumberToText(text);
    if (words.size() > MyUtils::NUMBER_TEXT_MAX)
        std::abort();

    std::unique_ptr<char[]> out(new char[MyUtils::NUMBER_TEXT_MAX + 1]);
    MyUtils::NumberToText(text.c_str(), out.get());
    if (std::strlen(text.c_str()) == text.size() && words != out.get())
        std::abort();

    std::unique_ptr<char[]> digits(new char[100]);
    const int n = MyUtils::ValidateNumber(text.c_str(), digits.get());
    if (n < 0 || n > 99 || std::strlen(digits.get()) != static_cast<size_t>(n))
        std::abort();
    std::unique_ptr<char[]> again(new char[MyUtils::NUMBER_TEXT_MAX + 1]);
    MyUtils::NumberToText(digits.get(), again.get());
    return 0;
}
