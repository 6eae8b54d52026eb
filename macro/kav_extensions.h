/* The interface between the server and a KAV extension library: a shared
 * object exporting one record named "KAVExtensions" that lists its macros.
 * The server fills in the service table pointer when it loads the library;
 * a macro receives interface objects whose first word points to a table of
 * functions, each taking the object itself first. Natural x86-64 sizes. */
#ifndef VELMORA_KAV_EXTENSIONS_H
#define VELMORA_KAV_EXTENSIONS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KAVServiceTable KAVServiceTable;
typedef struct CExtStringBuffer CExtStringBuffer;
typedef struct CExtMacroTable CExtMacroTable;

typedef void (*KAVMacroHandler)(CExtMacroTable* table, CExtStringBuffer* out, const char** argv, int argc);
typedef void (*KAVExtensionFunction)(void* userData, CExtMacroTable* table, CExtStringBuffer* out,
                                     const char** argv, int argc);

typedef struct KAVMacroEntry {
    uint32_t size; /* at least sizeof(KAVMacroEntry) */
    const char* name;
    KAVMacroHandler handler;
} KAVMacroEntry;

typedef struct KAVExtensions {
    uint32_t size; /* at least sizeof(KAVExtensions) */
    const char* description;
    KAVMacroEntry* macros; /* ends at an entry too small or without handler */
    KAVServiceTable* services; /* written by the server */
    int (*setup)(void* parent);
} KAVExtensions;

typedef struct KAVServiceTableFunctions {
    uint16_t (*GetVersion)(KAVServiceTable* self);
    void* (*Alloc)(KAVServiceTable* self, uint32_t size);
    void (*Free)(KAVServiceTable* self, void* block);
    CExtStringBuffer* (*CreateStringBuffer)(KAVServiceTable* self, int size, int growStep);
    CExtMacroTable* (*CreateMacroTable)(KAVServiceTable* self, CExtMacroTable* parent);
} KAVServiceTableFunctions;

struct KAVServiceTable {
    const KAVServiceTableFunctions* functions;
};

typedef struct CExtStringBufferFunctions {
    uint16_t (*GetVersion)(CExtStringBuffer* self);
    CExtStringBuffer* (*Create)(CExtStringBuffer* self, int size, int growStep);
    void (*Release)(CExtStringBuffer* self);
    int (*GetLength)(CExtStringBuffer* self);
    void (*SetLength)(CExtStringBuffer* self, int length);
    void (*Append)(CExtStringBuffer* self, const char* text);
    void (*AppendBytes)(CExtStringBuffer* self, const char* bytes, int length);
    void (*Empty)(CExtStringBuffer* self);
    char* (*GetText)(CExtStringBuffer* self);
} CExtStringBufferFunctions;

struct CExtStringBuffer {
    const CExtStringBufferFunctions* functions;
    void* buffer;   /* the server's text buffer */
    int ownsBuffer; /* 0: lent by the server for one call; Release does nothing */
};

typedef struct CExtMacroTableFunctions {
    uint16_t (*GetVersion)(CExtMacroTable* self);
    CExtMacroTable* (*Create)(CExtMacroTable* self, CExtMacroTable* parent);
    void (*Release)(CExtMacroTable* self);
    void (*Expand)(CExtMacroTable* self, CExtStringBuffer* out, const char* text);
    void (*ExpandBytes)(CExtMacroTable* self, CExtStringBuffer* out, const char* text, int length);
    void (*CallMacro)(CExtMacroTable* self, CExtStringBuffer* out, const char* name, const char** argv, int argc);
    void (*AddMacro)(CExtMacroTable* self, const char* name, KAVExtensionFunction function, void* userData);
    int (*IsDefined)(CExtMacroTable* self, const char* name);
} CExtMacroTableFunctions;

struct CExtMacroTable {
    const CExtMacroTableFunctions* functions;
    void* scope;   /* the server's macro scope */
    int ownsScope; /* 0: lent by the server for one call; Release does nothing */
};

#define KAV_INTERFACE_VERSION 0x0100

#ifdef __cplusplus
}
#endif

#endif
