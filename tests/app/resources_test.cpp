// The resources, read back from the built executable.
#include "tests/support/app_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace testing_support;

TEST(ProductResources, IconsManifestAndVersion)
{
    const std::wstring exe = ProductExePath();
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    auto resource = [&](LPCWSTR type, int id) {
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
        const auto* bytes = found ? static_cast<const BYTE*>(LockResource(LoadResource(module, found))) : nullptr;
        return bytes ? std::vector<BYTE>(bytes, bytes + SizeofResource(module, found)) : std::vector<BYTE>();
    };
    // Group directory: 6-byte header, then 14-byte entries (width first, bit count at 6, id at 12).
    auto pngSizes = [&](int group) {
        std::vector<int> sizes;
        const std::vector<BYTE> dir = resource(RT_GROUP_ICON, group);
        for (size_t at = 6; dir.size() >= 6 && at + 14 <= dir.size(); at += 14) {
            WORD bits = 0, id = 0;
            std::memcpy(&bits, &dir[at + 6], 2);
            std::memcpy(&id, &dir[at + 12], 2);
            const std::vector<BYTE> image = resource(RT_ICON, id);
            const bool png = image.size() > 8 && std::memcmp(image.data(), "\x89PNG\r\n\x1a\n", 8) == 0;
            sizes.push_back(bits == 32 && png ? dir[at] : -1);
        }
        return sizes;
    };
    EXPECT_EQ(pngSizes(101), (std::vector<int>{16, 24, 32, 48}));
    EXPECT_EQ(pngSizes(102), (std::vector<int>{16}));
    const std::vector<BYTE> bytes = resource(MAKEINTRESOURCEW(24), 1);
    const std::string manifest(bytes.begin(), bytes.end());
    for (const char* part : {"level=\"asInvoker\" uiAccess=\"false\"", "Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                             "publicKeyToken=\"6595b64144ccf1df\""}) {
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    }
    FreeLibrary(module);

    std::vector<BYTE> info(GetFileVersionInfoSizeW(exe.c_str(), nullptr));
    ASSERT_TRUE(!info.empty() && GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    wchar_t* product = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_TRUE(fixed->dwFileVersionMS == 0x00010002u && fixed->dwFileVersionLS == 0x00020000u);
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\041604b0\\ProductVersion", reinterpret_cast<void**>(&product), &length));
    EXPECT_STREQ(product, L"1.2.2");
}
