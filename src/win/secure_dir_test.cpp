#include "win/secure_dir.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "support/folder_probes.h"
#include "support/test_support.h"
#include "win/utf.h"

namespace korvan::win {
namespace {

using test_support::expected_os_text;
using test_support::security_of;
using test_support::TempDir;

std::vector<BYTE> well_known_sid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size));
    sid.resize(size);
    return sid;
}

UniqueLocal from_sddl(const wchar_t* sddl) {
    UniqueLocal descriptor;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     descriptor.put(), nullptr))
        << narrow(sddl);
    return descriptor;
}

TEST(ServiceDirSecurity, GrantsSystemThenAdministratorsEverythingAndNoOneElseAnything) {
    Result<UniqueLocal> security = service_dir_security();
    ASSERT_TRUE(security.ok()) << security.error();
    const PSECURITY_DESCRIPTOR descriptor = security->get();

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_SELF_RELATIVE, 0);
    EXPECT_NE(control & SE_DACL_PRESENT, 0);
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "nothing may be inherited from ProgramData";

    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(EqualSid(owner, well_known_sid(WinBuiltinAdministratorsSid).data()));
    ASSERT_TRUE(GetSecurityDescriptorGroup(descriptor, &group, &defaulted));
    EXPECT_EQ(group, nullptr);

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr) << "a null DACL would grant everyone everything";
    const WELL_KNOWN_SID_TYPE trustees[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    ASSERT_EQ(dacl->AceCount, std::size(trustees));
    for (WORD index = 0; index < dacl->AceCount; ++index) {
        SCOPED_TRACE(index);
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(dacl, index, &entry));
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        // Inherited by files and subfolders, applying to the folder itself as well.
        EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
        EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                             well_known_sid(trustees[index]).data()));
    }
}

TEST(HasOwnerAndDaclOf, Table) {
    Result<UniqueLocal> wanted = service_dir_security();
    ASSERT_TRUE(wanted.ok()) << wanted.error();
    struct Case {
        const wchar_t* actual;
        bool same;
    };
    const std::vector<Case> cases = {
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        // The group and the auto-inherited bit are not compared.
        {L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", false},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},
        {L"O:BAD:P(A;OICI;FA;;;SY)", false},
        {L"O:BAD:P", false},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BA)", false},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;CI;FA;;;BA)", false},
        {L"O:BAD:P(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)", false},
        {L"O:BAD:P(D;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {L"O:BA", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.actual));
        const UniqueLocal actual = from_sddl(c.actual);
        ASSERT_TRUE(actual);
        EXPECT_EQ(has_owner_and_dacl_of(actual.get(), wanted->get()), c.same);
    }
}

