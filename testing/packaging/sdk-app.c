/* An application of the zip's sdk/, as its author writes one, for testing/packaging/
 * sdk-test. It compiles as C99 and as C++98, and prints one line for each call.
 *   sdk-app service RECORD_PATH CONFIG_PATH  drives the installed service; the config
 *                                            from memory has the stand-in core record
 *                                            itself in RECORD_PATH
 *   sdk-app abi                              the header's promises, without a service:
 *                                            its macros and sizes, out-parameters set
 *                                            on entry, the core state's size, refused
 *                                            arguments
 *   sdk-app absent                           pings while no service is installed
 *   sdk-app impostor                         serves the service's pipe name itself and
 *                                            pings it
 *   sdk-app own-server                       serves a pipe of another name and pings it
 *                                            with KORVAN_FLAG_NO_SERVER_CHECK */
#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "korvan_client.h"

static void show_error(const char* step, KORVAN_STATUS status, KORVAN_ERROR* error) {
    if (error == NULL) {
        printf("%s: status %d and no error record\n", step, (int)status);
        return;
    }
    printf("%s: status %lu, system error %lu: %s\n", step, (unsigned long)error->status,
           (unsigned long)error->system_error, error->text);
    if (error->answer_code != NULL) {
        printf("%s: answer code %s, message %s\n", step, error->answer_code, error->answer_message);
    }
    korvan_free(error);
}

static void show_state(const char* step, KORVAN_STATUS status, const KORVAN_CORE_STATE* state,
                       KORVAN_ERROR* error) {
    if (status != KORVAN_OK) {
        show_error(step, status, error);
        return;
    }
    printf("%s: running %lu, mixed port %u, controller port %u\n", step,
           (unsigned long)state->running, state->mixed_port, state->ctl_port);
}

static void show_reply(const char* step, KORVAN_STATUS status, KORVAN_BYTES* reply,
                       KORVAN_ERROR* error) {
    if (reply != NULL) {
        printf("%s: reply %.*s\n", step, (int)reply->size, (const char*)reply->data);
        korvan_free(reply);
    }
    if (status != KORVAN_OK) {
        show_error(step, status, error);
    }
}

static void show_pong(const char* step, KORVAN_STATUS status, KORVAN_PONG* pong,
                      KORVAN_ERROR* error) {
    if (status == KORVAN_OK) {
        printf("%s: protocol %s, service %s\n", step, pong->protocol_version,
               pong->service_version);
        korvan_free(pong);
    } else {
        show_error(step, status, error);
    }
}

static int service(const char* record_path, const char* config_path) {
    const char status_request[] = "{\"op\":\"status\"}";
    const char wrong_request[] = "{\"op\":\"Ping\"}";
    char config[512];
    KORVAN_PONG* pong = NULL;
    KORVAN_CORE_STATE state;
    KORVAN_BYTES* reply = NULL;
    KORVAN_ERROR* error = NULL;
    KORVAN_STATUS status;
    const KORVAN_VERSION* version = korvan_version();

    state.size = sizeof state;
    printf("version: library %s, protocol %s\n", version->library, version->protocol);
    status = korvan_ping(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &pong, &error);
    show_pong("ping", status, pong, error);
    status = korvan_status(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &state, &error);
    show_state("status", status, &state, error);
    status = korvan_start_file(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, config_path, NULL, 7890, 9090,
                               &state, &error);
    show_state("start_file", status, &state, error);
    status = korvan_status("korvan-vpn-service", 0, KORVAN_DEFAULT_TIMEOUT_MS, &state, &error);
    show_state("status", status, &state, error);
    status = korvan_stop(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &error);
    if (status == KORVAN_OK) {
        printf("stop: ok\n");
    } else {
        show_error("stop", status, error);
    }

    sprintf(config, "fake-core: record %s\n", record_path);
    status = korvan_start(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, config, strlen(config), "s", 7891,
                          9091, &state, &error);
    show_state("start", status, &state, error);
    status = korvan_send(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, status_request,
                         sizeof status_request - 1, &reply, &error);
    show_reply("send", status, reply, error);
    status = korvan_send(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, wrong_request,
                         sizeof wrong_request - 1, &reply, &error);
    show_reply("send", status, reply, error);
    status = korvan_stop(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &error);
    if (status == KORVAN_OK) {
        printf("stop: ok\n");
    } else {
        show_error("stop", status, error);
    }
    status = korvan_status(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &state, &error);
    show_state("status", status, &state, error);
    return 0;
}

