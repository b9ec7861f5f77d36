#include "win/error_text.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.h"

namespace korvan::win {
namespace {

using test_support::expected_message;

// Wine and Windows word their messages differently ("Access denied." against
// "Access is denied."), so the expected texts take the message from FormatMessageW.

// FormatMessageW knows no message for this code, as a Win32 code or as an HRESULT.
constexpr DWORD NO_MESSAGE_CODE = 12345;

TEST(ErrorText, SystemMessageLosesTrailingBlanksAndLineBreaks) {
    const std::string message = system_message(ERROR_ACCESS_DENIED);
    EXPECT_EQ(message, expected_message(ERROR_ACCESS_DENIED));
    ASSERT_FALSE(message.empty());
    EXPECT_NE(message.back(), '\n');
    EXPECT_NE(message.back(), '\r');
    EXPECT_NE(message.back(), ' ');
    EXPECT_EQ(system_message(NO_MESSAGE_CODE), "");
}

TEST(ErrorText, HresultFromWin32PutsCodesInTheWin32Facility) {
    struct Case {
        DWORD code;
        std::uint32_t hresult;
    };
    const std::vector<Case> cases = {
        {0, 0},
        {ERROR_ACCESS_DENIED, 0x80070005u},
        {NO_MESSAGE_CODE, 0x80073039u},
        {0x12345, 0x80072345u},      // only the low 16 bits are kept
        {0x80004005u, 0x80004005u},  // already an HRESULT
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(hresult_from_win32(c.code), c.hresult);
    }
}

TEST(ErrorText, WinapiFormIsTheMessageThenTheHresultOrTheHresultAlone) {
    // One HRESULT the system has a message for, and one it has none for.
    ASSERT_NE(system_message(0x80070005u), "");
    ASSERT_EQ(system_message(0x80073039u), "");
    struct Case {
        DWORD code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {ERROR_ACCESS_DENIED, expected_message(0x80070005u) + " (0x80070005)"},
        {ERROR_BROKEN_PIPE, expected_message(0x8007006Du) + " (0x8007006D)"},
        {NO_MESSAGE_CODE, "0x80073039"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(winapi_error_text(c.code), c.text);
    }
}

TEST(ErrorText, OsFormIsTheMessageThenTheDecimalCode) {
    struct Case {
        DWORD code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {ERROR_ACCESS_DENIED, expected_message(ERROR_ACCESS_DENIED) + " (os error 5)"},
        {ERROR_ALREADY_EXISTS, expected_message(ERROR_ALREADY_EXISTS) + " (os error 183)"},
        // 317 is ERROR_MR_MID_NOT_FOUND, FormatMessageW's own failure.
        {NO_MESSAGE_CODE, "OS Error 12345 (FormatMessageW() returned error 317) (os error 12345)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(os_error_text(c.code), c.text);
    }
    EXPECT_EQ(WRITE_ZERO_TEXT, "failed to write whole buffer");
}

TEST(ErrorText, ScmFormsAreTheShortTextAndTheDiagnosticForm) {
    EXPECT_EQ(SCM_ERROR_TEXT, "IO error in winapi call");
    EXPECT_EQ(scm_diagnostic_text(ERROR_ACCESS_DENIED),
              "Winapi(Os { code: 5, kind: PermissionDenied, message: \"" +
                  expected_message(ERROR_ACCESS_DENIED) + "\" })");
    EXPECT_EQ(scm_diagnostic_text(NO_MESSAGE_CODE),
              "Winapi(Os { code: 12345, kind: Uncategorized, message: \"OS Error 12345 "
              "(FormatMessageW() returned error 317)\" })");
}

TEST(ErrorText, ErrorKindNamesTheCategoryOfCommonCodes) {
    struct Case {
        DWORD code;
        std::string_view kind;
    };
    const std::vector<Case> cases = {
        {ERROR_ACCESS_DENIED, "PermissionDenied"},
        {ERROR_FILE_NOT_FOUND, "NotFound"},
        {ERROR_PATH_NOT_FOUND, "NotFound"},
        {ERROR_ALREADY_EXISTS, "AlreadyExists"},
        {ERROR_FILE_EXISTS, "AlreadyExists"},
        {ERROR_SERVICE_EXISTS, "AlreadyExists"},
        {ERROR_BROKEN_PIPE, "BrokenPipe"},
        {ERROR_NO_DATA, "BrokenPipe"},
        {ERROR_INVALID_PARAMETER, "InvalidInput"},
        {ERROR_NOT_ENOUGH_MEMORY, "OutOfMemory"},
        {ERROR_OUTOFMEMORY, "OutOfMemory"},
        {ERROR_SEM_TIMEOUT, "TimedOut"},
        {WAIT_TIMEOUT, "TimedOut"},
        {ERROR_TIMEOUT, "TimedOut"},
        {ERROR_SERVICE_REQUEST_TIMEOUT, "TimedOut"},
        {ERROR_CALL_NOT_IMPLEMENTED, "Unsupported"},
        {ERROR_DISK_FULL, "StorageFull"},
        {ERROR_HANDLE_DISK_FULL, "StorageFull"},
        {ERROR_BUSY, "ResourceBusy"},
        {ERROR_SUCCESS, "Uncategorized"},
        {ERROR_INVALID_HANDLE, "Uncategorized"},
        {ERROR_SERVICE_DOES_NOT_EXIST, "Uncategorized"},
        {NO_MESSAGE_CODE, "Uncategorized"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(error_kind(c.code), c.kind);
    }
}

TEST(ErrorText, FailuresCarryTheirStep) {
    EXPECT_EQ(winapi_failure("CreateJobObjectW", NO_MESSAGE_CODE).text,
              "CreateJobObjectW: 0x80073039");
    EXPECT_EQ(os_failure("create work dir", ERROR_ACCESS_DENIED).text,
              "create work dir: " + expected_message(ERROR_ACCESS_DENIED) + " (os error 5)");
}

TEST(ErrorText, EveryFailureFormCarriesItsCodeBesideItsText) {
    struct Case {
        const char* name;
        Failure failure;
        std::string text;
        DWORD code;
    };
    const std::vector<Case> cases = {
        {"winapi with a step", winapi_failure("CreateJobObjectW", NO_MESSAGE_CODE),
         "CreateJobObjectW: 0x80073039", NO_MESSAGE_CODE},
        {"winapi alone", winapi_failure(NO_MESSAGE_CODE), "0x80073039", NO_MESSAGE_CODE},
        {"os with a step", os_failure("create work dir", ERROR_ACCESS_DENIED),
         "create work dir: " + os_error_text(ERROR_ACCESS_DENIED), ERROR_ACCESS_DENIED},
        {"os alone", os_failure(ERROR_ALREADY_EXISTS), os_error_text(ERROR_ALREADY_EXISTS),
         ERROR_ALREADY_EXISTS},
        {"SCM on the console", scm_failure("open SCM", ERROR_ACCESS_DENIED),
         "open SCM: IO error in winapi call", ERROR_ACCESS_DENIED},
        {"SCM diagnostic", scm_diagnostic_failure(ERROR_ACCESS_DENIED),
         scm_diagnostic_text(ERROR_ACCESS_DENIED), ERROR_ACCESS_DENIED},
        {"prefixed once more", prefixed("outer", os_failure("inner", ERROR_DISK_FULL)),
         "outer: inner: " + os_error_text(ERROR_DISK_FULL), ERROR_DISK_FULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.failure.text, c.text);
        EXPECT_EQ(c.failure.system_error, c.code);
    }
}

}  // namespace
}  // namespace korvan::win
