#pragma once
/* The control-panel applet interface: a shared library exports CPlApplet,
 * and a host sends it these messages. The information record is ours,
 * laid out for x86-64; a host sets dwSize before asking. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    CPL_INIT = 1,
    CPL_GETCOUNT = 2,
    CPL_INQUIRE = 3,
    CPL_SELECT = 4,
    CPL_DBLCLK = 5,
    CPL_STOP = 6,
    CPL_EXIT = 7,
    CPL_NEWINQUIRE = 8
};

typedef struct NEWCPLINFO {
    uint32_t dwSize;        /* sizeof(NEWCPLINFO) */
    uint32_t dwFlags;       /* 0 */
    uint32_t dwHelpContext; /* 0 */
    uint32_t iconId;        /* the applet's icon among the product's icons */
    int64_t lData;          /* handed back with CPL_DBLCLK and CPL_STOP */
    char szName[32];
    char szInfo[64];
    char szHelpFile[128];
} NEWCPLINFO;

/* hwndCpl: the host's parent window (a QWidget*), or null.
 * CPL_NEWINQUIRE: lParam1 the applet's number, lParam2 a NEWCPLINFO*.
 * CPL_DBLCLK, CPL_STOP: lParam1 the applet's number, lParam2 its lData. */
typedef intptr_t (*APPLET_PROC)(void* hwndCpl, uint32_t msg, intptr_t lParam1, intptr_t lParam2);

#define CPL_APPLET_ENTRY "CPlApplet"

#ifdef __cplusplus
}
static_assert(sizeof(NEWCPLINFO) == 248, "NEWCPLINFO is an interface between separately built programs");
static_assert(offsetof(NEWCPLINFO, lData) == 16 && offsetof(NEWCPLINFO, szName) == 24 &&
                  offsetof(NEWCPLINFO, szInfo) == 56 && offsetof(NEWCPLINFO, szHelpFile) == 120,
              "NEWCPLINFO's fields are an interface");
#endif
