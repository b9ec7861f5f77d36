// The listener on a thread of this test, with real clients on the real pipe.

#include "pipe/listener.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/supervise.h"
#include "log/service_log.h"
#include "pipe/exchange.h"
#include "support/core_sandbox.h"
#include "support/folder_probes.h"
#include "support/pipe_client.h"
#include "win/error_text.h"
#include "workdir/folder_record.h"

namespace korvan::pipe {
namespace {

using test_support::closed_without_data;
using test_support::CoreSandbox;
using test_support::framed;
using test_support::LoggedSandbox;
using test_support::open_pipe;
using test_support::prefix_of;
using test_support::read_response;
using test_support::request;
using test_support::send_bytes;
using win::UniqueHandle;

constexpr char PONG[] = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
constexpr char PING[] = R"({"op":"ping"})";

std::shared_ptr<win::StopFlag> stop_flag() {
    std::shared_ptr<win::StopFlag> stop = win::make_stop_flag();
    EXPECT_TRUE(stop);
    return stop;
}

// The listener on its own thread, stopped as the service's stop handling stops it.
struct Listener {
    explicit Listener(DWORD budget_ms = EXCHANGE_BUDGET_MS,
                      std::shared_ptr<win::StopFlag> flag = stop_flag(),
                      CreatePipeInstance create = CreateNamedPipeW)
        : stop_request(std::move(flag)), thread([this, budget_ms, create] {
              run_pipe_listener(*stop_request, supervisor, budget_ms, create);
              SetEvent(done.get());
          }) {}
    ~Listener() {
        stop();
        supervisor.stop();
    }

    // Sets the flag, signals the event, and waits for the listener to return. A
    // listener that does not return on them is released with one connection, so that
    // a failure ends the test rather than hanging it.
    void stop() {
        if (!thread.joinable()) {
            return;
        }
        stop_request->set();
        stop_request->signal();
        if (!returned_within(30000)) {
            ADD_FAILURE() << "the listener did not end on the stop request";
            open_pipe(0);
            if (!returned_within(30000)) {
                std::abort();
            }
        }
        thread.join();
    }

    bool returned_within(DWORD ms) { return WaitForSingleObject(done.get(), ms) == WAIT_OBJECT_0; }

