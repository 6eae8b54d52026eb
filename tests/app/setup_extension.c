/* KAV extension libraries for the extension-libraries page: one with a
 * setup function that answers what VELMORA_KAV_SETUP_ANSWER says, and (built
 * with SHORT_RECORD) one whose record is too short to count. */
#include "macro/kav_extensions.h"

#include <stdlib.h>

extern KAVExtensions KAVExtensions_record __asm__("KAVExtensions");

static void Nothing(CExtMacroTable* table, CExtStringBuffer* out, const char** argv, int argc)
{
    (void)table;
    (void)argv;
    (void)argc;
    out->functions->Append(out, "");
}

static int Setup(void* parent)
{
    const char* answer = getenv("VELMORA_KAV_SETUP_ANSWER");
    return parent != NULL && answer != NULL ? atoi(answer) : 0;
}

static KAVMacroEntry macros[] = {
    {sizeof(KAVMacroEntry), "setup-nothing", Nothing},
    {0, NULL, NULL},
};

#ifdef SHORT_RECORD
KAVExtensions KAVExtensions_record __asm__("KAVExtensions") = {
    sizeof(KAVExtensions) - 1, "Too short a record", macros, NULL, Setup,
};
#else
KAVExtensions KAVExtensions_record __asm__("KAVExtensions") = {
    sizeof(KAVExtensions), "Setup sample extension", macros, NULL, Setup,
};
#endif
