// libFuzzer target for ExtractJsonString, built natively (scripts/fuzz.sh).
// Input: one byte giving the key's length (mod 16), the key, then the text.
// Bytes become UTF-16 units; the top eight stand for units that matter in
// practice (surrogates, BOM, replacement character, NUL).
#include "update/json_extract.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::wstring Units(const std::uint8_t* data, std::size_t size)
{
    static constexpr wchar_t kNotable[] = {0xD800, 0xDC00, 0xDBFF, 0xFEFF, 0xFFFD, 0xFFFF, 0x2605, 0x0000};
    std::wstring text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(data[i] >= 0xF8 ? kNotable[data[i] - 0xF8] : static_cast<wchar_t>(data[i]));
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

    // The value must sit between the first two quotation marks after the
    // colon that follows the quoted name; with fewer than two, nothing is found.
    const std::size_t name = json.find(L"\"" + key + L"\"");
    const std::size_t colon = name == std::wstring::npos ? name : json.find(L':', name);
    const std::size_t open = colon == std::wstring::npos ? colon : json.find(L'"', colon);
    const std::size_t close = open == std::wstring::npos ? open : json.find(L'"', open + 1);
    Require(found == (close != std::wstring::npos));
    Require(found ? value == json.substr(open + 1, close - open - 1) : value.empty());
    return 0;
}