/* A record of a later header: this version's members, then one more. */
typedef struct LATER_CORE_STATE {
    KORVAN_CORE_STATE state;
    DWORD later_member;
} LATER_CORE_STATE;

static int abi(void) {
    char planted_byte = 0;
    KORVAN_PONG* pong = (KORVAN_PONG*)(void*)&planted_byte;
    KORVAN_BYTES* reply = (KORVAN_BYTES*)(void*)&planted_byte;
    KORVAN_ERROR* error = (KORVAN_ERROR*)(void*)&planted_byte;
    KORVAN_CORE_STATE small;
    LATER_CORE_STATE later;
    KORVAN_STATUS status;
    const KORVAN_VERSION* version = korvan_version();

    printf("macros: version %d.%d.%d \"%s\", protocol \"%s\", library %s\n",
           KORVAN_CLIENT_VERSION_MAJOR, KORVAN_CLIENT_VERSION_MINOR, KORVAN_CLIENT_VERSION_PATCH,
           KORVAN_CLIENT_VERSION, KORVAN_CLIENT_PROTOCOL_VERSION,
           strcmp(version->library, KORVAN_CLIENT_VERSION) == 0 &&
                   strcmp(version->protocol, KORVAN_CLIENT_PROTOCOL_VERSION) == 0
               ? "the same"
               : "another");
    printf("sizes: KORVAN_ERROR %u with status %u, KORVAN_CORE_STATE %u (1.0: %d)\n",
           (unsigned)sizeof(KORVAN_ERROR), (unsigned)sizeof error->status,
           (unsigned)sizeof(KORVAN_CORE_STATE), KORVAN_CORE_STATE_SIZE_1_0);

    /* Out-parameters are set on entry, whatever the outcome. */
    status = korvan_ping(NULL, 0, 0, &pong, NULL);
    printf("ping with timeout 0: status %d, pong %s\n", (int)status, pong == NULL ? "NULL" : "set");
    status = korvan_send(NULL, 0, 0, "{}", 2, &reply, &error);
    printf("send with timeout 0: status %d, reply %s\n", (int)status,
           reply == NULL ? "NULL" : "set");
    show_error("send", status, error);

    /* The core state: a size below 1.0's is refused and the record left alone; a larger
     * one is kept, and what follows it is zeroed on entry. */
    memset(&small, 0xA5, sizeof small);
    small.size = 8;
    status = korvan_status(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &small, &error);
    printf("status with size 8: running 0x%08lX\n", (unsigned long)small.running);
    show_error("status", status, error);
    memset(&later, 0xA5, sizeof later);
    later.state.size = sizeof later;
    status = korvan_status("korvan-sdk-test-no-such-pipe", 0, 100, &later.state, NULL);
    printf("status with size %lu: status %d, size %lu, running %lu, ports %u %u, later %lu\n",
           (unsigned long)sizeof later, (int)status, (unsigned long)later.state.size,
           (unsigned long)later.state.running, later.state.mixed_port, later.state.ctl_port,
           (unsigned long)later.later_member);

    /* Arguments refused with texts that name the function. */
    status = korvan_ping("\\\\.\\pipe\\..\\C:\\Windows\\win.ini", 0, 1000, NULL, &error);
    show_error("ping", status, error);
    status = korvan_ping("KORVAN-VPN-SERVICE", KORVAN_FLAG_NO_SERVER_CHECK, 1000, NULL, &error);
    show_error("ping", status, error);
    status = korvan_start(NULL, 0, 1000, "", 1048577, NULL, 1, 2, NULL, &error);
    show_error("start", status, error);
    return 0;
}

static int absent(void) {
    KORVAN_ERROR* error = NULL;
    DWORD began = GetTickCount();
    KORVAN_STATUS status = korvan_ping(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, NULL, &error);
    /* A generous bound for "at once", of the 10 s it may wait for a pipe. */
    printf("ping: %s 2 s\n", GetTickCount() - began < 2000 ? "within" : "after");
    show_error("ping", status, error);
    return 0;
}

