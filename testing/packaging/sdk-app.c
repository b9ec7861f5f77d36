/* An application of the zip's sdk/, as its author writes one, for testing/packaging/
 * sdk-test. It prints one line for each call.
 *   sdk-app service RECORD_PATH CONFIG_PATH  drives the installed service; the config
 *                                            from memory has the stand-in core record
 *                                            itself in RECORD_PATH
 *   sdk-app impostor                         serves the service's pipe name itself and
 *                                            pings it */
#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "korvan_client.h"

static void show_error(const char* step, KORVAN_STATUS status, KORVAN_ERROR* error) {
    if (error == NULL) {
        printf("%s: status %d and no error record\n", step, (int)status);
        return;
    }
    printf("%s: status %d, system error %lu: %s\n", step, (int)error->status,
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
    printf("%s: running %d, mixed port %u, controller port %u\n", step, state->running,
           state->mixed_port, state->ctl_port);
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

    printf("version: library %s, protocol %s\n", version->library, version->protocol);
    status = korvan_ping(NULL, KORVAN_DEFAULT_TIMEOUT_MS, &pong, &error);
    if (status == KORVAN_OK) {
        printf("ping: protocol %s, service %s\n", pong->protocol_version, pong->service_version);
        korvan_free(pong);
    } else {
        show_error("ping", status, error);
    }
    status = korvan_status(NULL, KORVAN_DEFAULT_TIMEOUT_MS, &state, &error);
    show_state("status", status, &state, error);
    status = korvan_start_file(NULL, KORVAN_DEFAULT_TIMEOUT_MS, config_path, NULL, 7890, 9090,
                               &state, &error);
    show_state("start_file", status, &state, error);
    status = korvan_status("korvan-vpn-service", KORVAN_DEFAULT_TIMEOUT_MS, &state, &error);
    show_state("status", status, &state, error);
    status = korvan_stop(NULL, KORVAN_DEFAULT_TIMEOUT_MS, &error);
    if (status == KORVAN_OK) {
        printf("stop: ok\n");
    } else {
        show_error("stop", status, error);
    }

    sprintf(config, "fake-core: record %s\n", record_path);
    status = korvan_start(NULL, KORVAN_DEFAULT_TIMEOUT_MS, config, strlen(config), "s", 7891, 9091,
                          &state, &error);
    show_state("start", status, &state, error);
    status = korvan_send(NULL, KORVAN_DEFAULT_TIMEOUT_MS, status_request, sizeof status_request - 1,
                         &reply, &error);
    show_reply("send", status, reply, error);
    status = korvan_send(NULL, KORVAN_DEFAULT_TIMEOUT_MS, wrong_request, sizeof wrong_request - 1,
                         &reply, &error);
    show_reply("send", status, reply, error);
    status = korvan_stop(NULL, KORVAN_DEFAULT_TIMEOUT_MS, &error);
    if (status == KORVAN_OK) {
        printf("stop: ok\n");
    } else {
        show_error("stop", status, error);
    }
    status = korvan_status(NULL, KORVAN_DEFAULT_TIMEOUT_MS, &state, &error);
    show_state("status", status, &state, error);
    return 0;
}

static int impostor(void) {
    OVERLAPPED overlapped;
    KORVAN_ERROR* error = NULL;
    KORVAN_PONG* pong = NULL;
    KORVAN_STATUS status;
    HANDLE pipe = CreateNamedPipeA(
        "\\\\.\\pipe\\korvan-vpn-service", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        printf("impostor: CreateNamedPipeA: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ConnectNamedPipe(pipe, &overlapped);
    printf("pid %lu\n", (unsigned long)GetCurrentProcessId());
    status = korvan_ping(NULL, 5000, &pong, &error);
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

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "service") == 0) {
        return service(argv[2], argv[3]);
    }
    if (argc == 2 && strcmp(argv[1], "impostor") == 0) {
        return impostor();
    }
    fprintf(stderr, "usage: sdk-app service RECORD_PATH CONFIG_PATH | sdk-app impostor\n");
    return 64;
}