    std::shared_ptr<win::StopFlag> stop_request;
    core::Supervisor supervisor;
    UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread;
};

std::vector<std::string> log_lines(const CoreSandbox& sandbox) {
    std::vector<std::string> lines;
    const std::optional<std::string> text =
        test_support::read_file(sandbox.work + L"\\service.log");
    if (!text) {
        return lines;
    }
    size_t start = 0;
    while (start < text->size()) {
        const size_t end = text->find('\n', start);
        lines.push_back(text->substr(start, end - start));
        start = end == std::string::npos ? text->size() : end + 1;
    }
    return lines;
}

// Waits (up to five seconds) for the log to have a line.
std::vector<std::string> first_log_lines(const CoreSandbox& sandbox) {
    for (int waited = 0; waited < 5000 && log_lines(sandbox).empty(); waited += 50) {
        Sleep(50);
    }
    return log_lines(sandbox);
}

// A stand-in for CreateNamedPipeW that creates real instances unless told otherwise,
// and records each call. A plain function carries no state: there is one stand-in,
// told anew by each test that uses it.
struct CreateCall {
    bool first;  // with FILE_FLAG_FIRST_PIPE_INSTANCE
    bool created;
    bool operator==(const CreateCall&) const = default;
};

struct StandInRules {
    // A first instance is refused with ERROR_ACCESS_DENIED, as Windows refuses it while
    // the name has an instance; Wine creates it.
    bool name_held = false;
    // This many creations that are not first instances fail with ERROR_PIPE_BUSY.
    int next_instance_failures = 0;
    // When not ERROR_SUCCESS, every creation fails with it.
    DWORD every_creation_fails_with = ERROR_SUCCESS;
};

struct StandIn {
    std::mutex lock;
    StandInRules rules;
    std::vector<CreateCall> calls;
};

StandIn& stand_in() {
    static StandIn instance;
    return instance;
}

void tell_stand_in(const StandInRules& rules) {
    const std::lock_guard hold(stand_in().lock);
    stand_in().rules = rules;
    stand_in().calls.clear();
}

// The other's instances are gone: first instances are created again.
void stand_in_name_released() {
    const std::lock_guard hold(stand_in().lock);
    stand_in().rules.name_held = false;
}

std::vector<CreateCall> stand_in_calls() {
    const std::lock_guard hold(stand_in().lock);
    return stand_in().calls;
}

HANDLE WINAPI create_as_told(LPCWSTR name, DWORD open_mode, DWORD pipe_mode, DWORD max_instances,
                             DWORD out_size, DWORD in_size, DWORD time_out,
                             LPSECURITY_ATTRIBUTES security) {
    const bool first = (open_mode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0;
    const std::lock_guard hold(stand_in().lock);
    StandInRules& rules = stand_in().rules;
    DWORD refusal = rules.every_creation_fails_with;
    if (refusal == ERROR_SUCCESS && first && rules.name_held) {
        refusal = ERROR_ACCESS_DENIED;
    } else if (refusal == ERROR_SUCCESS && !first && rules.next_instance_failures > 0) {
        --rules.next_instance_failures;
        refusal = ERROR_PIPE_BUSY;
    }
    HANDLE pipe = INVALID_HANDLE_VALUE;
    DWORD error = refusal;
    if (refusal == ERROR_SUCCESS) {
        pipe = CreateNamedPipeW(name, open_mode, pipe_mode, max_instances, out_size, in_size,
                                time_out, security);
        error = GetLastError();
    }
    stand_in().calls.push_back({first, pipe != INVALID_HANDLE_VALUE});
    SetLastError(error);
    return pipe;
}

const std::string ABORTED_READ =
    "read frame: ReadFile: " + win::winapi_error_text(ERROR_OPERATION_ABORTED);

TEST(Listener, AnswersEachRequestKindByteForByte) {
    LoggedSandbox sandbox;
    Listener listener;
    struct Case {
        std::string body;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {PING, PONG},
        {R"({"op":"status"})",
         R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})"},
        {R"({"op":"start","config_yaml":"mixed-port: 7890\n","secret":"","mixed_port":10800,"ctl_port":10900})",
         R"({"ok":"started","mixed_port":10800,"ctl_port":10900})"},
        {R"({"op":"status"})",
         R"({"ok":"status","running":true,"mixed_port":10800,"ctl_port":10900})"},
        {R"({"op":"stop"})", R"({"ok":"stopped"})"},
        {R"({"op":"Ping"})",
         R"({"ok":"error","code":"bad_request","message":"parse: unknown variant `Ping`, expected one of `ping`, `status`, `start`, `stop` at line 1 column 12"})"},
        {"{}",
         R"({"ok":"error","code":"bad_request","message":"parse: missing field `op` at line 1 column 2"})"},
        {R"({"op":"ping"} x)",
         R"({"ok":"error","code":"bad_request","message":"parse: trailing characters at line 1 column 15"})"},
        {R"({"op":"start","config_yaml":"a"})",
         R"({"ok":"error","code":"bad_request","message":"parse: missing field `secret`"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(request(c.body), c.answer);
    }
    // Outcomes are never logged.
    EXPECT_TRUE(log_lines(sandbox).empty());
}

TEST(Listener, UnreadableFramesAreLoggedAndUnanswered) {
    LoggedSandbox sandbox;
    Listener listener;
    struct Case {
        const char* name;
        std::string bytes;
        std::string log;
    };
    const std::vector<Case> cases = {
        {"length 0", prefix_of(0), "read frame: frame length out of range: 0"},
        {"length 1048577", prefix_of(1'048'577), "read frame: frame length out of range: 1048577"},
        {"big-endian 13", std::string("\0\0\0\x0d", 4) + "{\"op\":\"ping\"}",
         "read frame: frame length out of range: 218103808"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueHandle pipe = open_pipe();
        ASSERT_TRUE(send_bytes(pipe.get(), c.bytes));
        EXPECT_TRUE(closed_without_data(pipe.get()));
        const std::vector<std::string> lines = log_lines(sandbox);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.log);
    }
    {
        SCOPED_TRACE("prefix, then the client closes");
        UniqueHandle pipe = open_pipe();
        ASSERT_TRUE(send_bytes(pipe.get(), prefix_of(13)));
        // Returns once the listener has read the prefix. A client that closes before
        // the listener's ConnectNamedPipe leaves no exchange at all (ERROR_NO_DATA).
        ASSERT_TRUE(FlushFileBuffers(pipe.get()));
        pipe.reset();
        // The next client is served only after that exchange has ended.
        EXPECT_EQ(request(PING), PONG);
        const std::vector<std::string> lines = log_lines(sandbox);
        ASSERT_EQ(lines.size(), cases.size() + 1);
        EXPECT_TRUE(lines.back() == "read frame: pipe closed" ||
                    lines.back() ==
                        "read frame: ReadFile: " + win::winapi_error_text(ERROR_BROKEN_PIPE))
            << lines.back();
    }
}

TEST(Listener, AcceptsABodyOfExactlyTheLimit) {
    LoggedSandbox sandbox;
    Listener listener;
    std::string body = R"({"op":"ping","pad":")";
    body.append(1'048'576 - body.size() - 2, 'x').append("\"}");
    ASSERT_EQ(body.size(), 1'048'576u);
    EXPECT_EQ(request(body), PONG);
}

TEST(Listener, OnlyTheFirstOfTwoFramesIsAnswered) {
    LoggedSandbox sandbox;
    Listener listener;
    UniqueHandle pipe = open_pipe();
    ASSERT_TRUE(send_bytes(pipe.get(), framed(PING) + framed(R"({"op":"status"})")));
    EXPECT_EQ(read_response(pipe.get()), PONG);
    EXPECT_TRUE(closed_without_data(pipe.get()));
}

TEST(Listener, AClientThatSendsNothingIsDroppedAndTheNextServed) {
    LoggedSandbox sandbox;
    Listener listener(300);
    UniqueHandle silent = open_pipe();
    ASSERT_TRUE(silent.valid());
    // Waits for its turn, then is served while the silent one has been dropped.
    EXPECT_EQ(request(PING), PONG);
    EXPECT_TRUE(closed_without_data(silent.get()));
    const std::vector<std::string> lines = log_lines(sandbox);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], ABORTED_READ);
}

