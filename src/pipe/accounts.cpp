#include "pipe/accounts.h"

#include <algorithm>
#include <cstdint>

namespace korvan::pipe {

Account token_account(HANDLE token) {
    // TOKEN_USER and the largest SID it can hold.
    alignas(TOKEN_USER) std::uint8_t user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, user, sizeof user, &size)) {
        return {};
    }
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    if (!IsValidSid(sid)) {
        return {};
    }
    return Account(static_cast<const char*>(sid), GetLengthSid(sid));
}

Account caller_account(HANDLE, HANDLE token) {
    return token_account(token);
}

LimitVerdict limit_accounts(std::span<const HeldInstance> held, size_t listening, std::uint64_t now,
                            std::span<bool> end) {
    LimitVerdict verdict;
    if (listening >= SHORT_OF_INSTANCES) {
        return verdict;
    }
    for (size_t index = 0; index < held.size(); ++index) {
        const HeldInstance& instance = held[index];
        if (!instance.waits_on_client) {
            continue;
        }
        size_t earlier = 0;
        for (const HeldInstance& other : held) {
            if (other.account == instance.account && other.order < instance.order) {
                ++earlier;
            }
        }
        if (earlier < ACCOUNT_INSTANCES) {
            continue;
        }
        const std::uint64_t grace_end = instance.phase_since + OVER_LIMIT_GRACE_MS;
        if (now >= grace_end) {
            end[index] = true;
            ++verdict.ended;
        } else {
            verdict.next_end = std::min(verdict.next_end, grace_end);
        }
    }
    return verdict;
}

}  // namespace korvan::pipe
