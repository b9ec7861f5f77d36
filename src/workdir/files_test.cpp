#include "workdir/files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "win/utf.h"

namespace korvan::workdir {
namespace {

using win::narrow;

TEST(WorkDir, IsKorvanVPNServiceBelowProgramData) {
    struct Case {
        std::wstring program_data;
        std::wstring work;
    };
    const std::vector<Case> cases = {
        {L"C:\\ProgramData", L"C:\\ProgramData\\KorvanVPN\\service"},
        {L"D:\\data\\", L"D:\\data\\KorvanVPN\\service"},
        {L"", L"KorvanVPN\\service"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.program_data));
        EXPECT_EQ(work_dir(c.program_data), c.work);
    }
}

}  // namespace
}  // namespace korvan::workdir
