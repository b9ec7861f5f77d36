#pragma once

// A client of the control pipe, written here with plain Windows calls and without the
// code under test.

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/frames.h"
#include "win/handle.h"

namespace korvan::test_support {

inline constexpr wchar_t SERVICE_PIPE[] = L"\\\\.\\pipe\\korvan-vpn-service";

// Opens the pipe, waiting while it is busy or has no instance, for up to `timeout_ms`.
// `flags` are CreateFileW's flags and attributes (the security quality of service).
// An invalid handle when that fails; `error` then holds the last error.
win::UniqueHandle open_pipe(DWORD timeout_ms = 10000, DWORD* error = nullptr,
                            const wchar_t* name = SERVICE_PIPE, DWORD flags = 0);

bool send_bytes(HANDLE pipe, std::string_view bytes);

// Reads one response frame and returns its body; nullopt when the pipe ends (the
// server closed it) before a whole frame has come.
std::optional<std::string> read_response(HANDLE pipe);

// Whether the server has closed the pipe with nothing (more) to read.
bool closed_without_data(HANDLE pipe);

// Whether the server disconnects the pipe within `timeout_ms`, whatever was left in it
// to read (a disconnect discards it); reads nothing.
bool disconnected_within(HANDLE pipe, DWORD timeout_ms);

// A pipe instance under a name of its own (duplex, byte mode, one instance, 64 KiB
// buffers, `server_flags` added to the open mode) with a client connected to it, opened
// with `client_flags` (open_pipe).
struct PipePair {
    win::UniqueHandle server;
    win::UniqueHandle client;
};
PipePair connected_pair(DWORD server_flags = 0, DWORD client_flags = 0);

// Listening instances of a pipe name held by this process, as any user who may write
// to the pipe can hold them: the service's mode (duplex, byte mode, remote clients
// rejected, 64 KiB buffers), at most 4 instances where the service makes 32, each with
// an overlapped ConnectNamedPipe pending from creation on. The pending connects are
// cancelled and waited for at the end.
class ListeningInstances {
  public:
    ListeningInstances(int count, const wchar_t* name = SERVICE_PIPE);
    ~ListeningInstances();
    ListeningInstances(const ListeningInstances&) = delete;
    ListeningInstances& operator=(const ListeningInstances&) = delete;

    // Whether every instance was created and began to listen.
    bool listening() const;
    // How many of them a client has connected to, whether it is still there or not.
    int connected() const;

  private:
    struct Instance {
        win::UniqueHandle pipe;
        win::UniqueHandle event;
        OVERLAPPED overlapped{};
        bool connect_issued = false;
    };
    // Each OVERLAPPED stays at its address while its connect is pending.
    std::vector<std::unique_ptr<Instance>> instances_;
};

// Opens the pipe, sends `bytes`, reads the response and closes.
std::optional<std::string> round_trip(std::string_view bytes);
std::optional<std::string> request(std::string_view body);

}  // namespace korvan::test_support
