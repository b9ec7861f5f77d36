#include "pipe/accounts.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "win/handle.h"

namespace korvan::pipe {

namespace {

// How many processes' accounts are remembered.
constexpr size_t REMEMBERED = 32;

// A process whose account has been read, with a handle kept open on it: while any
// handle on a process is open, its id is not given to another process, so a later
// connection from that id is from the same process, whose token's user cannot change.
struct Known {
    DWORD id;
    win::UniqueHandle process;
    Account account;
};

struct KnownProcesses {
    std::mutex lock;
    // The most recently used last.
    std::vector<Known> known;
};

KnownProcesses& known_processes() {
    static KnownProcesses shared;
    return shared;
}

Account read_account(HANDLE process) {
    win::UniqueHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) {
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

}  // namespace

Account process_account(DWORD process_id) {
    KnownProcesses& processes = known_processes();
    std::lock_guard<std::mutex> held(processes.lock);
    std::vector<Known>& known = processes.known;
    const auto found = std::find_if(known.begin(), known.end(),
                                    [&](const Known& entry) { return entry.id == process_id; });
    if (found != known.end()) {
        std::rotate(found, found + 1, known.end());
        return known.back().account;
    }
    win::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process) {
        return {};
    }
    Account account = read_account(process.get());
    if (account.empty()) {
        return account;
    }
    if (known.size() >= REMEMBERED) {
        known.erase(known.begin());
    }
    known.push_back(Known{process_id, std::move(process), account});
    return account;
}

Account connection_account(HANDLE pipe) {
    ULONG process_id = 0;
    if (!GetNamedPipeClientProcessId(pipe, &process_id)) {
        return {};
    }
    return process_account(process_id);
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
