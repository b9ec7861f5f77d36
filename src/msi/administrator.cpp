#include "msi/administrator.h"

#include <vector>

#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::msi {

namespace {

// The token the calling thread acts with: its impersonation token, else its process's.
// Opened as the process, so that a thread impersonating at identification level can
// open its own.
Result<win::UniqueHandle> open_effective_token() {
    win::UniqueHandle token;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        return token;
    }
    if (const DWORD error = GetLastError(); error != ERROR_NO_TOKEN) {
        return win::winapi_failure("OpenThreadToken", error);
    }
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        const DWORD error = GetLastError();
        return win::winapi_failure("OpenProcessToken", error);
    }
    return token;
}

}  // namespace

Result<bool> administrators_enabled(HANDLE token) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("CreateWellKnownSid", error);
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(token, sid, &member)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("CheckTokenMembership", error);
    }
    return member != FALSE;
}

Result<TOKEN_ELEVATION_TYPE> token_elevation_type(HANDLE token) {
    TOKEN_ELEVATION_TYPE type{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("GetTokenInformation(TokenElevationType)", error);
    }
    return type;
}

Result<bool> token_restricted(HANDLE token) {
    constexpr std::string_view STEP = "GetTokenInformation(TokenRestrictedSids)";
    DWORD size = 0;
    // Asked with no room, the call fails with ERROR_INSUFFICIENT_BUFFER and the size.
    if (GetTokenInformation(token, TokenRestrictedSids, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        const DWORD error = GetLastError();
        return win::winapi_failure(STEP, error);
    }
    std::vector<BYTE> groups(size);
    if (!GetTokenInformation(token, TokenRestrictedSids, groups.data(), size, &size)) {
        const DWORD error = GetLastError();
        return win::winapi_failure(STEP, error);
    }
    return reinterpret_cast<const TOKEN_GROUPS*>(groups.data())->GroupCount > 0;
}

Result<bool> linked_administrators_enabled(HANDLE token) {
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("GetTokenInformation(TokenLinkedToken)", error);
    }
    const win::UniqueHandle owned(linked.LinkedToken);
    Result<bool> enabled = administrators_enabled(owned.get());
    if (!enabled) {
        return prefixed("linked token", enabled.failure());
    }
    return enabled;
}

Result<Maintainer> maintainer(HANDLE token, const ElevationReaders& readers) {
    const Result<bool> enabled = administrators_enabled(token);
    if (!enabled) {
        return enabled.failure();
    }
    if (enabled.value()) {
        return Maintainer::Administrator;
    }
    win::UniqueHandle own;
    if (token == nullptr) {
        Result<win::UniqueHandle> opened = open_effective_token();
        if (!opened) {
            return opened.failure();
        }
        own = std::move(opened.value());
        token = own.get();
    }
    const Result<TOKEN_ELEVATION_TYPE> type = readers.elevation_type(token);
    if (!type) {
        return type.failure();
    }
    if (type.value() != TokenElevationTypeLimited) {
        return Maintainer::Refused;
    }
    // A restricted copy of the limited token keeps its link to the full token.
    const Result<bool> restricted = readers.restricted(token);
    if (!restricted) {
        return restricted.failure();
    }
    if (restricted.value()) {
        return Maintainer::Refused;
    }
    const Result<bool> linked = readers.linked_administrators_enabled(token);
    if (!linked) {
        return linked.failure();
    }
    return linked.value() ? Maintainer::LinkedAdministrator : Maintainer::Refused;
}

}  // namespace korvan::msi