TEST(Listener, AClientThatSendsHalfAFrameIsDropped) {
    LoggedSandbox sandbox;
    Listener listener(300);
    UniqueHandle slow = open_pipe();
    ASSERT_TRUE(send_bytes(slow.get(), prefix_of(13) + "{\"op\""));
    EXPECT_EQ(request(PING), PONG);
    EXPECT_TRUE(closed_without_data(slow.get()));
    EXPECT_EQ(log_lines(sandbox), std::vector<std::string>{ABORTED_READ});
}

TEST(Listener, AResponseReadLateIsDeliveredWhole) {
    LoggedSandbox sandbox;
    Listener listener;
    for (int i = 0; i < 3; ++i) {
        UniqueHandle pipe = open_pipe();
        ASSERT_TRUE(send_bytes(pipe.get(), framed(PING)));
        // Without waiting for the client, the listener's disconnect would discard the
        // unread response.
        Sleep(300);
        EXPECT_EQ(read_response(pipe.get()), PONG);
    }
}

TEST(Listener, AResponseNeverReadIsGivenUpAtTheBound) {
    LoggedSandbox sandbox;
    Listener listener(300);
    UniqueHandle idle = open_pipe();
    ASSERT_TRUE(send_bytes(idle.get(), framed(PING)));
    // The idle client holds the listener only until its bound has passed.
    EXPECT_EQ(request(PING), PONG);
    EXPECT_TRUE(log_lines(sandbox).empty());
}

