#include "workdir/service_dir.h"

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "workdir/folder_record.h"
#include "workdir/service_dir_seams.h"

#include "support/folder_probes.h"
#include "support/test_support.h"
#include "win/utf.h"

namespace korvan::workdir {
namespace {

using test_support::exists;
using test_support::expected_os_text;
using test_support::has_owner_and_dacl_of;
using test_support::moved_aside_in;
using test_support::read_file;
using test_support::security_of;
using test_support::TempDir;
using test_support::write_file;
using win::narrow;
using win::UniqueHandle;
using win::UniqueLocal;

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

TEST(HasOwnerAndDaclOf, ComparesTheOwnerTheProtectionAndTheEntriesOnly) {
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

TEST(PlainFolder, IsAFolderThatIsNoReparsePoint) {
    struct Case {
        const char* name;
        DWORD attributes;
        bool plain;
    };
    const std::vector<Case> cases = {
        {"folder", FILE_ATTRIBUTE_DIRECTORY, true},
        {"folder with other attributes",
         FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED,
         true},
        {"junction or folder link", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, false},
        {"file link", FILE_ATTRIBUTE_REPARSE_POINT, false},
        {"file", FILE_ATTRIBUTE_NORMAL, false},
        {"archived file", FILE_ATTRIBUTE_ARCHIVE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(plain_folder(c.attributes), c.plain);
    }
}

// Whether the service's record holds what is at `path` as a folder it made.
bool recorded_as_made(const std::wstring& path) {
    const std::optional<FILE_ID_INFO> recorded = made_folder(path);
    const std::optional<FILE_ID_INFO> actual = test_support::file_identity(path);
    return recorded && actual && same_file(*recorded, *actual);
}

// Plants `entries` below `program_data`, as someone else would: a name ending in a
// backslash is a folder, any other a file holding its own name. False when one fails.
bool plant(const std::wstring& program_data, const std::vector<std::wstring>& entries) {
    for (const std::wstring& entry : entries) {
        const std::wstring path = program_data + L"\\" + entry;
        if (entry.ends_with(L"\\")) {
            std::filesystem::create_directories(path);
        } else if (!write_file(path, narrow(entry))) {
            return false;
        }
    }
    return true;
}

// Makes both levels the service's own, then takes the work folder away, keeping it
// elsewhere in `temp` so that no new folder can take over its file ID (as a file
// system without sequence numbers in its IDs may do with one deleted).
void own_top_level_only(const std::wstring& program_data, const TempDir& temp) {
    const std::wstring work = test_support::own_work_dir(program_data);
    ASSERT_TRUE(MoveFileExW(work.c_str(), (temp.path + L"\\old work folder").c_str(), 0));
}

bool is_empty_folder(const std::wstring& path) {
    return std::filesystem::is_directory(path) && std::filesystem::is_empty(path);
}

TEST(OpenServiceDir, MakesBothLevelsBelowMissingParentsAndRecordsThem) {
    TempDir temp(L"workdir");
    const std::wstring program_data = temp.path + L"\\missing\\program data";
    Result<ServiceDir> dir = open_service_dir(program_data, Role::Service);
    ASSERT_TRUE(dir.ok()) << dir.error();
    EXPECT_EQ(dir->path, program_data + L"\\KorvanVPN\\service");
    EXPECT_TRUE(dir->moved.empty());
    EXPECT_TRUE(is_empty_folder(dir->path));
    EXPECT_TRUE(recorded_as_made(program_data + L"\\KorvanVPN"));
    EXPECT_TRUE(recorded_as_made(dir->path));
}

TEST(OpenServiceDir, KeepsItsOwnLevelsAndWhatIsInThem) {
    TempDir temp(L"workdir");
    const std::wstring work = test_support::own_work_dir(temp.path);
    ASSERT_TRUE(write_file(work + L"\\kept.txt", "kept"));
    const std::optional<FILE_ID_INFO> before = test_support::file_identity(work);
    for (int touch = 0; touch < 3; ++touch) {
        SCOPED_TRACE(touch);
        for (const Role role : {Role::Service, Role::Guest}) {
            Result<ServiceDir> dir = open_service_dir(temp.path, role);
            ASSERT_TRUE(dir.ok()) << dir.error();
            EXPECT_TRUE(dir->moved.empty());
        }
    }
    const std::optional<FILE_ID_INFO> after = test_support::file_identity(work);
    ASSERT_TRUE(before && after);
    EXPECT_TRUE(same_file(*before, *after));
    EXPECT_EQ(read_file(work + L"\\kept.txt"), "kept");
    EXPECT_TRUE(moved_aside_in(temp.path, L"KorvanVPN").empty());
}

TEST(OpenServiceDir, MovesAsideTheTopmostLevelSomeoneElseMadeWithEverythingPlantedInIt) {
    struct Case {
        const char* name;
        // Made by the service before anything is planted.
        bool own_top;
        // Planted below ProgramData: folders end in a backslash, files hold their name.
        std::vector<std::wstring> planted;
        // The level moved aside, below ProgramData.
        std::wstring moved;
    };
    const std::vector<Case> cases = {
        {"KorvanVPN alone", false, {L"KorvanVPN\\"}, L"KorvanVPN"},
        {"both levels, with a DLL, a subfolder and a DLL beside the work folder",
         false,
         {L"KorvanVPN\\", L"KorvanVPN\\service\\", L"KorvanVPN\\service\\wintun.dll",
          L"KorvanVPN\\service\\sub\\", L"KorvanVPN\\service\\sub\\x.dll",
          L"KorvanVPN\\version.dll"},
         L"KorvanVPN"},
        {"a file in place of KorvanVPN", false, {L"KorvanVPN"}, L"KorvanVPN"},
        {"a file in place of the work folder",
         true,
         {L"KorvanVPN\\service"},
         L"KorvanVPN\\service"},
        {"a work folder made by someone else in the service's own KorvanVPN",
         true,
         {L"KorvanVPN\\service\\", L"KorvanVPN\\service\\wintun.dll"},
         L"KorvanVPN\\service"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"workdir");
        const std::wstring& program_data = temp.path;
        if (c.own_top) {
            own_top_level_only(program_data, temp);
        }
        ASSERT_TRUE(plant(program_data, c.planted));
        const std::wstring level = program_data + L"\\" + c.moved;
        const std::optional<FILE_ID_INFO> planted_id = test_support::file_identity(level);
        ASSERT_TRUE(planted_id);

        Result<ServiceDir> dir = open_service_dir(program_data, Role::Service);
        ASSERT_TRUE(dir.ok()) << dir.error();
        ASSERT_EQ(dir->moved.size(), 1u);
        EXPECT_EQ(dir->moved[0].from, level);
        // Beside the level, named by the level, the infix and 32 hexadecimal digits.
        const std::wstring prefix = level + FOREIGN_INFIX;
        ASSERT_TRUE(dir->moved[0].to.starts_with(prefix)) << narrow(dir->moved[0].to);
        const std::wstring digits = dir->moved[0].to.substr(prefix.size());
        EXPECT_EQ(digits.size(), 32u);
        EXPECT_EQ(digits.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
        EXPECT_EQ(moved_aside_line(dir->moved[0]),
                  "moved aside a folder the service did not make: " + narrow(level) + " -> " +
                      narrow(dir->moved[0].to));

        // What was planted went with the level, as it was.
        const std::optional<FILE_ID_INFO> aside_id = test_support::file_identity(dir->moved[0].to);
        ASSERT_TRUE(aside_id);
        EXPECT_TRUE(same_file(*aside_id, *planted_id));
        for (const std::wstring& entry : c.planted) {
            if (!entry.starts_with(c.moved + L"\\")) {
                continue;
            }
            const std::wstring moved_path =
                dir->moved[0].to + L"\\" + entry.substr(c.moved.size() + 1);
            if (entry.ends_with(L"\\")) {
                EXPECT_TRUE(std::filesystem::is_directory(moved_path)) << narrow(entry);
            } else {
                EXPECT_EQ(read_file(moved_path), narrow(entry));
            }
        }
        // In its place, levels of the service's own with nothing in the work folder.
        EXPECT_TRUE(recorded_as_made(program_data + L"\\KorvanVPN"));
        EXPECT_TRUE(recorded_as_made(dir->path));
        EXPECT_TRUE(is_empty_folder(dir->path));

        // Later touches find the service's own levels and move nothing again.
        Result<ServiceDir> again = open_service_dir(program_data, Role::Service);
        ASSERT_TRUE(again.ok()) << again.error();
        EXPECT_TRUE(again->moved.empty());
        EXPECT_EQ(moved_aside_in(level.substr(0, level.find_last_of(L'\\')),
                                 level.substr(level.find_last_of(L'\\') + 1))
                      .size(),
                  1u);
    }
}

TEST(OpenServiceDir, AGuestMakesAndMovesNothing) {
    struct Case {
        const char* name;
        std::vector<std::wstring> made_by_others;  // folders below ProgramData
        bool own_first;
    };
    const std::vector<Case> cases = {
        {"nothing there", {}, false},
        {"KorvanVPN made by someone else", {L"\\KorvanVPN"}, false},
        {"both levels made by someone else", {L"\\KorvanVPN", L"\\KorvanVPN\\service"}, false},
        {"the service's own KorvanVPN, no work folder", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"workdir");
        if (c.own_first) {
            own_top_level_only(temp.path, temp);
        }
        for (const std::wstring& folder : c.made_by_others) {
            std::filesystem::create_directories(temp.path + folder);
        }
        const std::optional<FILE_ID_INFO> top_before =
            test_support::file_identity(temp.path + L"\\KorvanVPN");
        Result<ServiceDir> dir = open_service_dir(temp.path, Role::Guest);
        EXPECT_FALSE(dir.ok());
        const std::optional<FILE_ID_INFO> top_after =
            test_support::file_identity(temp.path + L"\\KorvanVPN");
        EXPECT_EQ(top_before.has_value(), top_after.has_value());
        if (top_before && top_after) {
            EXPECT_TRUE(same_file(*top_before, *top_after));
        }
        EXPECT_EQ(exists(temp.path + L"\\KorvanVPN\\service"), c.made_by_others.size() == 2);
        EXPECT_TRUE(moved_aside_in(temp.path, L"KorvanVPN").empty());
    }
}

TEST(OpenServiceDir, ALevelHeldOpenByItsMakerStaysUntilReleased) {
    TempDir temp(L"workdir");
    const std::wstring level = temp.path + L"\\KorvanVPN";
    std::filesystem::create_directories(level + L"\\service");
    // Listing access takes part in sharing; without delete sharing nobody may rename it.
    UniqueHandle holder(CreateFileW(level.c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(holder);
    Result<ServiceDir> held = open_service_dir(temp.path, Role::Service);
    ASSERT_FALSE(held.ok());
    EXPECT_EQ(held.error(), expected_os_text(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(moved_aside_in(temp.path, L"KorvanVPN").empty());
    EXPECT_FALSE(made_folder(level).has_value() && recorded_as_made(level));

    holder.reset();
    Result<ServiceDir> released = open_service_dir(temp.path, Role::Service);
    ASSERT_TRUE(released.ok()) << released.error();
    EXPECT_EQ(released->moved.size(), 1u);
    EXPECT_TRUE(recorded_as_made(level));
}

TEST(OpenServiceDir, LeavesAForeignLevelInPlaceOnceTheBoundOfMovedFoldersIsReached) {
    TempDir temp(L"workdir");
    // Folders moved aside in earlier tests count as long as they lie about.
    const size_t before = moved_folders_left();
    ASSERT_LE(before, MAX_MOVED_FOLDERS);
    std::vector<std::wstring> program_datas;
    for (size_t index = before; index < MAX_MOVED_FOLDERS; ++index) {
        program_datas.push_back(temp.path + L"\\pd " + std::to_wstring(index));
        std::filesystem::create_directories(program_datas.back() + L"\\KorvanVPN");
        Result<ServiceDir> dir = open_service_dir(program_datas.back(), Role::Service);
        ASSERT_TRUE(dir.ok()) << dir.error();
        ASSERT_EQ(dir->moved.size(), 1u);
    }
    EXPECT_EQ(moved_folders_left(), MAX_MOVED_FOLDERS);

    const std::wstring last = temp.path + L"\\pd last";
    std::filesystem::create_directories(last + L"\\KorvanVPN");
    Result<ServiceDir> refused = open_service_dir(last, Role::Service);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), expected_os_text(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(refused.failure().system_error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(moved_aside_in(last, L"KorvanVPN").empty());

    // An administrator who removes a folder moved aside makes room for the next move.
    if (program_datas.empty()) {
        GTEST_SKIP() << "the bound was reached by folders this test did not move";
    }
    std::filesystem::remove_all(program_datas.front());
    Result<ServiceDir> moved = open_service_dir(last, Role::Service);
    ASSERT_TRUE(moved.ok()) << moved.error();
    EXPECT_EQ(moved->moved.size(), 1u);
}

// A loop of someone else's that makes KorvanVPN whenever it is missing wins every gap
// between the service's move and its own make: each such start fails, and none counts.
TEST(OpenServiceDir, ARaceLostBetweenTheMoveAndTheMakeFailsThatStartAndNeverReachesTheBound) {
    TempDir temp(L"workdir");
    const std::wstring level = temp.path + L"\\KorvanVPN";
    const size_t before = moved_folders_left();
    ASSERT_LT(before, MAX_MOVED_FOLDERS);
    std::filesystem::create_directories(level);
    ServiceDirSeams racer;
    racer.before_make = [](const std::wstring& path) {
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << narrow(path);
    };
    for (size_t start = 0; start < 2 * MAX_MOVED_FOLDERS + 2; ++start) {
        SCOPED_TRACE(start);
        Result<ServiceDir> lost = open_service_dir(temp.path, Role::Service, racer);
        ASSERT_FALSE(lost.ok());
        EXPECT_EQ(lost.error(), expected_os_text(ERROR_ALREADY_EXISTS));
        // Only the folder that was there before the service's judgement counts.
        EXPECT_EQ(moved_folders_left(), before + 1);
    }
    EXPECT_EQ(moved_aside_in(temp.path, L"KorvanVPN").size(), 2 * MAX_MOVED_FOLDERS + 2);

    // Once the loop stops, the next start moves the last of its folders and goes on.
    Result<ServiceDir> won = open_service_dir(temp.path, Role::Service);
    ASSERT_TRUE(won.ok()) << won.error();
    EXPECT_EQ(won->moved.size(), 1u);
    EXPECT_TRUE(recorded_as_made(level));
    EXPECT_TRUE(recorded_as_made(won->path));
    EXPECT_EQ(moved_folders_left(), before + 1);
}

TEST(OpenServiceDir, AMissingRecordedLevelHasItsRecordDroppedBeforeANewOneIsMade) {
    for (const wchar_t* missing : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
        SCOPED_TRACE(narrow(missing));
        TempDir temp(L"workdir");
        const std::wstring level = temp.path + missing;
        test_support::own_work_dir(temp.path);
        ASSERT_TRUE(made_folder(level).has_value());
        std::filesystem::remove_all(level);
        std::vector<std::wstring> made;
        ServiceDirSeams seams;
        seams.before_make = [&](const std::wstring& path) {
            made.push_back(path);
            // A folder someone else made now, with whatever file ID, never passes as the
            // service's own.
            EXPECT_FALSE(made_folder(path).has_value()) << narrow(path);
        };
        Result<ServiceDir> dir = open_service_dir(temp.path, Role::Service, seams);
        ASSERT_TRUE(dir.ok()) << dir.error();
        EXPECT_TRUE(dir->moved.empty());
        EXPECT_EQ(made.front(), level);
        EXPECT_TRUE(recorded_as_made(level));
        EXPECT_TRUE(recorded_as_made(dir->path));
    }
}

TEST(OpenServiceDir, AFileIdOfAllZerosOrAllOnesIsNoIdentityAndNothingIsMoved) {
    struct Case {
        const char* name;
        BYTE fill;
        bool planted;
    };
    const std::vector<Case> cases = {
        {"all zeros, nothing there", 0x00, false},
        {"all ones, nothing there", 0xFF, false},
        {"all zeros, KorvanVPN made by someone else", 0x00, true},
        {"all ones, KorvanVPN made by someone else", 0xFF, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"workdir");
        const std::wstring level = temp.path + L"\\KorvanVPN";
        if (c.planted) {
            std::filesystem::create_directories(level + L"\\service");
        }
        const std::optional<FILE_ID_INFO> planted = test_support::file_identity(level);
        ServiceDirSeams volume;
        volume.read_id = [&](FILE_ID_INFO& id) {
            std::memset(id.FileId.Identifier, c.fill, sizeof id.FileId.Identifier);
        };
        for (int start = 0; start < 2; ++start) {
            SCOPED_TRACE(start);
            Result<ServiceDir> dir = open_service_dir(temp.path, Role::Service, volume);
            ASSERT_FALSE(dir.ok());
            EXPECT_EQ(dir.error(),
                      "the volume gives this folder no usable file ID: " + narrow(level));
            EXPECT_TRUE(moved_aside_in(temp.path, L"KorvanVPN").empty());
            EXPECT_FALSE(made_folder(level).has_value());
            EXPECT_FALSE(exists(level + L"\\service") && !c.planted);
        }
        if (planted) {
            const std::optional<FILE_ID_INFO> now = test_support::file_identity(level);
            ASSERT_TRUE(now);
            EXPECT_TRUE(same_file(*planted, *now));
        }
    }
}

// Wine reads the volume serial of C: as 0 in a service started early in a session and
// as the drive's serial later on, so the service's own levels are made under one reading
// and judged under the other. Only an unknown serial is let pass: the service's own
// level read on another volume is not its own.
TEST(OpenServiceDir, ItsOwnLevelsStayItsOwnWhenTheVolumeSerialReadsZeroAtOneTouch) {
    const auto serial_becomes = [](ULONGLONG serial) {
        ServiceDirSeams seams;
        seams.read_id = [serial](FILE_ID_INFO& id) { id.VolumeSerialNumber = serial; };
        return seams;
    };
    struct Case {
        const char* name;
        ServiceDirSeams made;
        ServiceDirSeams judged;
        bool own;
    };
    const std::vector<Case> cases = {
        {"made reading 0, judged reading the serial", serial_becomes(0), {}, true},
        {"made reading the serial, judged reading 0", {}, serial_becomes(0), true},
        {"made reading 0, judged reading 0", serial_becomes(0), serial_becomes(0), true},
        {"made on one volume, judged on another", serial_becomes(0x1234), serial_becomes(0x1235),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"workdir");
        Result<ServiceDir> made = open_service_dir(temp.path, Role::Service, c.made);
        ASSERT_TRUE(made.ok()) << made.error();
        const std::optional<FILE_ID_INFO> before = test_support::file_identity(made->path);
        ASSERT_TRUE(before);
        for (int touch = 0; touch < 2; ++touch) {
            SCOPED_TRACE(touch);
            Result<ServiceDir> judged = open_service_dir(temp.path, Role::Service, c.judged);
            ASSERT_TRUE(judged.ok()) << judged.error();
            // A level moved aside is made anew under the judging reading, and kept.
            EXPECT_EQ(judged->moved.empty(), c.own || touch > 0);
        }
        EXPECT_EQ(moved_aside_in(temp.path, L"KorvanVPN").empty(), c.own);
        const std::optional<FILE_ID_INFO> after = test_support::file_identity(made->path);
        ASSERT_TRUE(after);
        EXPECT_EQ(std::memcmp(before->FileId.Identifier, after->FileId.Identifier,
                              sizeof before->FileId.Identifier) == 0,
                  c.own);
    }
}

TEST(OpenServiceDir, AFolderSomeoneElseMadeIsMovedAsideWhenTheVolumeSerialReadsZero) {
    for (const bool recorded_zero : {false, true}) {
        SCOPED_TRACE(recorded_zero ? "the own level recorded reading 0" : "recorded as read");
        TempDir temp(L"workdir");
        ServiceDirSeams zero;
        zero.read_id = [](FILE_ID_INFO& id) { id.VolumeSerialNumber = 0; };
        own_top_level_only(temp.path, temp);
        if (recorded_zero) {
            // Its record made anew, as a service reading 0 makes it.
            const std::wstring top = temp.path + L"\\KorvanVPN";
            std::optional<FILE_ID_INFO> id = test_support::file_identity(top);
            ASSERT_TRUE(id);
            id->VolumeSerialNumber = 0;
            ASSERT_TRUE(record_made_folder(top, *id).ok());
        }
        std::filesystem::create_directories(temp.path + L"\\KorvanVPN\\service");
        const std::optional<FILE_ID_INFO> planted =
            test_support::file_identity(temp.path + L"\\KorvanVPN\\service");
        ASSERT_TRUE(planted);
        Result<ServiceDir> dir = open_service_dir(temp.path, Role::Service, zero);
        ASSERT_TRUE(dir.ok()) << dir.error();
        ASSERT_EQ(dir->moved.size(), 1u);
        EXPECT_EQ(dir->moved[0].from, temp.path + L"\\KorvanVPN\\service");
        const std::optional<FILE_ID_INFO> aside = test_support::file_identity(dir->moved[0].to);
        ASSERT_TRUE(aside);
        EXPECT_TRUE(same_file(*aside, *planted));
    }
}

// A level whose attributes or file ID cannot be read tells nothing about who made it:
// the start fails with the read's error, and nothing is moved, the service's own level
// included.
TEST(OpenServiceDir, ALevelWhoseIdentityCannotBeReadIsNeitherMovedNorUsed) {
    struct Case {
        const char* name;
        FILE_INFO_BY_HANDLE_CLASS failing;
        DWORD error;
        bool own;
    };
    const std::vector<Case> cases = {
        {"attributes, someone else's level", FileBasicInfo, ERROR_ACCESS_DENIED, false},
        {"file ID, someone else's level", FileIdInfo, ERROR_INVALID_PARAMETER, false},
        {"attributes, the service's own level", FileBasicInfo, ERROR_ACCESS_DENIED, true},
        {"file ID, the service's own level", FileIdInfo, ERROR_INVALID_PARAMETER, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"workdir");
        const std::wstring level = temp.path + L"\\KorvanVPN";
        if (c.own) {
            test_support::own_work_dir(temp.path);
        } else {
            std::filesystem::create_directories(level);
        }
        const std::optional<FILE_ID_INFO> before = test_support::file_identity(level);
        ASSERT_TRUE(before);
        std::vector<FILE_INFO_BY_HANDLE_CLASS> reads;
        ServiceDirSeams failing;
        failing.read_error = [&](FILE_INFO_BY_HANDLE_CLASS read) {
            reads.push_back(read);
            return read == c.failing ? c.error : static_cast<DWORD>(ERROR_SUCCESS);
        };
        for (int start = 0; start < 2; ++start) {
            SCOPED_TRACE(start);
            Result<ServiceDir> dir = open_service_dir(temp.path, Role::Service, failing);
            ASSERT_FALSE(dir.ok());
            EXPECT_EQ(dir.error(), expected_os_text(c.error));
            EXPECT_EQ(dir.failure().system_error, c.error);
        }
        EXPECT_NE(std::find(reads.begin(), reads.end(), c.failing), reads.end());
        EXPECT_TRUE(moved_aside_in(temp.path, L"KorvanVPN").empty());
        const std::optional<FILE_ID_INFO> after = test_support::file_identity(level);
        ASSERT_TRUE(after);
        EXPECT_TRUE(same_file(*before, *after));
        EXPECT_EQ(recorded_as_made(level), c.own);
        EXPECT_EQ(exists(level + L"\\service"), c.own);
        // Once the identity reads again, the service's own level is used and the other
        // one moved.
        Result<ServiceDir> readable = open_service_dir(temp.path, Role::Service);
        ASSERT_TRUE(readable.ok()) << readable.error();
        EXPECT_EQ(readable->moved.size(), c.own ? 0u : 1u);
    }
}

// The install makes missing levels and records them, and never moves one: a level
// someone else made stays, with nothing made below it, for the service's own start to
// move aside.
TEST(OpenServiceDir, TheInstallerMakesMissingLevelsAndLeavesTheRestToTheServicesStart) {
    struct Case {
        const char* name;
        bool own_top;
        // Planted below ProgramData: folders end in a backslash, files hold their name.
        std::vector<std::wstring> planted;
        // The level someone else made, below ProgramData, if any.
        std::wstring foreign;
    };
    const std::vector<Case> cases = {
        {"nothing there", false, {}, L""},
        {"the service's own KorvanVPN, no work folder", true, {}, L""},
        {"KorvanVPN made by someone else",
         false,
         {L"KorvanVPN\\", L"KorvanVPN\\version.dll"},
         L"KorvanVPN"},
        {"a work folder made by someone else",
         true,
         {L"KorvanVPN\\service\\", L"KorvanVPN\\service\\wintun.dll"},
         L"KorvanVPN\\service"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"workdir");
        const std::wstring& program_data = temp.path;
        if (c.own_top) {
            own_top_level_only(program_data, temp);
        }
        ASSERT_TRUE(plant(program_data, c.planted));
        const std::wstring foreign = program_data + L"\\" + c.foreign;
        const std::optional<FILE_ID_INFO> planted =
            c.foreign.empty() ? std::nullopt : test_support::file_identity(foreign);
        ServiceDirSeams never_moves;
        never_moves.before_move = [](const std::wstring& level) {
            ADD_FAILURE() << "the installer began to move " << narrow(level);
        };

        Result<ServiceDir> installed = open_service_dir(program_data, Role::Installer, never_moves);
        if (c.foreign.empty()) {
            ASSERT_TRUE(installed.ok()) << installed.error();
            EXPECT_TRUE(installed->moved.empty());
            EXPECT_TRUE(recorded_as_made(program_data + L"\\KorvanVPN"));
            EXPECT_TRUE(recorded_as_made(installed->path));
            continue;
        }
        ASSERT_FALSE(installed.ok());
        EXPECT_EQ(installed.error(), expected_os_text(ERROR_ALREADY_EXISTS));
        const std::optional<FILE_ID_INFO> stayed = test_support::file_identity(foreign);
        ASSERT_TRUE(planted && stayed);
        EXPECT_TRUE(same_file(*planted, *stayed));
        EXPECT_FALSE(exists(program_data + L"\\KorvanVPN\\service") && c.foreign == L"KorvanVPN");
        EXPECT_FALSE(recorded_as_made(foreign));
        EXPECT_TRUE(moved_aside_in(program_data, L"KorvanVPN").empty());
        EXPECT_TRUE(moved_aside_in(program_data + L"\\KorvanVPN", L"service").empty());

        Result<ServiceDir> started = open_service_dir(program_data, Role::Service);
        ASSERT_TRUE(started.ok()) << started.error();
        ASSERT_EQ(started->moved.size(), 1u);
        EXPECT_EQ(started->moved[0].from, foreign);
        const std::optional<FILE_ID_INFO> aside = test_support::file_identity(started->moved[0].to);
        ASSERT_TRUE(aside);
        EXPECT_TRUE(same_file(*aside, *planted));
        EXPECT_TRUE(recorded_as_made(started->path));
    }
}

TEST(OpenServiceDir, TheSameLevelMovedAsideTwiceGetsTwoNames) {
    TempDir temp(L"workdir");
    const std::wstring level = temp.path + L"\\KorvanVPN";
    std::vector<std::wstring> names;
    for (int planted = 0; planted < 2; ++planted) {
        SCOPED_TRACE(planted);
        if (planted > 0) {
            // As an administrator would: the service's own level taken away, kept aside so
            // that no folder can take over its file ID.
            ASSERT_TRUE(MoveFileExW(level.c_str(), (temp.path + L"\\old own").c_str(), 0));
        }
        std::filesystem::create_directories(level);
        Result<ServiceDir> dir = open_service_dir(temp.path, Role::Service);
        ASSERT_TRUE(dir.ok()) << dir.error();
        ASSERT_EQ(dir->moved.size(), 1u);
        names.push_back(dir->moved[0].to);
    }
    EXPECT_NE(names[0], names[1]);
    EXPECT_EQ(moved_aside_in(temp.path, L"KorvanVPN").size(), 2u);
}

// Windows only: Wine renames a handle's file by the path it was opened with, whatever
// is there now. Someone swaps the folder at the level's path between the service's
// judgement and its move: the folder judged is the one moved, and the one swapped in
// stays, beating the service's make.
TEST(OpenServiceDir, MovesTheFolderItJudgedNotOneSwappedInAtItsPath) {
    if (!test_support::system_renames_through_handles()) {
        ASSERT_TRUE(test_support::running_under_wine())
            << "this system renames a handle's file by the path it was opened with";
        GTEST_SKIP() << "Wine renames a handle's file by the path it was opened with";
    }
    TempDir temp(L"workdir");
    const std::wstring level = temp.path + L"\\KorvanVPN";
    std::filesystem::create_directories(level);
    const std::optional<FILE_ID_INFO> judged = test_support::file_identity(level);
    ASSERT_TRUE(judged);
    std::optional<FILE_ID_INFO> swapped_in;
    ServiceDirSeams seams;
    seams.before_move = [&](const std::wstring& path) {
        EXPECT_TRUE(MoveFileExW(path.c_str(), (temp.path + L"\\judged, moved away").c_str(), 0));
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        swapped_in = test_support::file_identity(path);
    };
    Result<ServiceDir> dir = open_service_dir(temp.path, Role::Service, seams);
    ASSERT_FALSE(dir.ok());
    EXPECT_EQ(dir.error(), expected_os_text(ERROR_ALREADY_EXISTS));
    const std::vector<std::wstring> aside = moved_aside_in(temp.path, L"KorvanVPN");
    ASSERT_EQ(aside.size(), 1u);
    const std::optional<FILE_ID_INFO> moved =
        test_support::file_identity(temp.path + L"\\" + aside[0]);
    ASSERT_TRUE(moved && swapped_in);
    EXPECT_TRUE(same_file(*moved, *judged));
    const std::optional<FILE_ID_INFO> stayed = test_support::file_identity(level);
    ASSERT_TRUE(stayed);
    EXPECT_TRUE(same_file(*stayed, *swapped_in));
}

// Whether the privilege `name` is held, and enabled, in `token`.
struct Privilege {
    bool held = false;
    bool enabled = false;
};

Privilege privilege_in(HANDLE token, const wchar_t* name) {
    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &luid));
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    Privilege found;
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
        ADD_FAILURE() << "GetTokenInformation: " << GetLastError();
        return found;
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD index = 0; index < privileges->PrivilegeCount; ++index) {
        const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[index];
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart) {
            found.held = true;
            found.enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    return found;
}

// The calling thread's own token, if it has one.
UniqueHandle thread_token() {
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    }
    return token;
}

UniqueHandle process_token() {
    UniqueHandle token;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    return token;
}

TEST(OpenServiceDir, BackupAndRestoreAreEnabledOnlyOnTheThreadThatMovesForTheMove) {
    const UniqueHandle process = process_token();
    const Privilege backup_before = privilege_in(process.get(), SE_BACKUP_NAME);
    const Privilege restore_before = privilege_in(process.get(), SE_RESTORE_NAME);
    if (!backup_before.held || !restore_before.held) {
        GTEST_SKIP() << "this process holds no backup and restore privileges to enable";
    }
    TempDir temp(L"workdir");
    std::filesystem::create_directories(temp.path + L"\\KorvanVPN");
    bool caller_impersonating = true;
    Privilege backup_moving;
    Privilege restore_moving;
    ServiceDirSeams seams;
    seams.before_move = [&](const std::wstring&) {
        caller_impersonating = static_cast<bool>(thread_token());
    };
    seams.before_rename = [&] {
        const UniqueHandle token = thread_token();
        ASSERT_TRUE(token) << "the moving thread has no token of its own";
        backup_moving = privilege_in(token.get(), SE_BACKUP_NAME);
        restore_moving = privilege_in(token.get(), SE_RESTORE_NAME);
    };
    Result<ServiceDir> dir = open_service_dir(temp.path, Role::Service, seams);
    ASSERT_TRUE(dir.ok()) << dir.error();
    EXPECT_EQ(dir->moved.size(), 1u);
    EXPECT_TRUE(backup_moving.enabled);
    EXPECT_TRUE(restore_moving.enabled);
    EXPECT_FALSE(caller_impersonating);
    EXPECT_FALSE(thread_token());
    EXPECT_EQ(privilege_in(process.get(), SE_BACKUP_NAME).enabled, backup_before.enabled);
    EXPECT_EQ(privilege_in(process.get(), SE_RESTORE_NAME).enabled, restore_before.enabled);
}

// A rename that waits on something (on Windows, an oplock break its holder never
// acknowledges; here a seam) is given up at the bound, never recorded, and tolerated
// when it lands later.
TEST(OpenServiceDir, AMoveThatOutlastsItsBoundIsAbandonedAndNeverRecorded) {
    TempDir temp(L"workdir");
    const std::wstring level = temp.path + L"\\KorvanVPN";
    std::filesystem::create_directories(level);
    const size_t before = moved_folders_left();
    const UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(release);
    ServiceDirSeams held;
    held.move_bound_ms = 100;
    const HANDLE released = release.get();
    held.before_rename = [released] {
        // Long past the bound; a move with no bound returns once it is over.
        WaitForSingleObject(released, 30000);
    };
    const std::string timed_out =
        "timed out moving aside a folder the service did not make: " + narrow(level);
    Result<ServiceDir> abandoned = open_service_dir(temp.path, Role::Service, held);
    ASSERT_FALSE(abandoned.ok());
    EXPECT_EQ(abandoned.error(), timed_out);
    EXPECT_TRUE(exists(level));
    EXPECT_FALSE(made_folder(level).has_value() && recorded_as_made(level));

    // A start while the abandoned move still waits gives up the same way.
    ServiceDirSeams bounded;
    bounded.move_bound_ms = 100;
    Result<ServiceDir> waiting = open_service_dir(temp.path, Role::Service, bounded);
    ASSERT_FALSE(waiting.ok());
    EXPECT_EQ(waiting.error(), timed_out);

    // The move lands after all: the next start finds the path free and makes its own.
    ASSERT_TRUE(SetEvent(release.get()));
    Result<ServiceDir> after = open_service_dir(temp.path, Role::Service);
    ASSERT_TRUE(after.ok()) << after.error();
    EXPECT_TRUE(after->moved.empty());
    EXPECT_EQ(moved_aside_in(temp.path, L"KorvanVPN").size(), 1u);
    EXPECT_EQ(moved_folders_left(), before);
    EXPECT_TRUE(recorded_as_made(level));
}

// A move abandoned at its bound whose rename had not yet begun to wait: the cancel at
// the bound found nothing pending (ERROR_NOT_FOUND) and the rename then waits for good.
// Here the wait is a synchronous read of a pipe that nobody writes, begun only after
// the move was abandoned; a later start cancels it again, and again, until it ends.
struct LateIo {
    LateIo() {
        EXPECT_TRUE(CreatePipe(reader.put(), writer.put(), nullptr, 0));
        seams.move_bound_ms = 100;
        seams.before_rename = [this] {
            WaitForSingleObject(abandoned.get(), 30000);
            char byte = 0;
            DWORD read = 0;
            if (!ReadFile(reader.get(), &byte, 1, &read, nullptr)) {
                read_error = GetLastError();
            }
            SetEvent(ended.get());
        };
    }
    ~LateIo() {
        // Ends a read that no cancel ended.
        DWORD written = 0;
        if (WaitForSingleObject(ended.get(), 0) != WAIT_OBJECT_0) {
            WriteFile(writer.get(), "x", 1, &written, nullptr);
            WaitForSingleObject(ended.get(), 30000);
        }
    }
    // Abandons a move of the level someone else made at `program_data`, then lets the
    // abandoned thread begin its read.
    void abandon(const std::wstring& program_data) {
        std::filesystem::create_directories(program_data + L"\\KorvanVPN");
        Result<ServiceDir> first = open_service_dir(program_data, Role::Service, seams);
        ASSERT_FALSE(first.ok());
        EXPECT_EQ(first.error(), "timed out moving aside a folder the service did not make: " +
                                     narrow(program_data + L"\\KorvanVPN"));
        SetEvent(abandoned.get());
    }

    UniqueHandle reader;
    UniqueHandle writer;
    UniqueHandle abandoned{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle ended{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    DWORD read_error = ERROR_SUCCESS;
    ServiceDirSeams seams;
};

TEST(OpenServiceDir, TheNextStartCancelsAgainTheIoOfAMoveAbandonedBeforeItsIoBegan) {
    TempDir temp(L"workdir");
    LateIo late;
    late.abandon(temp.path);
    Result<ServiceDir> next = open_service_dir(temp.path, Role::Service);
    ASSERT_TRUE(next.ok()) << next.error();
    EXPECT_EQ(WaitForSingleObject(late.ended.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(late.read_error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // The cancelled wait was the seam's; the rename after it landed, unrecorded.
    EXPECT_TRUE(next->moved.empty());
    EXPECT_EQ(moved_aside_in(temp.path, L"KorvanVPN").size(), 1u);
    EXPECT_TRUE(recorded_as_made(temp.path + L"\\KorvanVPN"));
}

// What the service calls before it reports SERVICE_STOPPED: the process could not exit
// while the abandoned move's I/O is pending. A cancel that arrives before the read is
// pending finds nothing, so it is called until the read ends, within a bound.
TEST(CancelAbandonedMove, CancelsTheIoOfAnAbandonedMove) {
    TempDir temp(L"workdir");
    LateIo late;
    late.abandon(temp.path);
    for (int call = 0; call < 200 && WaitForSingleObject(late.ended.get(), 0) != WAIT_OBJECT_0;
         ++call) {
        cancel_abandoned_move();
        WaitForSingleObject(late.ended.get(), 50);
    }
    EXPECT_EQ(WaitForSingleObject(late.ended.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(late.read_error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // The next start finds the move ended, and the path free.
    Result<ServiceDir> next = open_service_dir(temp.path, Role::Service);
    ASSERT_TRUE(next.ok()) << next.error();
    EXPECT_TRUE(recorded_as_made(temp.path + L"\\KorvanVPN"));
}

// Windows only: Wine keeps no DACLs of its own on folders.
TEST(OpenServiceDir, MakesItsLevelsWithTheProtectedDescriptor) {
    if (!test_support::system_keeps_folder_security()) {
        ASSERT_TRUE(test_support::running_under_wine())
            << "this system keeps no owner and DACL of its own on a folder";
        GTEST_SKIP() << "Wine keeps no owner and DACL of its own on a folder";
    }
    Result<UniqueLocal> wanted = service_dir_security();
    ASSERT_TRUE(wanted.ok()) << wanted.error();
    for (const bool planted : {false, true}) {
        SCOPED_TRACE(planted ? "in place of a level someone else made" : "nothing there");
        TempDir temp(L"workdir");
        if (planted) {
            std::filesystem::create_directories(temp.path + L"\\KorvanVPN");
        }
        test_support::own_work_dir(temp.path);
        for (const wchar_t* level : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
            const UniqueLocal actual = security_of(temp.path + level);
            ASSERT_TRUE(actual);
            EXPECT_TRUE(has_owner_and_dacl_of(actual.get(), wanted->get())) << narrow(level);
        }
    }
}

// Windows only: Wine keeps no DACLs of its own on folders. A parent that grants nobody
// FILE_DELETE_CHILD leaves the folder's own DACL to decide its DELETE; only the restore
// privilege, on the moving thread, passes it.
TEST(OpenServiceDir, MovesAsideAFolderWhoseDaclDeniesEveryoneEverything) {
    if (!test_support::system_keeps_folder_security()) {
        ASSERT_TRUE(test_support::running_under_wine())
            << "this system keeps no owner and DACL of its own on a folder";
        GTEST_SKIP() << "Wine keeps no owner and DACL of its own on a folder";
    }
    TempDir temp(L"workdir");
    const std::wstring program_data = temp.path + L"\\program data";
    // Full control but FILE_DELETE_CHILD (0x40) for SYSTEM and Administrators, not
    // inherited; the planted folder keeps its own protected DACL.
    const UniqueLocal parent = from_sddl(L"D:P(A;;0x1F01BF;;;SY)(A;;0x1F01BF;;;BA)");
    SECURITY_ATTRIBUTES parent_attributes{sizeof parent_attributes, parent.get(), FALSE};
    ASSERT_TRUE(CreateDirectoryW(program_data.c_str(), &parent_attributes));
    const std::wstring level = program_data + L"\\KorvanVPN";
    const UniqueLocal denied = from_sddl(L"D:P(D;OICI;FA;;;WD)");
    SECURITY_ATTRIBUTES denied_attributes{sizeof denied_attributes, denied.get(), FALSE};
    ASSERT_TRUE(CreateDirectoryW(level.c_str(), &denied_attributes));
    const std::optional<FILE_ID_INFO> planted = test_support::file_identity(level);
    ASSERT_TRUE(planted);

    Result<ServiceDir> dir = open_service_dir(program_data, Role::Service);
    ASSERT_TRUE(dir.ok()) << dir.error();
    ASSERT_EQ(dir->moved.size(), 1u);
    const std::optional<FILE_ID_INFO> aside = test_support::file_identity(dir->moved[0].to);
    ASSERT_TRUE(aside);
    EXPECT_TRUE(same_file(*aside, *planted));
    EXPECT_TRUE(recorded_as_made(dir->path));

    // Its owner, the test, may give the folder a DACL again, so that it can be removed.
    const UniqueLocal open = from_sddl(L"D:P(A;OICI;FA;;;WD)");
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(open.get(), &present, &dacl, &defaulted));
    for (const std::wstring& path : {dir->moved[0].to, program_data}) {
        EXPECT_EQ(
            SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS))
            << narrow(path);
    }
}

// Windows only: Wine grants no oplocks (FSCTL_REQUEST_OPLOCK fails with
// ERROR_NOT_SUPPORTED). A read-handle oplock on a planted folder that its holder never
// acknowledges would hold a rename of it for good: the move is given up at its bound.
TEST(OpenServiceDir, AFolderHeldUnderAnOplockIsGivenUpAtTheBound) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine grants no oplocks";
    }
    struct Case {
        const char* name;
        DWORD share;
        // Either: the open fails at once, or the move is given up at its bound.
        std::vector<DWORD> errors;
    };
    const std::vector<Case> cases = {
        {"held sharing delete", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, {}},
        {"held without delete sharing",
         FILE_SHARE_READ | FILE_SHARE_WRITE,
         {ERROR_SHARING_VIOLATION}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"workdir");
        const std::wstring level = temp.path + L"\\KorvanVPN";
        std::filesystem::create_directories(level);
        UniqueHandle holder(
            CreateFileW(level.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(holder);
        REQUEST_OPLOCK_INPUT_BUFFER request{};
        request.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
        request.StructureLength = sizeof request;
        request.RequestedOplockLevel = OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE;
        request.Flags = REQUEST_OPLOCK_INPUT_FLAG_REQUEST;
        REQUEST_OPLOCK_OUTPUT_BUFFER granted{};
        granted.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
        granted.StructureLength = sizeof granted;
        const UniqueHandle broken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped{};
        overlapped.hEvent = broken.get();
        ASSERT_FALSE(DeviceIoControl(holder.get(), FSCTL_REQUEST_OPLOCK, &request, sizeof request,
                                     &granted, sizeof granted, nullptr, &overlapped));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

        ServiceDirSeams bounded;
        bounded.move_bound_ms = 1000;
        std::optional<Result<ServiceDir>> held;
        const UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread start([&] {
            held = open_service_dir(temp.path, Role::Service, bounded);
            SetEvent(done.get());
        });
        // Only a hung move would take this long.
        const bool returned = WaitForSingleObject(done.get(), 60000) == WAIT_OBJECT_0;
        EXPECT_TRUE(returned) << "the move was not given up";
        if (!returned) {
            holder.reset();
        }
        start.join();
        ASSERT_TRUE(held && !held->ok());
        std::vector<std::string> expected = {
            "timed out moving aside a folder the service did not make: " + narrow(level)};
        for (const DWORD error : c.errors) {
            expected.push_back(expected_os_text(error));
        }
        EXPECT_NE(std::find(expected.begin(), expected.end(), held->error()), expected.end())
            << held->error();
        EXPECT_FALSE(recorded_as_made(level));

        // Once the holder lets go, the move that was given up may land; either way the
        // next start ends with the service's own level.
        holder.reset();
        Result<ServiceDir> released = open_service_dir(temp.path, Role::Service);
        ASSERT_TRUE(released.ok()) << released.error();
        EXPECT_TRUE(recorded_as_made(level));
        EXPECT_EQ(moved_aside_in(temp.path, L"KorvanVPN").size(), 1u);
    }
}

// Windows only: Wine makes no junctions. The service's own recorded folder turned into
// a junction keeps its file ID, and still is no folder of the service's.
TEST(OpenServiceDir, ItsOwnFolderTurnedIntoAJunctionIsMovedAsideNeverUsed) {
    if (!test_support::system_makes_junctions()) {
        ASSERT_TRUE(test_support::running_under_wine()) << "this system makes no junctions";
        GTEST_SKIP() << "Wine makes no junctions";
    }
    TempDir temp(L"workdir");
    const std::wstring target = temp.path + L"\\target";
    std::filesystem::create_directories(target);
    const std::wstring program_data = temp.path + L"\\program data";
    const std::wstring work = test_support::own_work_dir(program_data);
    const std::optional<FILE_ID_INFO> own = test_support::file_identity(work);
    ASSERT_TRUE(test_support::turn_into_junction(work, target));
    const std::optional<FILE_ID_INFO> junction = test_support::file_identity(work);
    ASSERT_TRUE(own && junction);
    ASSERT_TRUE(same_file(*own, *junction)) << "the junction kept no file ID";

    EXPECT_FALSE(find_service_dir(program_data).ok());
    Result<ServiceDir> dir = open_service_dir(program_data, Role::Service);
    ASSERT_TRUE(dir.ok()) << dir.error();
    ASSERT_EQ(dir->moved.size(), 1u);
    EXPECT_EQ(dir->moved[0].from, work);
    EXPECT_TRUE(std::filesystem::is_empty(target));
    EXPECT_TRUE(recorded_as_made(work));
    EXPECT_TRUE(is_empty_folder(work));
    // The junction goes first, so that removing the temp folder cannot reach through.
    EXPECT_TRUE(RemoveDirectoryW(dir->moved[0].to.c_str()));
}

// Windows only: Wine renames a folder whatever is open below it.
TEST(OpenServiceDir, ALevelWithSomethingOpenBelowItStaysUntilReleased) {
    if (!test_support::system_keeps_open_folders_in_place()) {
        ASSERT_TRUE(test_support::running_under_wine())
            << "this system renames a folder with files open below it";
        GTEST_SKIP() << "Wine renames a folder with files open below it";
    }
    TempDir temp(L"workdir");
    std::filesystem::create_directories(temp.path + L"\\KorvanVPN\\service");
    UniqueHandle held(CreateFileW((temp.path + L"\\KorvanVPN\\service\\held.txt").c_str(),
                                  GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(held);
    Result<ServiceDir> refused = open_service_dir(temp.path, Role::Service);
    EXPECT_FALSE(refused.ok());
    EXPECT_TRUE(moved_aside_in(temp.path, L"KorvanVPN").empty());
    held.reset();
    Result<ServiceDir> moved = open_service_dir(temp.path, Role::Service);
    ASSERT_TRUE(moved.ok()) << moved.error();
    EXPECT_EQ(moved->moved.size(), 1u);
}

// Windows only: Wine makes no junctions.
TEST(OpenServiceDir, MovesAsideAJunctionAtEitherLevelWithoutReachingItsTarget) {
    if (!test_support::system_makes_junctions()) {
        ASSERT_TRUE(test_support::running_under_wine()) << "this system makes no junctions";
        GTEST_SKIP() << "Wine makes no junctions";
    }
    for (const wchar_t* level : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
        SCOPED_TRACE(narrow(level));
        TempDir temp(L"workdir");
        const std::wstring program_data = temp.path + L"\\program data";
        const std::wstring target = temp.path + L"\\target";
        const std::wstring link = program_data + level;
        std::filesystem::create_directories(target);
        if (std::wstring(level) == L"\\KorvanVPN\\service") {
            own_top_level_only(program_data, temp);
        } else {
            std::filesystem::create_directories(program_data);
        }
        ASSERT_TRUE(test_support::make_junction(link, target));
        const UniqueLocal target_before = security_of(target);

        Result<ServiceDir> dir = open_service_dir(program_data, Role::Service);
        ASSERT_TRUE(dir.ok()) << dir.error();
        ASSERT_EQ(dir->moved.size(), 1u);
        EXPECT_EQ(dir->moved[0].from, link);
        EXPECT_TRUE(std::filesystem::is_empty(target));
        const UniqueLocal target_after = security_of(target);
        ASSERT_TRUE(target_before && target_after);
        EXPECT_EQ(GetSecurityDescriptorLength(target_before.get()),
                  GetSecurityDescriptorLength(target_after.get()));
        EXPECT_EQ(std::memcmp(target_before.get(), target_after.get(),
                              GetSecurityDescriptorLength(target_after.get())),
                  0)
            << "the target's security must be left alone";
        EXPECT_TRUE(recorded_as_made(dir->path));
        // The junction goes first, so that removing the temp folder cannot reach through.
        EXPECT_TRUE(RemoveDirectoryW(dir->moved[0].to.c_str()));
    }
}

}  // namespace
}  // namespace korvan::workdir
