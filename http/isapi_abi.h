/* The extension interface of the HTTP server: what an extension library
 * exports and the control block it is called with. A C header, laid out for
 * x86-64 with natural sizes: 32-bit DWORD and BOOL, 64-bit pointers.
 *
 * An extension exports
 *     DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb);
 * and is called on the request's thread, possibly for several requests at
 * once. A callback that fails returns 0 and leaves the reason in errno
 * (87 a handle that is not the server's, 122 a buffer too small, 1413 an
 * unknown name or request code). */
#ifndef VELMORA_ISAPI_ABI_H
#define VELMORA_ISAPI_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef void* HCONN;

#define HSE_LOG_BUFFER_LEN 80

/* ServerSupportFunction request codes. */
#define HSE_REQ_SEND_URL_REDIRECT_RESP 1
#define HSE_REQ_SEND_URL 2
#define HSE_REQ_SEND_RESPONSE_HEADER 3
#define HSE_REQ_DONE_WITH_SESSION 4
#define HSE_REQ_MAP_URL_TO_PATH 1001

/* Result codes of HttpExtensionProc (not examined by the server). */
#define HSE_STATUS_SUCCESS 1
#define HSE_STATUS_ERROR 4

/* The errno values callbacks leave. */
#define HSE_ERROR_INVALID_PARAMETER 87
#define HSE_ERROR_INSUFFICIENT_BUFFER 122
#define HSE_ERROR_INVALID_INDEX 1413

typedef struct EXTENSION_CONTROL_BLOCK {
    DWORD cbSize;
    DWORD dwVersion;
    HCONN ConnID;
    DWORD dwHttpStatusCode;
    char lpszLogData[HSE_LOG_BUFFER_LEN];
    char* lpszMethod;
    char* lpszQueryString;
    char* lpszPathInfo;
    char* lpszPathTranslated;
    DWORD cbTotalBytes;
    DWORD cbAvailable;
    unsigned char* lpbData;
    char* lpszContentType;
    BOOL (*GetServerVariable)(HCONN hConn, char* lpszVariableName, void* lpvBuffer, DWORD* lpdwSize);
    BOOL (*WriteClient)(HCONN ConnID, void* Buffer, DWORD* lpdwBytes, DWORD dwReserved);
    BOOL (*ReadClient)(HCONN ConnID, void* lpvBuffer, DWORD* lpdwSize);
    BOOL (*ServerSupportFunction)(HCONN hConn, DWORD dwHSERequest, void* lpvBuffer, DWORD* lpdwSize,
                                  DWORD* lpdwDataType);
} EXTENSION_CONTROL_BLOCK;

typedef DWORD (*PFN_HTTPEXTENSIONPROC)(EXTENSION_CONTROL_BLOCK* ecb);

#ifdef __cplusplus
}
#endif

#endif