TEST(Listener, ABurstOfClientsIsAnsweredInFull) {
    LoggedSandbox sandbox;
    Listener listener;
    constexpr int CLIENTS = 4;
    constexpr int EACH = 250;
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back([&] {
            for (int i = 0; i < EACH; ++i) {
                if (request(PING) == PONG) {
                    ++answered;
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(answered.load(), CLIENTS * EACH);
    EXPECT_TRUE(log_lines(sandbox).empty());
}

TEST(Listener, ServesOneClientAtATime) {
    LoggedSandbox sandbox;
    Listener listener(2000);
    UniqueHandle first = open_pipe();
    ASSERT_TRUE(first.valid());
    DWORD error = 0;
    UniqueHandle second = open_pipe(0, &error);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY));

    ULONG flags = 0, out_size = 0, in_size = 0, instances = 0;
    ASSERT_TRUE(GetNamedPipeInfo(first.get(), &flags, &out_size, &in_size, &instances));
    EXPECT_EQ(flags, static_cast<ULONG>(PIPE_CLIENT_END | PIPE_TYPE_BYTE));
    EXPECT_EQ(instances, 4u);
    EXPECT_EQ(out_size, 65536u);
    EXPECT_EQ(in_size, 65536u);
}

TEST(Listener, EndsOnTheStopFlagWhileAnExchangeIsUnderWay) {
    LoggedSandbox sandbox;
    Listener listener(500);
    UniqueHandle silent = open_pipe();
    ASSERT_TRUE(silent.valid());
    // The client being served keeps its exchange; the listener sees the flag once the
    // silent client's exchange has run out.
    listener.stop();
    EXPECT_TRUE(closed_without_data(silent.get()));
    EXPECT_EQ(log_lines(sandbox), std::vector<std::string>{ABORTED_READ});
}

TEST(Listener, EndsOnTheStopFlagWhateverTheInterleaving) {
    LoggedSandbox sandbox;
    for (int i = 0; i < 100; ++i) {
        Listener listener;
        // Stops land before the first instance, between creation and the wait, and
        // during the wait.
        if (i % 4 == 1) {
            Sleep(0);
        } else if (i % 4 == 2) {
            Sleep(i % 7);
        } else if (i % 4 == 3) {
            EXPECT_EQ(request(PING), PONG);
        }
        listener.stop();
    }
}

TEST(Listener, ASignalledStopEventEndsItWhateverItSawOfTheFlag) {
    LoggedSandbox sandbox;
    struct Case {
        const char* name;
        // Another instance that allows no other, so that every creation fails.
        bool name_held;
    };
    for (const Case& c :
         {Case{"waiting for a client", false}, Case{"pausing after a failed creation", true}}) {
        SCOPED_TRACE(c.name);
        UniqueHandle squatter;
        if (c.name_held) {
            squatter.reset(CreateNamedPipeW(test_support::SERVICE_PIPE,
                                            PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                            PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr));
            ASSERT_TRUE(squatter.valid());
        }
        // What a stop leaves behind when it comes after the listener has looked at the
        // flag: the flag read as not set, the event signalled.
        const std::shared_ptr<win::StopFlag> stop = stop_flag();
        stop->signal();
        Listener listener(EXCHANGE_BUDGET_MS, stop);
        EXPECT_TRUE(listener.returned_within(30000));
        if (!c.name_held) {
            DWORD error = 0;
            EXPECT_FALSE(open_pipe(0, &error).valid());
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        }
    }
}

TEST(Listener, ASetFlagAloneEndsAListenerThatHasNotStarted) {
    LoggedSandbox sandbox;
    const std::shared_ptr<win::StopFlag> stop = stop_flag();
    stop->set();
    core::Supervisor supervisor;
    run_pipe_listener(*stop, supervisor);
    DWORD error = 0;
    EXPECT_FALSE(open_pipe(0, &error).valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Listener, RetriesWhileNoInstanceCanBeCreated) {
    struct Case {
        const char* name;
        StandInRules rules;
        std::string_view line;
    };
    const Case cases[] = {
        {"the name held by another process", {.name_held = true}, PIPE_NAME_HELD_LOG},
        {"every instance of the name taken",
         {.every_creation_fails_with = ERROR_PIPE_BUSY},
         CREATE_PIPE_FAILED_LOG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoggedSandbox sandbox;
        tell_stand_in(c.rules);
        {
            Listener listener(EXCHANGE_BUDGET_MS, stop_flag(), create_as_told);
            ASSERT_FALSE(first_log_lines(sandbox).empty());
            // More attempts (two, on an idle machine), each counted as a repeat.
            Sleep(2 * CREATE_RETRY_MS + 200);
            // Seen during the current pause, without any client.
            listener.stop();
        }
        log::flush_log();
        const std::vector<std::string> lines = log_lines(sandbox);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], c.line);
        const std::string repeated = "last message repeated ";
        ASSERT_EQ(lines[1].substr(0, repeated.size()), repeated);
        const int count = std::stoi(lines[1].substr(repeated.size()));
        EXPECT_GE(count, 1);
        EXPECT_EQ(lines[1], repeated + std::to_string(count) + " times");
        // Each attempt is a first instance: the listener held none of its own.
        for (const CreateCall& call : stand_in_calls()) {
            EXPECT_EQ(call, (CreateCall{true, false}));
        }
    }
}

// While another holds the name, the listener makes no instance of its own: the clients
// reach the other's instances alone. Once it has let go, the listener takes the name.
void expect_no_one_served_under_a_name_held_elsewhere(CreatePipeInstance create) {
    LoggedSandbox sandbox;
    auto squatter = std::make_unique<test_support::ListeningInstances>(1);
    ASSERT_TRUE(squatter->listening());
    Listener listener(EXCHANGE_BUDGET_MS, stop_flag(), create);
    EXPECT_EQ(first_log_lines(sandbox), std::vector<std::string>{std::string(PIPE_NAME_HELD_LOG)});

    DWORD error = 0;
    UniqueHandle client = open_pipe(0, &error);
    EXPECT_TRUE(client.valid()) << error;
    EXPECT_EQ(squatter->connected(), 1);
    UniqueHandle second = open_pipe(0, &error);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY));

    client.reset();
    squatter.reset();
    stand_in_name_released();
    // The next attempt, within one pause, finds the name free.
    EXPECT_EQ(request(PING), PONG);
}

