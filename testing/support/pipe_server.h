#pragma once

// A stand-in server for the clients under test, on a thread of the test, under a name of
// its own: instances with the service's mode (duplex, byte mode, remote clients
// rejected, 64 KiB buffers), but at most 4 of them and one at a time, where the
// service's listener holds all of its 32 (pipe/listener.h).

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "win/handle.h"

namespace korvan::test_support {

// What the server does with one client: read one request frame, then write `reply`
// as raw bytes (a frame or anything else; empty writes nothing) and close the
// instance. A `silent` server answers nothing and holds the connection until
// requests() or the end of the server. A `deaf` server does the same without even
// reading the request.
struct Script {
    std::string reply;
    bool silent = false;
    bool deaf = false;
};

class PipeServer {
  public:
    // Serves one client per script, in order. The first instance exists when the
    // constructor returns.
    explicit PipeServer(std::vector<Script> scripts);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Lets silent scripts go, waits until every script has had its client, and
    // returns what each client sent: the request body, or "no request: {read error}".
    std::vector<std::string> requests();

    const std::wstring name;

  private:
    void serve(win::UniqueHandle first);

    std::vector<Script> scripts_;
    win::UniqueHandle release_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    bool done_ = false;
    std::thread thread_;
};

// "\\.\pipe\korvan-ctl-test-{pid}-{n}", new at each call.
std::wstring unique_pipe_name();

}  // namespace korvan::test_support
