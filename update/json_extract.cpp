#include "update/json_extract.h"

bool ExtractJsonString(const std::wstring& json, const std::wstring& key, std::wstring& value)
{
    value.clear();
    const std::wstring pattern = L"\"" + key + L"\"";
    const size_t name = json.find(pattern);
    if (name == std::wstring::npos) {
        return false;
    }
    const size_t colon = json.find(L':', name);
    if (colon == std::wstring::npos) {
        return false;
    }
    const size_t open = json.find(L'"', colon);
    if (open == std::wstring::npos) {
        return false;
    }
    const size_t close = json.find(L'"', open + 1);
    if (close == std::wstring::npos) {
        return false;
    }
    value.assign(json, open + 1, close - open - 1);
    return true;
}
