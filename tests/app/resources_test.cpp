// The resources are read back from the built executable, as the loader and
// the shell will read them.
#include "tests/support/app_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

class ProductResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryExW(ProductExePath().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override
    {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    std::vector<BYTE> Resource(LPCWSTR type, LPCWSTR name) const
    {
        HRSRC found = FindResourceW(module_, name, type);
        if (found == nullptr) {
            return {};
        }
        const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module_, found)));
        return std::vector<BYTE>(bytes, bytes + SizeofResource(module_, found));
    }
    // Sizes of the group's images; each image must be stored as PNG.
    std::vector<int> IconGroupSizes(int id) const
    {
        std::vector<int> sizes;
        const std::vector<BYTE> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(id));
        if (group.size() < sizeof(GroupIconHeader)) {
            ADD_FAILURE() << "icon group " << id << " missing";
            return sizes;
        }
        GroupIconHeader header;
        std::memcpy(&header, group.data(), sizeof(header));
        for (WORD i = 0; i < header.count; ++i) {
            GroupIconEntry entry;
            std::memcpy(&entry, group.data() + sizeof(header) + i * sizeof(entry), sizeof(entry));
            EXPECT_EQ(entry.width, entry.height);
            EXPECT_EQ(entry.bitCount, 32);
            const std::vector<BYTE> image = Resource(RT_ICON, MAKEINTRESOURCEW(entry.id));
            static const BYTE kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
            EXPECT_TRUE(image.size() > 8 && std::memcmp(image.data(), kPngSignature, 8) == 0)
                << "image " << int(entry.width) << " of group " << id << " is not PNG-compressed";
            sizes.push_back(entry.width);
        }
        return sizes;
    }
    HMODULE module_ = nullptr;
};

}  // namespace

TEST_F(ProductResources, ActiveIconHasFourPngImages)
{
    EXPECT_EQ(IconGroupSizes(101), (std::vector<int>{16, 24, 32, 48}));
}

TEST_F(ProductResources, PausedIconHasOne16PixelPngImage)
{
    EXPECT_EQ(IconGroupSizes(102), (std::vector<int>{16}));
}

TEST_F(ProductResources, ManifestRunsAsInvokerWithCommonControls6)
{
    const std::vector<BYTE> bytes = Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    const std::string manifest(bytes.begin(), bytes.end());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
}

TEST_F(ProductResources, VersionIs122)
{
    const std::wstring exe = ProductExePath();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00020000u);

    auto text = [&](const wchar_t* name) {
        wchar_t* value = nullptr;
        UINT units = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\041604b0\\") + name;
        return VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &units) && value
                   ? std::wstring(value)
                   : std::wstring();
    };
    EXPECT_EQ(Narrow(text(L"ProductVersion")), "1.2.2");
    EXPECT_EQ(Narrow(text(L"ProductName")), "Noctara");
    EXPECT_EQ(Narrow(text(L"FileVersion")), "1.2.2.0");
}
