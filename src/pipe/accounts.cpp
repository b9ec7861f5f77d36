#include "pipe/accounts.h"

#include <cstdint>
#include <vector>

#include "win/handle.h"

namespace korvan::pipe {

Account process_account(DWORD process_id) {
    const win::UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process) {
        return {};
    }
    win::UniqueHandle token;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) {
        return {};
    }
    // TOKEN_USER and the largest SID it can hold.
    alignas(TOKEN_USER) std::uint8_t user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size)) {
        return {};
    }
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    if (!IsValidSid(sid)) {
        return {};
    }
    return Account(static_cast<const char*>(sid), GetLengthSid(sid));
}

}  // namespace korvan::pipe
