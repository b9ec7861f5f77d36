/*
 * korvan_client.h: the client of the KorvanVPN service's control pipe, for programs
 * that talk to the service themselves (korvan-client.dll).
 *
 * Each request function opens the service's pipe, checks that the pipe's server is
 * the process of the installed service korvan-vpn-service, sends one request, reads
 * one reply and closes the pipe again, all within one timeout. It is the same code
 * that korvan-vpn-ctl.exe runs, and its error texts are the tool's, less the tool's
 * name and its option hints.
 *
 * Plain C: it compiles as C89, C99 and later, and as C++. Strings, in and out, are
 * UTF-8 and end with a NUL byte.
 *
 * Threads: every function may be called from several threads at once. The library
 * keeps no state between calls; each call has its own connection.
 *
 * Exceptions: none leaves the library. Every exported function catches everything;
 * what it could not do is reported as KORVAN_INTERNAL.
 *
 * Memory: what the library allocates for the caller (an error record, a ping's
 * answer, a raw reply) is one block, freed with korvan_free and nothing else. Whatever
 * the caller passes in stays the caller's; the library keeps no pointer to it after
 * the call returns.
 *
 * Calling convention: every function is __cdecl (KORVAN_CLIENT_CALL). x64 Windows has
 * a single calling convention, which __cdecl names there; it is written out so that
 * the declarations say it.
 *
 * The DLL depends on system DLLs alone (KERNEL32, ADVAPI32, msvcrt and the like).
 * Link with libkorvan-client.dll.a (MinGW) or korvan-client.lib (MSVC), and put
 * korvan-client.dll beside the program.
 */
#ifndef KORVAN_CLIENT_H
#define KORVAN_CLIENT_H

#include <stddef.h>
#include <windows.h>

#ifdef KORVAN_CLIENT_BUILDING
#define KORVAN_CLIENT_API __declspec(dllexport)
#else
#define KORVAN_CLIENT_API __declspec(dllimport)
#endif
#define KORVAN_CLIENT_CALL __cdecl

