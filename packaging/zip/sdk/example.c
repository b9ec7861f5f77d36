/* Asks the KorvanVPN service for its versions and whether the core runs. The library
 * sets pong and error on entry, so they need no initial value.
 *   x86_64-w64-mingw32-gcc example.c -I. libkorvan-client.dll.a -o example.exe
 *   cl example.c /I. korvan-client.lib
 * Run it with korvan-client.dll beside it. */
#include <stdio.h>

#include "korvan_client.h"

static int failed(const char* step, KORVAN_STATUS status, KORVAN_ERROR* error) {
    if (error != NULL) {
        fprintf(stderr, "%s: %s (system error %lu)\n", step, error->text,
                (unsigned long)error->system_error);
        korvan_free(error);
    } else {
        fprintf(stderr, "%s: failed with status %d\n", step, (int)status);
    }
    return 1;
}

int main(void) {
    KORVAN_PONG* pong;
    KORVAN_CORE_STATE state;
    KORVAN_ERROR* error;
    KORVAN_STATUS status = korvan_ping(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &pong, &error);
    if (status != KORVAN_OK) {
        return failed("ping", status, error);
    }
    printf("service %s, protocol %s\n", pong->service_version, pong->protocol_version);
    korvan_free(pong);

    /* The record's size tells the library which version of it the program has. */
    state.size = sizeof state;
    status = korvan_status(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &state, &error);
    if (status != KORVAN_OK) {
        return failed("status", status, error);
    }
    if (state.running) {
        printf("core running: mixed port %u, controller port %u\n", state.mixed_port,
               state.ctl_port);
    } else {
        printf("core not running\n");
    }
    return 0;
}
