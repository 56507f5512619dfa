#include "update/update_check.h"

#include "tray/tray_icon.h"
#include "update/json_extract.h"
#include "update/request_client.h"

#include <algorithm>
#include <cwctype>

// C0, DEL and C1: none belongs in a version or an address.
static bool IsControl(wchar_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Shown in the menu: a text that could not be a version (empty, too long,
// or with control characters, which the menu would cut or show as garbage)
// is no answer.
static bool IsVersionText(const std::wstring& version)
{
    return !version.empty() && version.size() <= kMaxVersionLength &&
           std::none_of(version.begin(), version.end(), IsControl);
}

bool CheckForUpdate(std::wstring& latestVersion, std::wstring& downloadUrl)
{
    latestVersion.clear();
    downloadUrl.clear();
    std::wstring response;
    if (!SendJsonRequest(BuildEndpointUrl(ServiceEndpoint::CheckUpdate), std::wstring(), response)) {
        return false;
    }
    std::wstring version;
    std::wstring url;
    ExtractJsonString(response, L"latest_version", version);
    ExtractJsonString(response, L"download_url", url);
    // Any other text counts as newer: the service alone decides what is
    // offered. An address the download command would refuse is no offer.
    if (!IsVersionText(version) || version == kAppVersion || !IsOpenableDownloadUrl(url)) {
        return false;
    }
    latestVersion = version;
    downloadUrl = url;
    return true;
}

DWORD WINAPI CheckThreadProc(LPVOID)
{
    CheckResult result;
    std::wstring version;
    std::wstring url;
    if (CheckForUpdate(version, url)) {
        result.updateAvailable = true;
        result.downloadUrl = url;
        result.latestVersion = version;
        result.showBalloon = true;
        result.balloonText = kUpdateBalloonText;
        result.balloonInfoFlags = NIIF_INFO;
        result.balloonKind = BalloonKind::Update;
    }
    // Stored before the mark is raised: the UI thread reads it only after
    // taking the mark.
    AppState::checkResult = result;
    AppState::checkResultReady.store(true);
    if (AppState::mainWindow != nullptr) {
        PostMessageW(AppState::mainWindow, kCheckResultMessage, 0, 0);
    }
    return 0;
}

void ApplyCheckResult()
{
    const CheckResult& result = AppState::checkResult;
    if (result.updateAvailable) {
        AppState::updateAvailable = true;
        AppState::downloadUrl = result.downloadUrl;
        AppState::latestVersion = result.latestVersion;
    }
    if (result.showBalloon) {
        ShowBalloon(kAppName, result.balloonText, result.balloonInfoFlags, result.balloonKind);
    }
}

bool IsOpenableDownloadUrl(const std::wstring& url)
{
    static constexpr wchar_t kScheme[] = L"https://";
    constexpr size_t kSchemeLength = ARRAYSIZE(kScheme) - 1;
    if (url.size() <= kSchemeLength || url.size() > kMaxDownloadUrlLength) {
        return false;
    }
    for (size_t i = 0; i < kSchemeLength; ++i) {
        if (std::towlower(url[i]) != kScheme[i]) {
            return false;
        }
    }
    const wchar_t first = url[kSchemeLength];
    if (first == L'/' || first == L'?' || first == L'#' || first == L'@' || first == L':') {
        return false;  // no host
    }
    for (const wchar_t c : url) {
        if (IsControl(c) || std::iswspace(c) || c == L'"' || c == L'\\') {
            return false;
        }
    }
    return true;
}

void OpenDownloadUrl()
{
    if (IsOpenableDownloadUrl(AppState::downloadUrl)) {
        ShellExecuteW(nullptr, L"open", AppState::downloadUrl.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
}