TEST(Listener, ServesNoOneUnderANameHeldElsewhere) {
    tell_stand_in({.name_held = true});
    expect_no_one_served_under_a_name_held_elsewhere(create_as_told);
    // Only first instances until the name was free: never one beside the other's.
    const std::vector<CreateCall> calls = stand_in_calls();
    const auto taken = std::find_if(calls.begin(), calls.end(),
                                    [](const CreateCall& call) { return call.created; });
    ASSERT_NE(taken, calls.end());
    EXPECT_NE(taken, calls.begin());
    EXPECT_TRUE(taken->first);
    for (auto call = calls.begin(); call != taken; ++call) {
        EXPECT_EQ(*call, (CreateCall{true, false}));
    }
}

// Windows only: Wine creates a first instance beside another's.
TEST(Listener, ServesNoOneUnderANameHeldElsewhereWithTheSystemsRefusal) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE";
    }
    expect_no_one_served_under_a_name_held_elsewhere(CreateNamedPipeW);
}

TEST(Listener, MakesTheNextInstanceBeforeClosingTheServedOne) {
    LoggedSandbox sandbox;
    // The first next instance fails: the listener then holds none of its own.
    tell_stand_in({.next_instance_failures = 1});
    {
        Listener listener(EXCHANGE_BUDGET_MS, stop_flag(), create_as_told);
        EXPECT_EQ(request(PING), PONG);
        EXPECT_EQ(request(PING), PONG);
        listener.stop();
    }
    const std::vector<CreateCall> expected = {
        {true, true}, {false, false}, {true, true}, {false, true}};
    EXPECT_EQ(stand_in_calls(), expected);
    EXPECT_EQ(log_lines(sandbox), std::vector<std::string>{std::string(CREATE_PIPE_FAILED_LOG)});
}

