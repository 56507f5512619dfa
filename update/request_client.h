// One synchronous JSON request to the update service over WinHTTP.
#pragma once

#include <cstddef>
#include <string>

enum class ServiceEndpoint { CheckUpdate };

// The service's base address; its authority is chosen at build time.
extern const wchar_t kServiceBaseUrl[];

// A longer answer is not an answer from our service.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{1024} * 1024;

// Time allowed from sending the request to the end of the body. Per-read
// time-outs never fire on a server that sends a few bytes now and then, and
// keeping awake waits for the check's report.
inline constexpr unsigned long long kExchangeDeadlineMs = 30000;

std::wstring BuildEndpointUrl(ServiceEndpoint endpoint);

// Sends `body` (GET when empty, else POST) and reads the whole answer,
// whatever its HTTP status. False, with `response` empty, when the exchange
// failed or the answer was cut short or too long.
bool SendJsonRequest(const std::wstring& url, const std::wstring& body, std::wstring& response);

namespace request_client_detail {
// SendJsonRequest with the deadline given, so tests need not wait 30 s.
bool SendJsonRequestWithin(const std::wstring& url, const std::wstring& body, std::wstring& response,
                           unsigned long long deadlineMs);
}  // namespace request_client_detail
