#include "tests/update/service.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winhttp.h>

#include <cstdlib>
#include <memory>

namespace test_service {
namespace {

struct HandleCloser {
    void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

bool Exchange(const wchar_t* verb, const std::wstring& path, const std::string& body, std::string* answer)
{
    Handle session(WinHttpOpen(L"NoctaraTests", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    Handle connection(session ? WinHttpConnect(session.get(), L"localhost", Port(), 0) : nullptr);
    Handle request(connection ? WinHttpOpenRequest(connection.get(), verb, path.c_str(), nullptr,
                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH)
                              : nullptr);
    if (!request) {
        return false;
    }
    const DWORD size = static_cast<DWORD>(body.size());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            size ? const_cast<char*>(body.data()) : nullptr, size, size, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    std::string bytes;
    for (DWORD available = 0; WinHttpQueryDataAvailable(request.get(), &available) && available > 0;) {
        const size_t before = bytes.size();
        bytes.resize(before + available);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), bytes.data() + before, available, &read)) {
            return false;
        }
        bytes.resize(before + read);
    }
    if (answer != nullptr) {
        *answer = std::move(bytes);
    }
    return status == 200;
}

// The text between `before` and the next quotation mark.
std::string Between(const std::string& text, const std::string& before)
{
    const size_t start = text.find(before);
    if (start == std::string::npos) {
        return std::string();
    }
    const size_t begin = start + before.size();
    return text.substr(begin, text.find('"', begin) - begin);
}

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

std::string Base64(const std::string& bytes)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    }
    return out;
}

}  // namespace

unsigned short Port()
{
    const char* port = std::getenv("NOCTARA_TEST_SERVICE_PORT");
    return static_cast<unsigned short>(port ? std::atoi(port) : 0);
}

std::wstring Url(const std::wstring& pathAndQuery)
{
    return L"https://localhost:" + std::to_wstring(Port()) + pathAndQuery;
}

bool SetMode(const std::wstring& name, double seconds)
{
    std::wstring path = L"/__mode?name=" + name;
    if (seconds >= 0) {
        path += L"&seconds=" + std::to_wstring(seconds);
    }
    return Exchange(L"GET", path, std::string(), nullptr);
}

bool Reset()
{
    return Exchange(L"GET", L"/__reset", std::string(), nullptr);
}

bool Script(int status, const std::string& body, const std::vector<std::pair<std::string, std::string>>& headers)
{
    std::string doc = "{\"status\":" + std::to_string(status) + ",\"body_b64\":\"" + Base64(body) + "\",\"headers\":{";
    for (size_t i = 0; i < headers.size(); ++i) {
        doc += (i ? ",\"" : "\"") + headers[i].first + "\":\"" + headers[i].second + "\"";
    }
    return Exchange(L"POST", L"/__script", doc + "}}", nullptr);
}

// The service writes the log with Python's json.dumps: entries start with
// {"method": and strings of these requests need no escapes.
std::vector<LoggedRequest> Log()
{
    std::vector<LoggedRequest> requests;
    std::string text;
    if (!Exchange(L"GET", L"/__log", std::string(), &text)) {
        return requests;
    }
    for (size_t at = text.find("{\"method\": "); at != std::string::npos;) {
        const size_t next = text.find("{\"method\": ", at + 1);
        LoggedRequest request;
        request.entry = text.substr(at, next == std::string::npos ? std::string::npos : next - at);
        request.method = Between(request.entry, "\"method\": \"");
        request.path = Between(request.entry, "\"path\": \"");
        request.body = FromHex(Between(request.entry, "\"body_hex\": \""));
        requests.push_back(std::move(request));
        at = next;
    }
    return requests;
}

std::string LoggedRequest::Header(const std::string& name) const
{
    return Between(entry, "[\"" + name + "\", \"");
}

}  // namespace test_service