TEST(Listener, TheNameIsNeverFreeBetweenExchanges) {
    LoggedSandbox sandbox;
    Listener listener;
    // From the listener's first instance on.
    ASSERT_EQ(request(PING), PONG);
    constexpr int EXCHANGES = 1000;
    std::atomic<int> answered{0};
    std::atomic<bool> done{false};
    int probes = 0;
    int not_found = 0;
    int prober_unanswered = 0;
    // Opens the pipe without waiting, over and over. A pipe it gets is used for a ping,
    // and then the prober lets the other client have the next turn, which it would
    // otherwise lose to the prober's faster loop every time.
    std::thread prober([&] {
        while (!done.load()) {
            ++probes;
            UniqueHandle pipe(CreateFileW(test_support::SERVICE_PIPE, GENERIC_READ | GENERIC_WRITE,
                                          0, nullptr, OPEN_EXISTING, 0, nullptr));
            const DWORD error = GetLastError();
            if (pipe) {
                const int turn = answered.load();
                if (!send_bytes(pipe.get(), framed(PING)) || read_response(pipe.get()) != PONG) {
                    ++prober_unanswered;
                }
                pipe.reset();
                while (!done.load() && answered.load() == turn) {
                    Sleep(1);
                }
            } else if (error == ERROR_FILE_NOT_FOUND) {
                ++not_found;
            }
        }
    });
    for (int i = 0; i < EXCHANGES; ++i) {
        if (request(PING) != PONG) {
            break;
        }
        ++answered;
    }
    done.store(true);
    prober.join();
    EXPECT_EQ(answered.load(), EXCHANGES);
    EXPECT_EQ(not_found, 0) << "of " << probes << " attempts";
    EXPECT_EQ(prober_unanswered, 0);
    EXPECT_TRUE(log_lines(sandbox).empty());
}

// Bad frames each write a log line; none of them makes or moves the work folder, so a
// loop of someone else's that plants KorvanVPN cannot race the service's moves.
TEST(Listener, BadFramesAgainstAFolderSomeoneElseMadeMoveNothing) {
    CoreSandbox sandbox;
    std::filesystem::create_directories(sandbox.work);
    ASSERT_TRUE(test_support::write_file(sandbox.work + L"\\service.log", "planted\n"));
    const std::wstring top = sandbox.program_data + L"\\KorvanVPN";
    const std::optional<FILE_ID_INFO> before = test_support::file_identity(top);
    ASSERT_TRUE(before);
    Listener listener;
    for (int frame = 0; frame < 20; ++frame) {
        UniqueHandle pipe = open_pipe();
        ASSERT_TRUE(send_bytes(pipe.get(), prefix_of(1'048'577 + frame)));
        EXPECT_TRUE(closed_without_data(pipe.get()));
    }
    EXPECT_EQ(request(PING), PONG);
    const std::optional<FILE_ID_INFO> after = test_support::file_identity(top);
    ASSERT_TRUE(after);
    EXPECT_TRUE(workdir::same_file(*before, *after));
    EXPECT_TRUE(test_support::moved_aside_in(sandbox.program_data, L"KorvanVPN").empty());
    EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"), "planted\n");
}

TEST(PipeSecurity, GrantsReadAndWriteToSystemAdministratorsAndInteractiveUsers) {
    Result<win::UniqueLocal> descriptor = build_pipe_security();
    ASSERT_TRUE(descriptor.ok()) << descriptor.error();
    auto* sd = static_cast<PSECURITY_DESCRIPTOR>(descriptor->get());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_EQ(control & SE_DACL_PROTECTED, 0);
    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorGroup(sd, &group, &defaulted));
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(group, nullptr);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 3);
    const WELL_KNOWN_SID_TYPE trustees[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid,
                                            WinInteractiveSid};
    for (DWORD i = 0; i < 3; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Header.AceFlags, 0);
        EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE));
        BYTE expected[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof expected;
        ASSERT_TRUE(CreateWellKnownSid(trustees[i], nullptr, expected, &size));
        EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), expected)) << i;
    }
}

}  // namespace
}  // namespace korvan::pipe
