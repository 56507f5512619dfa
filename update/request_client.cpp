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

// The answer's status code; 0 when there is none to read.
DWORD QueryStatus(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return status;
}

// The Windows sign-in scheme a proxy's 407 offers, Negotiate before NTLM;
// 0 for any other offer: Basic and Digest would need a password, and the
// program never asks for one nor sends one.
DWORD ProxySignInScheme(HINTERNET request)
{
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY) {
        return 0;
    }
    if ((supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) != 0) {
        return WINHTTP_AUTH_SCHEME_NEGOTIATE;
    }
    if ((supported & WINHTTP_AUTH_SCHEME_NTLM) != 0) {
        return WINHTTP_AUTH_SCHEME_NTLM;
    }
    return 0;
}

// The whole body as text, within the deadline.
bool ReadAnswer(HINTERNET request, ULONGLONG deadline, std::wstring& response)
{
    std::string bytes;
    if (!ReadBody(request, deadline, bytes)) {
        return false;
    }
    response = FromUtf8(bytes);
    return true;
}

// What both tries of one exchange send, and where.
struct Exchange {
    HINTERNET connection;
    const wchar_t* verb;
    const wchar_t* target;
    DWORD flags;
    const std::string& payload;
};

HINTERNET OpenExchange(const Exchange& exchange, bool keepAlive)
{
    HINTERNET request = WinHttpOpenRequest(exchange.connection, exchange.verb, exchange.target, nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, exchange.flags);
    if (request == nullptr) {
        return nullptr;
    }
    // Bounds the wait for the answer's first bytes; the session time-outs
    // alone do not cover a server that accepts and never answers.
    DWORD responseTimeout = kReceiveTimeoutMs;
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof(responseTimeout));
    if (!keepAlive) {
        DWORD noKeepAlive = WINHTTP_DISABLE_KEEP_ALIVE;
        WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &noKeepAlive, sizeof(noKeepAlive));
    }
    WinHttpAddRequestHeaders(request, kJsonHeaders, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
    return request;
}

// Sends the request and waits for the answer's headers.
bool SendExchange(const Exchange& exchange, HINTERNET request)
{
    const std::string& payload = exchange.payload;
    const DWORD count = static_cast<DWORD>(payload.size());
    void* data = payload.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(payload.data());
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, count, count, 0) &&
           WinHttpReceiveResponse(request, nullptr);
}

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
    std::string payload;
    if (!body.empty()) {
        payload = ToUtf8(body);
    }
    const Exchange exchange{connection.Get(), body.empty() ? L"GET" : L"POST", target.c_str(), flags, payload};
    const ULONGLONG deadline = GetTickCount64() + deadlineMs;
    // One request per run: a connection kept alive would only keep WinHTTP's
    // pool (a thread, its stack, the socket) alive after the check.
    DWORD scheme = 0;
    {
        const InternetHandle request(OpenExchange(exchange, false));
        if (!request || !SendExchange(exchange, request.Get())) {
            return false;
        }
        if (QueryStatus(request.Get()) != HTTP_STATUS_PROXY_AUTH_REQ) {
            return ReadAnswer(request.Get(), deadline, response);
        }
        scheme = ProxySignInScheme(request.Get());
    }
    // A proxy that signs users in with Windows: once more, with the user's
    // own sign-in for the proxy alone, on a request that keeps its connection
    // for the handshake. No name and no password: Windows answers itself.
    if (scheme == 0 || GetTickCount64() >= deadline) {
        return false;
    }
    const InternetHandle retry(OpenExchange(exchange, true));
    if (!retry || !WinHttpSetCredentials(retry.Get(), WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) ||
        !SendExchange(exchange, retry.Get()) || QueryStatus(retry.Get()) == HTTP_STATUS_PROXY_AUTH_REQ) {
        return false;
    }
    return ReadAnswer(retry.Get(), deadline, response);
}
