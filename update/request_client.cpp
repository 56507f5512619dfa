#include "update/request_client.h"

#include "app/scoped_handle.h"
#include "app/version.h"
#include "update/service_config.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winhttp.h>

#include <string>

const wchar_t kServiceBaseUrl[] = L"https://" NOCTARA_UPDATE_AUTHORITY L"/api/proxy?file=";

namespace {

constexpr wchar_t kUserAgent[] = NOCTARA_USER_AGENT;
constexpr wchar_t kJsonHeaders[] = L"Content-Type: application/json\r\nAccept: application/json\r\n";
constexpr int kResolveTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 10000;
constexpr int kReceiveTimeoutMs = 10000;
constexpr DWORD kHostUnits = 256;
constexpr DWORD kPathUnits = 1024;

using InternetHandle = ScopedHandle<HINTERNET, WinHttpCloseHandle>;

std::string ToUtf8(const std::wstring& text)
{
    std::string bytes;
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size > 0) {
        bytes.resize(static_cast<size_t>(size) - 1);
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    }
    return bytes;
}

std::wstring FromUtf8(const std::string& bytes)
{
    std::wstring text;
    if (bytes.empty()) {
        return text;
    }
    const int length = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
    if (units > 0) {
        text.resize(static_cast<size_t>(units));
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, text.data(), units);
    }
    return text;
}

// The length the server announced, when it announced one.
bool QueryContentLength(HINTERNET request, DWORD& length)
{
    length = 0;
    DWORD size = sizeof(length);
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

// Reads the body to its end. Fails on a broken read, on a body over the
// limit, past the deadline, and on a body shorter than announced: WinHTTP
// reports a connection closed early as a normal end of data.
bool ReadBody(HINTERNET request, ULONGLONG deadline, std::string& body)
{
    body.clear();
    DWORD announced = 0;
    const bool hasLength = QueryContentLength(request, announced);
    if (hasLength && announced > kMaxResponseBytes) {
        return false;
    }
    for (;;) {
        // Checked between reads, so the overrun is one read's time-out at most.
        if (GetTickCount64() >= deadline) {
            return false;
        }
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return false;
        }
        if (available == 0) {
            break;
        }
        if (available > kMaxResponseBytes - body.size()) {
            return false;
        }
        const size_t before = body.size();
        body.resize(before + available);
        DWORD read = 0;
        if (!WinHttpReadData(request, body.data() + before, available, &read)) {
            return false;
        }
        body.resize(before + read);
        if (read == 0) {
            break;
        }
    }
    return !hasLength || body.size() == announced;
}

// WinHTTP is delay-loaded; loading it first, from the system folder only,
// keeps a winhttp.dll beside the executable out whatever the process's
// search path, and a failed load fails the request instead of raising the
// delay-load helper's exception on this thread.
using WinHttpLibrary = ScopedHandle<HMODULE, FreeLibrary>;

// Automatic proxy discovery first; older systems refuse that access type.
HINTERNET OpenSession()
{
    HINTERNET session =
        WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) {
        session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    }
    return session;
}

}  // namespace

std::wstring BuildEndpointUrl(ServiceEndpoint endpoint)
{
    switch (endpoint) {
    case ServiceEndpoint::CheckUpdate:
        return std::wstring(kServiceBaseUrl) + L"check_update.php";
    }
    return std::wstring();
}

bool SendJsonRequest(const std::wstring& url, const std::wstring& body, std::wstring& response)
{
    return request_client_detail::SendJsonRequestWithin(url, body, response, kExchangeDeadlineMs);
}

bool request_client_detail::SendJsonRequestWithin(const std::wstring& url, const std::wstring& body,
                                                  std::wstring& response, unsigned long long deadlineMs)
{
    response.clear();
    const WinHttpLibrary library(LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!library) {
        return false;
    }

    wchar_t host[kHostUnits] = {};
    wchar_t path[kPathUnits] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostUnits;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathUnits;
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        return false;
    }
    // Extra information is not asked for on its own, so the path carries the
    // query, which names the endpoint.
    const std::wstring target(path, parts.dwUrlPathLength);

    InternetHandle root(OpenSession());
    if (!root) {
        return false;
    }
    WinHttpSetTimeouts(root.Get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);

    InternetHandle connection(WinHttpConnect(root.Get(), host, parts.nPort, 0));
    if (!connection) {
        return false;
    }
    DWORD flags = WINHTTP_FLAG_REFRESH;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
        flags |= WINHTTP_FLAG_SECURE;
    }
    InternetHandle request(WinHttpOpenRequest(connection.Get(), body.empty() ? L"GET" : L"POST", target.c_str(),
                                              nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) {
        return false;
    }
    // Bounds the wait for the answer's first bytes; the session time-outs
    // alone do not cover a server that accepts and never answers.
    DWORD responseTimeout = kReceiveTimeoutMs;
    WinHttpSetOption(request.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof(responseTimeout));
    // One request per run: a connection kept alive would only keep WinHTTP's
    // pool (a thread, its stack, the socket) alive after the check.
    DWORD noKeepAlive = WINHTTP_DISABLE_KEEP_ALIVE;
    WinHttpSetOption(request.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &noKeepAlive, sizeof(noKeepAlive));
    WinHttpAddRequestHeaders(request.Get(), kJsonHeaders, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);

    std::string payload;
    if (!body.empty()) {
        payload = ToUtf8(body);
    }
    const DWORD count = static_cast<DWORD>(payload.size());
    const ULONGLONG deadline = GetTickCount64() + deadlineMs;
    if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            payload.empty() ? WINHTTP_NO_REQUEST_DATA : payload.data(), count, count, 0)) {
        return false;
    }
    if (!WinHttpReceiveResponse(request.Get(), nullptr)) {
        return false;
    }
    std::string bytes;
    if (!ReadBody(request.Get(), deadline, bytes)) {
        return false;
    }
    response = FromUtf8(bytes);
    return true;
}