static HANDLE serve_pipe(const char* name, OVERLAPPED* overlapped) {
    HANDLE pipe =
        CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        printf("CreateNamedPipeA: %lu\n", (unsigned long)GetLastError());
        return NULL;
    }
    memset(overlapped, 0, sizeof *overlapped);
    overlapped->hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ConnectNamedPipe(pipe, overlapped);
    return pipe;
}

static int impostor(void) {
    OVERLAPPED overlapped;
    KORVAN_ERROR* error = NULL;
    KORVAN_PONG* pong = NULL;
    KORVAN_STATUS status;
    HANDLE pipe = serve_pipe("\\\\.\\pipe\\korvan-vpn-service", &overlapped);
    if (pipe == NULL) {
        return 1;
    }
    printf("pid %lu\n", (unsigned long)GetCurrentProcessId());
    status = korvan_ping(NULL, 0, 5000, &pong, &error);
    if (status == KORVAN_OK) {
        printf("ping: answered by the impostor\n");
        korvan_free(pong);
    } else {
        show_error("ping", status, error);
    }
    CancelIo(pipe);
    CloseHandle(pipe);
    CloseHandle(overlapped.hEvent);
    return 0;
}

/* The server of own_server: waits for its client, reads one request frame and answers
 * it with a pong. */
typedef struct OWN_SERVER {
    HANDLE pipe;
    OVERLAPPED connected;
} OWN_SERVER;

static DWORD WINAPI answer_once(void* argument) {
    static const char answer[] =
        "\x33\0\0\0{\"ok\":\"pong\",\"version\":\"1\",\"service_version\":\"own\"}";
    OWN_SERVER* server = (OWN_SERVER*)argument;
    char request[64];
    DWORD got = 0;
    DWORD put = 0;
    OVERLAPPED overlapped;
    if (WaitForSingleObject(server->connected.hEvent, 5000) != WAIT_OBJECT_0) {
        return 1;
    }
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!ReadFile(server->pipe, request, 4 + 13, NULL, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return 1;
    }
    GetOverlappedResult(server->pipe, &overlapped, &got, TRUE);
    printf("own server: got %.*s\n", got > 4 ? (int)got - 4 : 0, request + 4);
    if (!WriteFile(server->pipe, answer, sizeof answer - 1, NULL, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return 1;
    }
    GetOverlappedResult(server->pipe, &overlapped, &put, TRUE);
    CloseHandle(overlapped.hEvent);
    return 0;
}

static int own_server(void) {
    const char name[] = "\\\\.\\pipe\\korvan-sdk-test-own";
    OWN_SERVER server;
    KORVAN_ERROR* error = NULL;
    KORVAN_PONG* pong = NULL;
    KORVAN_STATUS status;
    HANDLE thread;
    server.pipe = serve_pipe(name, &server.connected);
    if (server.pipe == NULL) {
        return 1;
    }
    status = korvan_ping("korvan-sdk-test-own", 0, 5000, &pong, &error);
    show_pong("ping without the flag", status, pong, error);
    /* That ping took the only instance and closed it unasked: serve another. */
    CancelIo(server.pipe);
    CloseHandle(server.pipe);
    CloseHandle(server.connected.hEvent);
    server.pipe = serve_pipe(name, &server.connected);
    if (server.pipe == NULL) {
        return 1;
    }
    thread = CreateThread(NULL, 0, answer_once, &server, 0, NULL);
    status = korvan_ping("korvan-sdk-test-own", KORVAN_FLAG_NO_SERVER_CHECK, 5000, &pong, &error);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    show_pong("ping with the flag", status, pong, error);
    CloseHandle(server.pipe);
    CloseHandle(server.connected.hEvent);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "service") == 0) {
        return service(argv[2], argv[3]);
    }
    if (argc == 2 && strcmp(argv[1], "abi") == 0) {
        return abi();
    }
    if (argc == 2 && strcmp(argv[1], "absent") == 0) {
        return absent();
    }
    if (argc == 2 && strcmp(argv[1], "impostor") == 0) {
        return impostor();
    }
    if (argc == 2 && strcmp(argv[1], "own-server") == 0) {
        return own_server();
    }
    fprintf(
        stderr,
        "usage: sdk-app service RECORD_PATH CONFIG_PATH | abi | absent | impostor | own-server\n");
    return 64;
}
