#include "client/connect.h"

#include <algorithm>
#include <string>

#include "win/error_text.h"
#include "win/overlapped_io.h"
#include "win/utf.h"

namespace korvan::client {

namespace {

// How long to wait before looking for a pipe that does not exist yet.
constexpr DWORD RETRY_MS = 50;

}  // namespace

Deadline deadline_in_ms(std::uint64_t ms) {
    return Deadline{GetTickCount64() + ms, ms};
}

std::string span_text(const Deadline& deadline) {
    if (deadline.ms % 1000 == 0) {
        return std::to_string(deadline.ms / 1000) + " s";
    }
    return std::to_string(deadline.ms) + " ms";
}

Result<win::UniqueHandle> open_pipe(std::string_view name, const Deadline& deadline) {
    const std::wstring wide = win::widen(name);
    const std::string step = "connect " + std::string(name);
    const Failure missing{step + ": the pipe does not exist (is the service running?)",
                          ERROR_FILE_NOT_FOUND};
    const Failure busy{step + ": every instance of the pipe stayed busy for " + span_text(deadline),
                       ERROR_PIPE_BUSY};
    // A pipe seen busy may be found missing later: its server may have ended, or be
    // one that closes each instance before it creates the next.
    bool seen_busy = false;
    for (;;) {
        win::UniqueHandle pipe(CreateFileW(
            wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        const DWORD error = GetLastError();
        if (pipe) {
            return pipe;
        }
        const DWORD left = win::remaining_ms(deadline.end_tick);
        if (error == ERROR_FILE_NOT_FOUND) {
            if (left == 0) {
                return seen_busy ? busy : missing;
            }
            Sleep(std::min(left, RETRY_MS));
        } else if (error == ERROR_PIPE_BUSY) {
            seen_busy = true;
            if (left == 0) {
                return busy;
            }
            // A timeout of 0 would mean the pipe's default wait, so `left` is never 0 here.
            // Whatever the wait reports, the next CreateFileW decides. When the instance
            // goes away during the wait, Wine fails it at once (with 676), so a failed
            // wait pauses like a missing pipe does.
            if (!WaitNamedPipeW(wide.c_str(), left)) {
                const DWORD wait_error = GetLastError();
                if (wait_error != ERROR_SEM_TIMEOUT) {
                    Sleep(std::min(win::remaining_ms(deadline.end_tick), RETRY_MS));
                }
            }
        } else {
            return win::winapi_failure(step + ": CreateFileW", error);
        }
    }
}

}  // namespace korvan::client
