// Control of the local HTTPS test service (scripts/test_service.py) over a
// WinHTTP client of its own, so a fault in the product's client cannot hide.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace test_service {

inline unsigned short Port()
{
    return static_cast<unsigned short>(std::atoi(std::getenv("NOCTARA_TEST_SERVICE_PORT")));
}
inline std::wstring Url(const std::wstring& path) { return L"https://localhost:" + std::to_wstring(Port()) + path; }

// One request (POST when `body` is not empty); true on status 200.
inline bool Exchange(const std::wstring& path, const std::string& body = "", std::string* answer = nullptr)
{
    using Handle = std::unique_ptr<void, decltype(&WinHttpCloseHandle)>;
    Handle session(WinHttpOpen(L"Tests", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0), WinHttpCloseHandle);
    Handle connection(WinHttpConnect(session.get(), L"localhost", Port(), 0), WinHttpCloseHandle);
    Handle request(WinHttpOpenRequest(connection.get(), body.empty() ? L"GET" : L"POST", path.c_str(), nullptr,
                                      nullptr, nullptr, WINHTTP_FLAG_SECURE),
                   WinHttpCloseHandle);
    const DWORD size = static_cast<DWORD>(body.size());
    DWORD status = 0, statusSize = sizeof(status), available = 0, read = 0;
    if (!WinHttpSendRequest(request.get(), nullptr, 0, const_cast<char*>(body.data()), size, size, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status,
                        &statusSize, nullptr);
    for (std::string chunk; answer && WinHttpQueryDataAvailable(request.get(), &available) && available > 0;) {
        chunk.resize(available);
        WinHttpReadData(request.get(), chunk.data(), available, &read);
        answer->append(chunk, 0, read);
    }
    return status == 200;
}

// Mode names are in scripts/test_service.py; `seconds` shortens stall and trickle.
inline bool SetMode(const std::wstring& name, double seconds = -1)
{
    return Exchange(L"/__mode?name=" + name + (seconds < 0 ? L"" : L"&seconds=" + std::to_wstring(seconds)));
}
// Default mode, empty log, stalled answers end now.
inline bool Reset() { return Exchange(L"/__reset"); }

// Every later request gets this answer; `headers` is a JSON object.
inline bool Script(int status, const std::string& body, const std::string& headers = "{}")
{
    DWORD size = static_cast<DWORD>(body.size() * 2 + 4);
    std::string b64(size, '\0');
    CryptBinaryToStringA(reinterpret_cast<const BYTE*>(body.data()), static_cast<DWORD>(body.size()),
                         CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, b64.data(), &size);
    b64.resize(body.empty() ? 0 : size);
    return Exchange(L"/__script", "{\"status\":" + std::to_string(status) + ",\"body_b64\":\"" + b64 +
                                      "\",\"headers\":" + headers + "}");
}

// Requests answered since the last reset, each as its JSON text (json.dumps: {"method": ...}).
inline std::vector<std::string> Log()
{
    std::string text;
    std::vector<std::string> log;
    Exchange(L"/__log", "", &text);
    for (size_t at = text.find("{\"method\": "), next; at != std::string::npos; at = next) {
        next = text.find("{\"method\": ", at + 1);
        log.push_back(text.substr(at, next == std::string::npos ? next : next - at));
    }
    return log;
}

// The text after `before` in a logged request, up to the next quotation mark.
inline std::string Between(const std::string& entry, const std::string& before)
{
    const size_t start = entry.find(before);
    const size_t begin = start == std::string::npos ? entry.size() : start + before.size();
    return entry.substr(begin, entry.find('"', begin) - begin);
}
inline std::string Field(const std::string& e, const std::string& name) { return Between(e, "\"" + name + "\": \""); }
inline std::string Header(const std::string& e, const std::string& name) { return Between(e, "[\"" + name + "\", \""); }

}  // namespace test_service
