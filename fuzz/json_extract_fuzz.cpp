// libFuzzer target for ExtractJsonString, built natively (scripts/fuzz.sh).
// Input: one byte giving the key's length (mod 16), the key, then the text.
// Bytes become UTF-16-sized units; the top eight byte values stand for units
// that matter in practice (surrogates, BOM, replacement character, NUL).
#include "update/json_extract.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

wchar_t Unit(std::uint8_t byte)
{
    static constexpr wchar_t kSpecial[] = {0xD800, 0xDC00, 0xDBFF, 0xFEFF, 0xFFFD, 0xFFFF, 0x2605, 0x0000};
    return byte >= 0xF8 ? kSpecial[byte - 0xF8] : static_cast<wchar_t>(byte);
}

std::wstring Units(const std::uint8_t* data, std::size_t size)
{
    std::wstring text;
    text.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(Unit(data[i]));
    }
    return text;
}

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t keyLength = std::min<std::size_t>(data[0] % 16, size - 1);
    const std::wstring key = Units(data + 1, keyLength);
    const std::wstring json = Units(data + 1 + keyLength, size - 1 - keyLength);

    std::wstring value = L"stale";
    const bool found = ExtractJsonString(json, key, value);

    // Where the name is, and how many quotation marks follow the colon after it.
    const std::size_t name = json.find(L"\"" + key + L"\"");
    const std::size_t colon = name == std::wstring::npos ? name : json.find(L':', name);
    std::size_t quotesAfterColon = 0;
    std::size_t firstQuote = std::wstring::npos;
    for (std::size_t i = colon == std::wstring::npos ? json.size() : colon; i < json.size(); ++i) {
        if (json[i] == L'"') {
            if (quotesAfterColon++ == 0) {
                firstQuote = i;
            }
        }
    }

    if (!found) {
        Require(value.empty());
        Require(quotesAfterColon < 2);
        return 0;
    }
    // The value sits between the first two quotation marks after that colon.
    Require(quotesAfterColon >= 2);
    Require(value.find(L'"') == std::wstring::npos);
    Require(json.compare(firstQuote + 1, value.size(), value) == 0);
    Require(json[firstQuote + 1 + value.size()] == L'"');
    return 0;
}
