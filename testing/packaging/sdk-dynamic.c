/* An application of the zip's sdk/ that loads korvan-client.dll itself, for
 * testing/packaging/sdk-test: every entry point through the header's function types,
 * then the version and a ping of the installed service.
 *   sdk-dynamic */
#include <stdio.h>

#include <windows.h>

#define KORVAN_CLIENT_NO_PROTOTYPES
#include "korvan_client.h"

/* GCC lets any function pointer be cast to and from void (*)(void), and warns about
 * other casts from FARPROC. */
typedef void (*ANY_FUNCTION)(void);

static HMODULE dll;
static int missing;

static ANY_FUNCTION entry(const char* name) {
    ANY_FUNCTION found = (ANY_FUNCTION)GetProcAddress(dll, name);
    if (found == NULL) {
        printf("no entry point %s\n", name);
        missing = 1;
    }
    return found;
}

int main(void) {
    KORVAN_VERSION_FUNC* version;
    KORVAN_PING_FUNC* ping;
    KORVAN_FREE_FUNC* release;
    KORVAN_PONG* pong = NULL;
    KORVAN_ERROR* error = NULL;
    KORVAN_STATUS status;

    dll = LoadLibraryA("korvan-client.dll");
    if (dll == NULL) {
        printf("LoadLibraryA: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    version = (KORVAN_VERSION_FUNC*)entry("korvan_version");
    ping = (KORVAN_PING_FUNC*)entry("korvan_ping");
    release = (KORVAN_FREE_FUNC*)entry("korvan_free");
    (void)(KORVAN_STATUS_FUNC*)entry("korvan_status");
    (void)(KORVAN_START_FUNC*)entry("korvan_start");
    (void)(KORVAN_START_FILE_FUNC*)entry("korvan_start_file");
    (void)(KORVAN_STOP_FUNC*)entry("korvan_stop");
    (void)(KORVAN_SEND_FUNC*)entry("korvan_send");
    if (missing) {
        return 1;
    }
    printf("loaded: library %s\n", version()->library);
    status = ping(NULL, 0, KORVAN_DEFAULT_TIMEOUT_MS, &pong, &error);
    if (status == KORVAN_OK) {
        printf("ping: protocol %s, service %s\n", pong->protocol_version, pong->service_version);
    } else {
        printf("ping: status %d: %s\n", (int)status, error != NULL ? error->text : "no record");
    }
    release(pong);
    release(error);
    FreeLibrary(dll);
    return 0;
}
