/* A sample KAV extension library: a few macros that use every kind of
 * interface object the server hands a library. */
#include "macro/kav_extensions.h"

#include <stddef.h>
#include <string.h>

extern KAVExtensions KAVExtensions_record __asm__("KAVExtensions");

/* hello(name): "Hello, <name>!" */
static void Hello(CExtMacroTable* table, CExtStringBuffer* out, const char** argv, int argc)
{
    (void)table;
    out->functions->Append(out, "Hello, ");
    out->functions->Append(out, argc > 0 ? argv[0] : "nobody");
    out->functions->AppendBytes(out, "!?", 1);
}

/* toupper(text): replaces the built-in of that name. */
static void Upper(CExtMacroTable* table, CExtStringBuffer* out, const char** argv, int argc)
{
    (void)table;
    if (argc < 1)
        return;
    int start = out->functions->GetLength(out);
    out->functions->Append(out, argv[0]);
    char* text = out->functions->GetText(out);
    for (char* c = text + start; *c; ++c)
        if (*c >= 'a' && *c <= 'z')
            *c = (char)(*c - 'a' + 'A');
}

/* twice(text): appends text, then the buffer's own text again. */
static void Twice(CExtMacroTable* table, CExtStringBuffer* out, const char** argv, int argc)
{
    (void)table;
    if (argc < 1)
        return;
    out->functions->Empty(out);
    out->functions->Append(out, argv[0]);
    out->functions->Append(out, out->functions->GetText(out));
}

static void Shout(void* userData, CExtMacroTable* table, CExtStringBuffer* out, const char** argv, int argc)
{
    (void)table;
    (void)argv;
    (void)argc;
    out->functions->Append(out, (const char*)userData);
}

/* define(name): adds a macro to the caller's scope that prints "shout". */
static void Define(CExtMacroTable* table, CExtStringBuffer* out, const char** argv, int argc)
{
    (void)out;
    if (argc > 0)
        table->functions->AddMacro(table, argv[0], Shout, (void*)"shout");
}

/* probe: a fresh table without parent sees nothing; the caller's sees
 * kav-version; a private buffer expands; lent wrappers survive Release. */
static void Probe(CExtMacroTable* table, CExtStringBuffer* out, const char** argv, int argc)
{
    (void)argv;
    (void)argc;
    KAVServiceTable* services = KAVExtensions_record.services;
    CExtMacroTable* lonely = services->functions->CreateMacroTable(services, NULL);
    CExtStringBuffer* scratch = services->functions->CreateStringBuffer(services, 16, -1);
    scratch->functions->Append(scratch, lonely->functions->IsDefined(lonely, "KAV-version") ? "lonely-sees " : "alone ");
    scratch->functions->Append(scratch, table->functions->IsDefined(table, "KAV-version") ? "caller-sees " : "blind ");
    table->functions->Expand(table, scratch, "[%kav-version%]");
    const char* args[] = {"x", NULL};
    table->functions->CallMacro(table, scratch, "EXT-HELLO", args, 1);
    out->functions->Append(out, scratch->functions->GetText(scratch));
    scratch->functions->Release(scratch);
    lonely->functions->Release(lonely);
    table->functions->Release(table);
    out->functions->Release(out);
    out->functions->Append(out, " still");
}

static KAVMacroEntry macros[] = {
    {sizeof(KAVMacroEntry), "ext-hello", Hello},
    {sizeof(KAVMacroEntry), "ToUpper", Upper},
    {sizeof(KAVMacroEntry), "ext-twice", Twice},
    {sizeof(KAVMacroEntry), "ext-define", Define},
    {sizeof(KAVMacroEntry), "ext-probe", Probe},
    {0, NULL, NULL},
};

KAVExtensions KAVExtensions_record __asm__("KAVExtensions") = {
    sizeof(KAVExtensions), "Sample KAV extension", macros, NULL, NULL,
};
