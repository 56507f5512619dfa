// Control of the local HTTPS test service (scripts/test_service.py), over
// WinHTTP of its own so a fault in the product's client cannot hide here.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace test_service {

// https://localhost:PORT followed by `pathAndQuery`.
std::wstring Url(const std::wstring& pathAndQuery);
unsigned short Port();

// GET /__mode?name=...[&seconds=...]; a negative `seconds` leaves it out.
bool SetMode(const std::wstring& name, double seconds = -1);
// GET /__reset: default mode, empty log, stalled answers end now.
bool Reset();
// POST /__script with one answer: status, body bytes, extra headers.
bool Script(int status, const std::string& body,
            const std::vector<std::pair<std::string, std::string>>& headers = {});

struct LoggedRequest {
    std::string method;
    std::string path;
    std::string body;   // the raw bytes
    std::string entry;  // the log's JSON text of this request
    // The value of the header of that name as sent; empty when absent.
    std::string Header(const std::string& name) const;
};
// GET /__log: every request the service answered since the last reset.
std::vector<LoggedRequest> Log();

}  // namespace test_service
