// The version resources and the manifests of korvan-vpn-ctl.exe and
// korvan-vpn-service.exe, read back as Windows reads them.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::ctl {
namespace {

struct Executable {
    const char* file;
    const char* description;
    std::wstring path() const { return test_support::module_dir() + L"\\" + win::widen(file); }
};

const Executable EXECUTABLES[] = {
    {"korvan-vpn-ctl.exe", "KorvanVPN service control tool"},
    {"korvan-vpn-service.exe", "KorvanVPN TUN mode system service"},
};

TEST(Resources, EachExecutableNamesItselfTheProductAndItsVersion) {
    for (const Executable& exe : EXECUTABLES) {
        SCOPED_TRACE(exe.file);
        const std::wstring tool = exe.path();
        const std::string file = exe.file;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(tool.c_str(), &ignored);
        ASSERT_GT(size, 0u) << GetLastError();
        std::vector<std::uint8_t> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(tool.c_str(), 0, size, info.data())) << GetLastError();

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixed_size = 0;
        ASSERT_TRUE(
            VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
        ASSERT_EQ(fixed_size, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        // The binary versions are the product version's three parts and a fourth, 0.
        unsigned major = 0, minor = 0, patch = 0;
        ASSERT_EQ(std::sscanf(KORVAN_PRODUCT_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
        EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(minor, major));
        EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, patch));
        EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(minor, major));
        EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(0, patch));
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

        auto text = [&info](const wchar_t* key) {
            const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
            wchar_t* value = nullptr;
            UINT length = 0;
            if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value),
                                &length) ||
                value == nullptr) {
                return std::string("(none)");
            }
            return win::narrow(value);
        };
        // The product version, the project's, whatever version the service reports
        // in its ping answer.
        EXPECT_EQ(text(L"ProductVersion"), KORVAN_PRODUCT_VERSION);
        EXPECT_EQ(text(L"FileVersion"), KORVAN_PRODUCT_VERSION);
        EXPECT_EQ(text(L"ProductName"), "KorvanVPN");
        EXPECT_EQ(text(L"FileDescription"), exe.description);
        EXPECT_EQ(text(L"OriginalFilename"), file);
        EXPECT_EQ(text(L"InternalName"), file.substr(0, file.size() - 4));
    }
}

TEST(Resources, ManifestRunsAsInvokerOnWindows10) {
    for (const Executable& exe : EXECUTABLES) {
        SCOPED_TRACE(exe.file);
        const std::wstring tool = exe.path();
        const win::UniqueModule module(
            LoadLibraryExW(tool.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module.valid()) << GetLastError();
        const HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        ASSERT_NE(found, nullptr) << GetLastError();
        const HGLOBAL loaded = LoadResource(module.get(), found);
        ASSERT_NE(loaded, nullptr);
        const std::string manifest(static_cast<const char*>(LockResource(loaded)),
                                   SizeofResource(module.get(), found));
        EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"),
                  std::string::npos)
            << manifest;
        EXPECT_NE(manifest.find(R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)"),
                  std::string::npos)
            << manifest;
    }
}

}  // namespace
}  // namespace korvan::ctl