#ifdef __cplusplus
extern "C" {
#endif

/* The timeout korvan-vpn-ctl uses when none is given. Timeouts are in milliseconds,
 * 1 to KORVAN_MAX_TIMEOUT_MS, and bound the whole call: waiting for the pipe, the
 * server check, sending, and reading the reply. */
#define KORVAN_DEFAULT_TIMEOUT_MS 10000
#define KORVAN_MAX_TIMEOUT_MS 3600000

/* How a call ended; the numbers are korvan-vpn-ctl's exit codes for the same cases. */
typedef enum KORVAN_STATUS {
    /* The service answered with success. */
    KORVAN_OK = 0,
    /* The service answered with an "error" response (answer_code, answer_message). */
    KORVAN_ANSWER_ERROR = 1,
    /* No usable answer: the pipe cannot be reached, its server is not the service, no
     * answer came within the timeout, or the answer is malformed. */
    KORVAN_NO_ANSWER = 2,
    /* The library itself failed (out of memory, say); nothing may have been sent. The
     * error record may be missing then. */
    KORVAN_INTERNAL = 3,
    /* An argument was refused (a NULL pointer, a timeout out of range, a config that
     * is not UTF-8 or too large, a file that cannot be read); nothing was sent. */
    KORVAN_BAD_ARGUMENT = 64
} KORVAN_STATUS;

/* Why a call did not end with KORVAN_OK. One block from the library: free it with
 * korvan_free; the strings in it live as long as the record. */
typedef struct KORVAN_ERROR {
    /* The call's return value, never KORVAN_OK. */
    KORVAN_STATUS status;
    /* The Windows error code behind the failure, as GetLastError() gave it, such as
     * ERROR_FILE_NOT_FOUND while the service's pipe does not exist, ERROR_PIPE_BUSY
     * while every instance stays busy, ERROR_TIMEOUT when the timeout passed,
     * ERROR_BROKEN_PIPE when the server closed the connection. 0 when no system call
     * failed: the pipe's server is not the service, an error answer, a malformed
     * answer, a refused argument. */
    DWORD system_error;
    /* One line of UTF-8 that says what failed, such as
     * "connect \\.\pipe\korvan-vpn-service: the pipe does not exist (is the service
     * running?)" or "error start_failed: ...". Never NULL. */
    const char* text;
    /* For KORVAN_ANSWER_ERROR, the answer's code (such as "start_failed",
     * "bad_request", "forbidden") and message, as the service sent them; NULL
     * otherwise. */
    const char* answer_code;
    const char* answer_message;
} KORVAN_ERROR;

/* The library's version and the protocol version it speaks, such as "1.0.0" and "1".
 * Static strings: never freed. */
typedef struct KORVAN_VERSION {
    const char* library;
    const char* protocol;
} KORVAN_VERSION;

/* A ping's answer. One block from the library: free it with korvan_free. */
typedef struct KORVAN_PONG {
    const char* protocol_version;
    const char* service_version;
} KORVAN_PONG;

/* Whether the core runs, and the ports the service stored for it (0 while it does not
 * run). The caller's own record, filled in. */
typedef struct KORVAN_CORE_STATE {
    int running;
    unsigned short mixed_port;
    unsigned short ctl_port;
} KORVAN_CORE_STATE;

/* A raw reply's body. One block from the library: free it with korvan_free. */
typedef struct KORVAN_BYTES {
    size_t size;
    const unsigned char* data;
} KORVAN_BYTES;

/*
 * Every request function below takes:
 *   pipe_name   NULL for the service's pipe \\.\pipe\korvan-vpn-service; else a full
 *               \\.\pipe\NAME path or a bare NAME. The server check applies to every
 *               pipe.
 *   timeout_ms  1 to KORVAN_MAX_TIMEOUT_MS.
 *   error       NULL when the caller wants no details; else *error is set to NULL on
 *               KORVAN_OK and to a new record otherwise (for KORVAN_INTERNAL it may
 *               stay NULL), which the caller frees with korvan_free.
 * and returns how the call ended. An out-parameter for the answer may be NULL when the
 * caller wants none; it is written only on KORVAN_OK, korvan_send's aside.
 */

/* The library's and protocol's versions. Never fails; the record is static. */
KORVAN_CLIENT_API const KORVAN_VERSION* KORVAN_CLIENT_CALL korvan_version(void);

/* Asks the service for its versions. On KORVAN_OK, *pong (when pong is not NULL) is a
 * new record that the caller frees with korvan_free. */
KORVAN_CLIENT_API KORVAN_STATUS KORVAN_CLIENT_CALL korvan_ping(const char* pipe_name,
                                                               DWORD timeout_ms, KORVAN_PONG** pong,
                                                               KORVAN_ERROR** error);

/* Asks whether the core runs; on KORVAN_OK, fills *state when state is not NULL. */
KORVAN_CLIENT_API KORVAN_STATUS KORVAN_CLIENT_CALL korvan_status(const char* pipe_name,
                                                                 DWORD timeout_ms,
                                                                 KORVAN_CORE_STATE* state,
                                                                 KORVAN_ERROR** error);

/* Starts the core with the YAML configuration config_yaml (config_size bytes of UTF-8,
 * no NUL needed; config_yaml may be NULL only when config_size is 0), the ports the
 * service stores, and secret (NULL for ""). On KORVAN_OK, fills *started (running 1 and
 * the ports the service reports) when started is not NULL. Errors of its own, with
 * KORVAN_BAD_ARGUMENT: "start: config_yaml: not UTF-8 text: invalid byte 0x{XX} at
 * offset {n}" (and the same for "secret"), "start: the request would be {n} bytes,
 * more than the 1048576 a frame carries". */
KORVAN_CLIENT_API KORVAN_STATUS KORVAN_CLIENT_CALL
korvan_start(const char* pipe_name, DWORD timeout_ms, const char* config_yaml, size_t config_size,
             const char* secret, unsigned short mixed_port, unsigned short ctl_port,
             KORVAN_CORE_STATE* started, KORVAN_ERROR** error);

/* The same with the configuration read from the file config_path (UTF-8, not NULL).
 * Errors of its own, with KORVAN_BAD_ARGUMENT: "read config "{path}": {system text}"
 * with the system error, and "config "{path}" is larger than 1048576 bytes, the most a
 * request carries". */
KORVAN_CLIENT_API KORVAN_STATUS KORVAN_CLIENT_CALL
korvan_start_file(const char* pipe_name, DWORD timeout_ms, const char* config_path,
                  const char* secret, unsigned short mixed_port, unsigned short ctl_port,
                  KORVAN_CORE_STATE* started, KORVAN_ERROR** error);

/* Stops the core. */
KORVAN_CLIENT_API KORVAN_STATUS KORVAN_CLIENT_CALL korvan_stop(const char* pipe_name,
                                                               DWORD timeout_ms,
                                                               KORVAN_ERROR** error);

/* Sends the request_size bytes at request (1 to 1048576; not NULL) unchanged as one
 * request body. Every kind of answer is accepted. Whenever a reply came, *reply (when
 * reply is not NULL) is a new record holding its body exactly as received, which the
 * caller frees with korvan_free: on KORVAN_OK, KORVAN_ANSWER_ERROR, and
 * KORVAN_NO_ANSWER for a malformed reply; it is NULL otherwise. */
KORVAN_CLIENT_API KORVAN_STATUS KORVAN_CLIENT_CALL
korvan_send(const char* pipe_name, DWORD timeout_ms, const void* request, size_t request_size,
            KORVAN_BYTES** reply, KORVAN_ERROR** error);

/* Frees a record the library returned: KORVAN_ERROR, KORVAN_PONG, KORVAN_BYTES. NULL is
 * allowed and does nothing. */
KORVAN_CLIENT_API void KORVAN_CLIENT_CALL korvan_free(void* record);

#ifdef __cplusplus
}
#endif

#endif /* KORVAN_CLIENT_H */
