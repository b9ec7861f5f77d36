#include "pipe/control_policy.h"

#include <sddl.h>

#include <mutex>
#include <vector>

#include "common/names.h"
#include "log/service_log.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::pipe {

namespace {

// Absent when neither the key nor the value is there; a value that cannot be read for
// another reason counts as one of another type, so that it refuses rather than opens.
std::optional<PolicyValue> read_value(const wchar_t* key) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, key, names::START_ALLOWED_FOR,
                                  RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return std::nullopt;
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return PolicyValue{PolicyValue::Kind::OtherType, {}, type};
    }
    // The value may change between the two reads; a second size is retried.
    for (;;) {
        std::vector<wchar_t> text(size / sizeof(wchar_t) + 1);
        DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        status = RegGetValueW(HKEY_LOCAL_MACHINE, key, names::START_ALLOWED_FOR,
                              RRF_RT_REG_SZ | RRF_NOEXPAND, &type, text.data(), &bytes);
        if (status == ERROR_MORE_DATA) {
            size = bytes;
            continue;
        }
        if (status == ERROR_FILE_NOT_FOUND) {
            return std::nullopt;
        }
        if (status != ERROR_SUCCESS) {
            return PolicyValue{PolicyValue::Kind::OtherType, {}, type};
        }
        // RegGetValueW ends a REG_SZ with one terminator, counted in `bytes`.
        const size_t length = bytes / sizeof(wchar_t);
        return PolicyValue{PolicyValue::Kind::Text,
                           std::wstring(text.data(), length > 0 ? length - 1 : 0), REG_SZ};
    }
}

// The value as a SID: only the "S-1-..." form, not the two-letter aliases that
// ConvertStringSidToSidW also takes, so that only what an administrator wrote as a SID
// is one.
win::UniqueLocal parse_sid(const std::wstring& text) {
    win::UniqueLocal sid;
    if (text.size() < 2 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') {
        return sid;
    }
    PSID parsed = nullptr;
    if (ConvertStringSidToSidW(text.c_str(), &parsed)) {
        sid.reset(parsed);
    }
    return sid;
}

// The last line of a kind logged, so that a value or an error is logged once, not at
// every request.
struct LoggedOnce {
    std::mutex lock;
    std::optional<std::string> last;

    void log(const std::optional<std::string>& line) {
        std::lock_guard<std::mutex> held(lock);
        if (line && line != last) {
            log::write_log(*line);
        }
        last = line;
    }
};

LoggedOnce& logged_fault() {
    static LoggedOnce shared;
    return shared;
}

// The policy as the source holds it, read under its lock; absent when the lock was not
// had in time.
std::optional<PolicyValue> read_locked(const PolicySource& source) {
    const PolicySection::Hold hold = source.section->enter();
    if (hold.entry() == PolicySection::Entry::TimedOut) {
        return std::nullopt;
    }
    if (hold.new_failure()) {
        log::write_log(std::string(POLICY_PREFIX) + std::string(READ_WITHOUT_LOCK) + ": " +
                       win::winapi_failure(ENTER_SECTION_STEP, hold.error()).text);
    }
    return read_policy(source.keys);
}

}  // namespace

PolicyKeys machine_policy_keys() {
    return PolicyKeys{names::POLICY_KEY, names::PRODUCT_KEY};
}

PolicyValue read_policy(const PolicyKeys& keys) {
    for (const wchar_t* key : {keys.policy, keys.product}) {
        if (std::optional<PolicyValue> value = read_value(key)) {
            return std::move(*value);
        }
    }
    return PolicyValue{};
}

std::optional<std::string> policy_fault(const PolicyValue& value) {
    if (value.kind == PolicyValue::Kind::OtherType) {
        return std::string(POLICY_PREFIX) + std::string(NOT_A_STRING) + std::to_string(value.type) +
               ")";
    }
    if (value.kind == PolicyValue::Kind::Text && !value.text.empty() && !parse_sid(value.text)) {
        return std::string(POLICY_PREFIX) + std::string(NOT_A_SID) + "\"" +
               win::narrow(value.text) + "\"";
    }
    return std::nullopt;
}

Result<void> policy_allows(const PolicyValue& value, HANDLE token) {
    if (std::optional<std::string> fault = policy_fault(value)) {
        return Failure{std::move(*fault)};
    }
    if (value.kind == PolicyValue::Kind::Absent || value.text.empty()) {
        return {};
    }
    const win::UniqueLocal sid = parse_sid(value.text);
    BOOL member = FALSE;
    if (CheckTokenMembership(token, sid.get(), &member) && member) {
        return {};
    }
    return Failure{std::string(POLICY_PREFIX) + std::string(MEMBERS_ONLY) +
                   win::narrow(value.text) + std::string(MEMBERS_ONLY_END)};
}

Result<void> may_start_and_stop(HANDLE token, const PolicySource& source) {
    const std::optional<PolicyValue> value = read_locked(source);
    if (!value) {
        return Failure{std::string(POLICY_PREFIX) + std::string(POLICY_BEING_APPLIED)};
    }
    logged_fault().log(policy_fault(*value));
    return policy_allows(*value, token);
}

}  // namespace korvan::pipe
