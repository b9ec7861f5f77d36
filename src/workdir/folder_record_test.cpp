#include "workdir/folder_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/test_support.h"

namespace korvan::workdir {
namespace {

using test_support::expected_os_text;

TEST(SameFile, NeedsTheSameFileIdOnTheSameVolumeUnlessItsSerialIsUnknown) {
    FILE_ID_INFO base{};
    base.VolumeSerialNumber = 0x1234;
    base.FileId.Identifier[0] = 7;
    FILE_ID_INFO other_volume = base;
    other_volume.VolumeSerialNumber = 0x1235;
    FILE_ID_INFO other_id = base;
    other_id.FileId.Identifier[15] = 1;
    FILE_ID_INFO unknown_volume = base;
    unknown_volume.VolumeSerialNumber = 0;
    FILE_ID_INFO unknown_volume_other_id = other_id;
    unknown_volume_other_id.VolumeSerialNumber = 0;
    struct Case {
        const char* name;
        FILE_ID_INFO right;
        bool same;
    };
    const std::vector<Case> cases = {
        {"the same", base, true},
        {"the same file ID on another volume", other_volume, false},
        {"another file ID on the same volume", other_id, false},
        {"the same file ID, the serial read as 0", unknown_volume, true},
        {"another file ID, the serial read as 0", unknown_volume_other_id, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(same_file(base, c.right), c.same);
        EXPECT_EQ(same_file(c.right, base), c.same);
    }
}

FILE_ID_INFO id_filled_with(BYTE fill) {
    FILE_ID_INFO id{};
    id.VolumeSerialNumber = 0x1234;
    std::memset(id.FileId.Identifier, fill, sizeof id.FileId.Identifier);
    return id;
}

TEST(UsableFileId, AllZerosAndAllOnesTellNothing) {
    FILE_ID_INFO mixed = id_filled_with(0xFF);
    mixed.FileId.Identifier[3] = 0;
    struct Case {
        const char* name;
        FILE_ID_INFO id;
        bool usable;
    };
    const std::vector<Case> cases = {
        {"all zeros", id_filled_with(0x00), false},
        {"all ones", id_filled_with(0xFF), false},
        {"a low ID",
         [] {
             FILE_ID_INFO id = id_filled_with(0x00);
             id.FileId.Identifier[0] = 1;
             return id;
         }(),
         true},
        {"ones and a zero", mixed, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(usable_file_id(c.id), c.usable);
    }
}

TEST(FileId, AHandleThatCannotBeReadYieldsTheReadsErrorAndCode) {
    const Result<FILE_ID_INFO> id = file_id(nullptr);
    ASSERT_FALSE(id.ok());
    EXPECT_EQ(id.error(), expected_os_text(ERROR_INVALID_HANDLE));
    EXPECT_EQ(id.failure().system_error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace korvan::workdir
