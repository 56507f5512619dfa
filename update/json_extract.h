// Reads one string member out of the update service's small JSON answer by
// plain text search. Deliberately free of Windows calls.
#pragma once

#include <string>

// Finds "key", then the first colon after it, and returns the characters
// between the next two quotation marks, verbatim (no escape decoding).
bool ExtractJsonString(const std::wstring& json, const std::wstring& key, std::wstring& value);
