#include "pipe/control_policy.h"

#include <sddl.h>

#include <vector>

#include "common/names.h"
#include "pipe/policy_watch.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::pipe {

namespace {

Failure cannot_read(const wchar_t* key, LSTATUS status) {
    return prefixed(std::string(POLICY_PREFIX) + std::string(CANNOT_READ) + win::narrow(key),
                    win::winapi_failure(READ_VALUE_STEP, static_cast<DWORD>(status)));
}

// Absent when neither the key nor the value is there.
Result<std::optional<PolicyValue>> read_value(const wchar_t* key) {
    for (;;) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, key, names::START_ALLOWED_FOR,
                                      RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND) {
            return std::optional<PolicyValue>();
        }
        if (status != ERROR_SUCCESS) {
            return cannot_read(key, status);
        }
        if (type != REG_SZ) {
            return std::optional<PolicyValue>(PolicyValue{PolicyValue::Kind::OtherType, {}, type});
        }
        std::vector<wchar_t> text(size / sizeof(wchar_t) + 1);
        DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        status = RegGetValueW(HKEY_LOCAL_MACHINE, key, names::START_ALLOWED_FOR,
                              RRF_RT_REG_SZ | RRF_NOEXPAND, &type, text.data(), &bytes);
        // The value may have grown, changed its type or gone between the two calls.
        if (status == ERROR_MORE_DATA || status == ERROR_UNSUPPORTED_TYPE) {
            continue;
        }
        if (status == ERROR_FILE_NOT_FOUND) {
            return std::optional<PolicyValue>();
        }
        if (status != ERROR_SUCCESS) {
            return cannot_read(key, status);
        }
        // RegGetValueW ends a REG_SZ with one terminator, counted in `bytes`.
        const size_t length = bytes / sizeof(wchar_t);
        return std::optional<PolicyValue>(
            PolicyValue{PolicyValue::Kind::Text,
                        std::wstring(text.data(), length > 0 ? length - 1 : 0), REG_SZ});
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

}  // namespace

PolicyKeys machine_policy_keys() {
    return PolicyKeys{names::POLICY_KEY, names::PRODUCT_KEY};
}

Result<PolicyValue> read_policy(const PolicyKeys& keys) {
    for (const wchar_t* key : {keys.policy, keys.product}) {
        Result<std::optional<PolicyValue>> value = read_value(key);
        if (!value) {
            return value.failure();
        }
        if (value.value()) {
            return std::move(*value.value());
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
    PolicyWatch& watch = source.watch != nullptr ? *source.watch : machine_policy_watch();
    const PolicyReading reading = watch.latest();
    switch (reading.state) {
        case PolicyReading::State::Read:
            return policy_allows(reading.value, token);
        case PolicyReading::State::Failed:
            return reading.failure;
        case PolicyReading::State::NotYet:
            break;
    }
    return Failure{std::string(POLICY_PREFIX) + std::string(NOT_READ_YET)};
}

}  // namespace korvan::pipe
