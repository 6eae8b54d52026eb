/* A test extension: every callback, chosen by the query. */
#include "http/isapi_abi.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static int g_inside;

static void Write(EXTENSION_CONTROL_BLOCK* ecb, const char* text)
{
    DWORD n = (DWORD)strlen(text);
    ecb->WriteClient(ecb->ConnID, (void*)text, &n, 0);
}

static void Header(EXTENSION_CONTROL_BLOCK* ecb, const char* status)
{
    /* The size bounds the text: the junk after it must not be sent. */
    char text[] = "Content-type: text/plain\r\n\r\nJUNK";
    DWORD size = (DWORD)strlen(text) - 4;
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, (void*)status, &size, (DWORD*)text);
}

static void Variables(EXTENSION_CONTROL_BLOCK* ecb)
{
    static const char* names[] = {"QUERY_STRING", "server_name", "PATH_INFO", "HTTP_X_CUSTOM", "GATEWAY_INTERFACE",
                                  "REQUEST_METHOD", "SERVER_PORT"};
    char line[512];
    Header(ecb, "200 OK");
    for (unsigned i = 0; i < sizeof names / sizeof names[0]; ++i) {
        char value[256];
        DWORD size = sizeof value;
        errno = 0;
        BOOL ok = ecb->GetServerVariable(ecb->ConnID, (char*)names[i], value, &size);
        snprintf(line, sizeof line, "%s=%s ok=%d err=%d\n", names[i], ok ? value : "", ok, ok ? 0 : errno);
        Write(ecb, line);
    }
    /* A buffer exactly as long as the value: no room for its NUL. */
    char small[3];
    DWORD size = 3;
    BOOL ok = ecb->GetServerVariable(ecb->ConnID, "GATEWAY_INTERFACE", small, &size);
    snprintf(line, sizeof line, "small ok=%d err=%d size=%u text=%s\n", ok, errno, size, small);
    Write(ecb, line);
    /* A foreign handle. */
    int foreign = 0;
    size = sizeof small;
    ok = ecb->GetServerVariable(&foreign, "QUERY_STRING", small, &size);
    snprintf(line, sizeof line, "foreign ok=%d err=%d\n", ok, errno);
    Write(ecb, line);
    ok = ecb->ServerSupportFunction(ecb->ConnID, 9999, NULL, NULL, NULL);
    snprintf(line, sizeof line, "unknown ok=%d err=%d\n", ok, errno);
    Write(ecb, line);
    char path[512] = "/some/file.txt";
    size = sizeof path;
    ok = ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, path, &size, NULL);
    snprintf(line, sizeof line, "mapped ok=%d path=%s\n", ok, path);
    Write(ecb, line);
}

static void Body(EXTENSION_CONTROL_BLOCK* ecb)
{
    unsigned long long total = 0;
    unsigned hash = 2166136261u;
    char buffer[8192];
    while (total < ecb->cbTotalBytes) {
        DWORD size = sizeof buffer;
        if (!ecb->ReadClient(ecb->ConnID, buffer, &size) || size == 0)
            break;
        for (DWORD i = 0; i < size; ++i)
            hash = (hash ^ (unsigned char)buffer[i]) * 16777619u;
        total += size;
    }
    char line[128];
    snprintf(line, sizeof line, "bytes=%llu fnv=%08x\n", total, hash);
    Header(ecb, "200 OK");
    Write(ecb, line);
}

/* Waits up to 3 s for a second call to be inside at the same time. */
static void Pair(EXTENSION_CONTROL_BLOCK* ecb)
{
    __atomic_add_fetch(&g_inside, 1, __ATOMIC_SEQ_CST);
    int met = 0;
    for (int i = 0; i < 300 && !met; ++i) {
        met = __atomic_load_n(&g_inside, __ATOMIC_SEQ_CST) >= 2;
        struct timespec tick = {0, 10 * 1000 * 1000};
        nanosleep(&tick, NULL);
    }
    Header(ecb, "200 OK");
    Write(ecb, met ? "met\n" : "alone\n");
    struct timespec linger = {0, 100 * 1000 * 1000};
    nanosleep(&linger, NULL);
    __atomic_sub_fetch(&g_inside, 1, __ATOMIC_SEQ_CST);
}

DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb)
{
    const char* query = ecb->lpszQueryString;
    if (strcmp(query, "vars") == 0) {
        Variables(ecb);
    } else if (strcmp(query, "body") == 0) {
        Body(ecb);
    } else if (strcmp(query, "pair") == 0) {
        Pair(ecb);
    } else if (strcmp(query, "redirect") == 0) {
        ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP, "http://example.invalid/isapi", NULL,
                                   NULL);
    } else if (strcmp(query, "sendurl") == 0) {
        ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL, "/local.txt", NULL, NULL);
    } else if (strcmp(query, "missing") == 0) {
        Header(ecb, "404 Not here");
        Write(ecb, "gone\n");
    } else {
        ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, NULL, NULL, NULL);
        Write(ecb, "plain\n");
    }
    return HSE_STATUS_SUCCESS;
}
