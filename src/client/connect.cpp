#include "client/connect.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "common/names.h"
#include "win/error_text.h"
#include "win/utf.h"

namespace korvan::client {

namespace {

// How long to wait before looking for a pipe that does not exist yet.
constexpr DWORD RETRY_MS = 50;
// How often the Service Control Manager is asked while the service's pipe is missing:
// each query is a few calls into services.exe.
constexpr ULONGLONG QUERY_INTERVAL_MS = 250;
// The service makes its instances while the pipe's descriptor admits no one else, and
// opens it once they are all made: a refusal of the service's pipe is tried again for
// this long, in case it came in that moment.
constexpr ULONGLONG REFUSED_RETRY_MS = 500;
constexpr DWORD REFUSED_PAUSE_MS = 10;

}  // namespace

bool is_service_pipe(std::string_view name) {
    const std::wstring wide = win::widen(name);
    const std::wstring_view service = names::PIPE_NAME;
    return CompareStringOrdinal(wide.data(), static_cast<int>(wide.size()), service.data(),
                                static_cast<int>(service.size()), TRUE) == CSTR_EQUAL;
}

Result<win::UniqueHandle> open_pipe(std::string_view name, const win::Deadline& deadline,
                                    const ServiceQuery& query) {
    const std::wstring wide = win::widen(name);
    const std::string step = "connect " + std::string(name);
    const Failure missing{step + ": the pipe does not exist (is the service running?)",
                          ERROR_FILE_NOT_FOUND};
    const Failure busy{
        step + ": every instance of the pipe stayed busy for " + deadline.span_text(),
        ERROR_PIPE_BUSY};
    const bool service_pipe = is_service_pipe(name);
    ULONGLONG last_query = 0;
    bool queried = false;
    ULONGLONG first_refusal = 0;
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
        if (error == ERROR_FILE_NOT_FOUND) {
            if (service_pipe && (!queried || GetTickCount64() - last_query >= QUERY_INTERVAL_MS)) {
                queried = true;
                last_query = GetTickCount64();
                if (Result<ServiceState> service = query()) {
                    if (std::optional<Failure> absent = absent_service(service.value())) {
                        return prefixed(step, *absent);
                    }
                }
            }
            if (deadline.passed()) {
                return seen_busy ? busy : missing;
            }
            Sleep(std::min(deadline.remaining_ms(), RETRY_MS));
        } else if (error == ERROR_PIPE_BUSY) {
            seen_busy = true;
            if (deadline.passed()) {
                return busy;
            }
            // A timeout of 0 would mean the pipe's default wait, so the wait is never
            // given 0. Whatever the wait reports, the next CreateFileW decides at once:
            // an instance that comes free goes to whoever opens the pipe first, and a
            // pause would give it to a client that opens in a tight loop. A pipe that
            // has gone is then found missing, which pauses.
            WaitNamedPipeW(wide.c_str(), std::max<DWORD>(deadline.remaining_ms(), 1));
        } else if (error == ERROR_ACCESS_DENIED && service_pipe &&
                   (first_refusal == 0 || GetTickCount64() - first_refusal < REFUSED_RETRY_MS) &&
                   !deadline.passed()) {
            if (first_refusal == 0) {
                first_refusal = GetTickCount64();
            }
            Sleep(std::min(deadline.remaining_ms(), REFUSED_PAUSE_MS));
        } else {
            return win::winapi_failure(step + ": CreateFileW", error);
        }
        // Nothing is tried once the deadline has passed.
        if (deadline.passed()) {
            return seen_busy ? busy : missing;
        }
    }
}

}  // namespace korvan::client