TEST(HasOwnerAndDaclOf, ANullDaclNeverMatches) {
    Result<UniqueLocal> wanted = service_dir_security();
    ASSERT_TRUE(wanted.ok()) << wanted.error();
    SECURITY_DESCRIPTOR null_dacl{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&null_dacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&null_dacl, TRUE, nullptr, FALSE));
    std::vector<BYTE> administrators = well_known_sid(WinBuiltinAdministratorsSid);
    ASSERT_TRUE(SetSecurityDescriptorOwner(&null_dacl, administrators.data(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorControl(&null_dacl, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
    EXPECT_FALSE(has_owner_and_dacl_of(&null_dacl, wanted->get()));
}

TEST(LevelRefusal, Table) {
    struct Case {
        const char* name;
        DWORD attributes;
        DWORD refusal;
    };
    const std::vector<Case> cases = {
        {"folder", FILE_ATTRIBUTE_DIRECTORY, ERROR_SUCCESS},
        {"folder with other attributes",
         FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED,
         ERROR_SUCCESS},
        {"junction or folder link", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT,
         REPARSE_POINT_REFUSED},
        {"file link", FILE_ATTRIBUTE_REPARSE_POINT, REPARSE_POINT_REFUSED},
        {"file", FILE_ATTRIBUTE_NORMAL, ERROR_ALREADY_EXISTS},
        {"archived file", FILE_ATTRIBUTE_ARCHIVE, ERROR_ALREADY_EXISTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(level_refusal(c.attributes), c.refusal);
    }
    EXPECT_EQ(REPARSE_POINT_REFUSED, 4395u);
}

TEST(OpenServiceDir, CreatesBothLevelsBelowMissingParentsAndHoldsThem) {
    TempDir temp(L"secure");
    const std::wstring program_data = temp.path + L"\\missing\\program data";
    Result<ServiceDir> dir = open_service_dir(program_data);
    ASSERT_TRUE(dir.ok()) << dir.error();
    EXPECT_EQ(dir->path, program_data + L"\\KorvanVPN\\service");
    EXPECT_TRUE(std::filesystem::is_directory(dir->path));
    for (const UniqueHandle& level : dir->levels) {
        BY_HANDLE_FILE_INFORMATION info{};
        ASSERT_TRUE(GetFileInformationByHandle(level.get(), &info));
        EXPECT_NE(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
    // The handles are those of the two levels, in order.
    BY_HANDLE_FILE_INFORMATION held{};
    BY_HANDLE_FILE_INFORMATION named{};
    const UniqueHandle top(CreateFileW((program_data + L"\\KorvanVPN").c_str(),
                                       FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
    ASSERT_TRUE(top);
    ASSERT_TRUE(GetFileInformationByHandle(dir->levels[0].get(), &held));
    ASSERT_TRUE(GetFileInformationByHandle(top.get(), &named));
    EXPECT_EQ(held.nFileIndexLow, named.nFileIndexLow);
    EXPECT_EQ(held.nFileIndexHigh, named.nFileIndexHigh);
}

TEST(OpenServiceDir, RefusesAFileInPlaceOfAFolder) {
    struct Case {
        const char* name;
        std::wstring file;  // below ProgramData
    };
    const std::vector<Case> cases = {
        {"ProgramData", L""},
        {"KorvanVPN", L"\\KorvanVPN"},
        {"service", L"\\KorvanVPN\\service"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"secure");
        const std::wstring program_data = temp.path + L"\\program data";
        std::filesystem::create_directories(
            std::filesystem::path(program_data + c.file).parent_path());
        ASSERT_TRUE(test_support::write_file(program_data + c.file, "a file"));
        Result<ServiceDir> dir = open_service_dir(program_data);
        ASSERT_FALSE(dir.ok());
        EXPECT_EQ(dir.error(), expected_os_text(ERROR_ALREADY_EXISTS));
    }
}

TEST(OpenServiceDir, KeepsItsOwnFoldersAndPutsOthersRight) {
    if (!test_support::system_keeps_folder_security()) {
        GTEST_SKIP() << "this system keeps no owner and DACL of its own on a folder";
    }
    Result<UniqueLocal> wanted = service_dir_security();
    ASSERT_TRUE(wanted.ok()) << wanted.error();
    struct Case {
        const char* name;
        std::vector<std::wstring> made_before;  // by someone else, below ProgramData
        bool put_right;
    };
    const std::vector<Case> cases = {
        {"none yet", {}, false},
        {"ProgramData only", {L""}, false},
        {"KorvanVPN", {L"\\KorvanVPN"}, true},
        {"both", {L"\\KorvanVPN", L"\\KorvanVPN\\service"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"secure");
        const std::wstring program_data = temp.path + L"\\program data";
        for (const std::wstring& folder : c.made_before) {
            std::filesystem::create_directories(program_data + folder);
        }
        Result<ServiceDir> first = open_service_dir(program_data);
        ASSERT_TRUE(first.ok()) << first.error();
        EXPECT_EQ(first->put_right, c.put_right);
        first = Failure{};
        for (const wchar_t* level : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
            const UniqueLocal actual = security_of(program_data + level);
            ASSERT_TRUE(actual);
            EXPECT_TRUE(has_owner_and_dacl_of(actual.get(), wanted->get())) << narrow(level);
        }
        Result<ServiceDir> again = open_service_dir(program_data);
        ASSERT_TRUE(again.ok()) << again.error();
        EXPECT_FALSE(again->put_right);
    }
}

TEST(OpenServiceDir, HeldLevelsCannotBeRenamed) {
    if (!test_support::system_keeps_open_folders_in_place()) {
        GTEST_SKIP() << "this system renames a folder that is open without FILE_SHARE_DELETE";
    }
    TempDir temp(L"secure");
    const std::wstring program_data = temp.path + L"\\program data";
    Result<ServiceDir> dir = open_service_dir(program_data);
    ASSERT_TRUE(dir.ok()) << dir.error();
    for (const wchar_t* level : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
        SCOPED_TRACE(narrow(level));
        const std::wstring path = program_data + level;
        EXPECT_FALSE(MoveFileExW(path.c_str(), (path + L" moved").c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
}

TEST(OpenServiceDir, RefusesAJunctionAtEitherLevel) {
    if (!test_support::system_makes_junctions()) {
        GTEST_SKIP() << "this system makes no junctions";
    }
    for (const wchar_t* level : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
        SCOPED_TRACE(narrow(level));
        TempDir temp(L"secure");
        const std::wstring program_data = temp.path + L"\\program data";
        const std::wstring target = temp.path + L"\\target";
        const std::wstring link = program_data + level;
        std::filesystem::create_directories(target);
        std::filesystem::create_directories(std::filesystem::path(link).parent_path());
        ASSERT_TRUE(test_support::make_junction(link, target));
        const UniqueLocal target_before = security_of(target);

        Result<ServiceDir> dir = open_service_dir(program_data);
        EXPECT_FALSE(dir.ok());
        if (!dir.ok()) {
            EXPECT_EQ(dir.error(), expected_os_text(REPARSE_POINT_REFUSED));
        }
        dir = Failure{};
        EXPECT_TRUE(std::filesystem::is_empty(target));
        const UniqueLocal target_after = security_of(target);
        ASSERT_TRUE(target_before && target_after);
        EXPECT_EQ(GetSecurityDescriptorLength(target_before.get()),
                  GetSecurityDescriptorLength(target_after.get()));
        EXPECT_EQ(std::memcmp(target_before.get(), target_after.get(),
                              GetSecurityDescriptorLength(target_after.get())),
                  0)
            << "the target's security must be left alone";
        EXPECT_TRUE(RemoveDirectoryW(link.c_str()));
    }
}

}  // namespace
}  // namespace korvan::win
