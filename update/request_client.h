// One synchronous JSON request to the update service over WinHTTP.
#pragma once

#include <cstddef>
#include <string>

enum class ServiceEndpoint { CheckUpdate };

// The service's base address; its authority is chosen at build time.
extern const wchar_t kServiceBaseUrl[];

// A longer answer is not an answer from our service.
inline constexpr std::size_t kMaxResponseBytes = 1024 * 1024;

std::wstring BuildEndpointUrl(ServiceEndpoint endpoint);

// Sends `body` (GET when empty, else POST) and reads the whole answer,
// whatever its HTTP status. False, with `response` empty, when the exchange
// failed or the answer was cut short or too long.
bool SendJsonRequest(const std::wstring& url, const std::wstring& body, std::wstring& response);
