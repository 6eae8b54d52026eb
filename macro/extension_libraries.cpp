#include "macro/extension_libraries.h"

#include "framework/memory.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "macro/registry_values.h"
#include "platform/registry.h"

#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

std::mutex g_librariesLock;
std::vector<void*> g_libraries;
CMacroContext* g_global = nullptr;

CTextBuffer* BufferOf(CExtStringBuffer* self)
{
    return self ? static_cast<CTextBuffer*>(self->buffer) : nullptr;
}

CMacroContext* ScopeOf(CExtMacroTable* self)
{
    return self ? static_cast<CMacroContext*>(self->scope) : nullptr;
}

// ---- CExtStringBuffer --------------------------------------------------

std::uint16_t BufferVersion(CExtStringBuffer*) { return KAV_INTERFACE_VERSION; }
CExtStringBuffer* BufferCreate(CExtStringBuffer*, int size, int growStep);

void BufferRelease(CExtStringBuffer* self)
{
    if (self == nullptr || !self->ownsBuffer)
        return; // a lent wrapper lives on the server's stack
    delete BufferOf(self);
    delete self;
}

int BufferGetLength(CExtStringBuffer* self)
{
    CTextBuffer* buffer = BufferOf(self);
    return buffer ? buffer->GetLength() : 0;
}

void BufferSetLength(CExtStringBuffer* self, int length)
{
    if (CTextBuffer* buffer = BufferOf(self))
        buffer->SetLength(std::max(0, length));
}

void BufferAppendBytes(CExtStringBuffer* self, const char* bytes, int length)
{
    CTextBuffer* buffer = BufferOf(self);
    if (buffer == nullptr || bytes == nullptr || length <= 0)
        return;
    std::string_view held = buffer->View();
    if (bytes >= held.data() && bytes < held.data() + held.size() + 1) {
        // The buffer's own text: copied first, since growing moves it.
        std::string copy(bytes, static_cast<std::size_t>(length));
        buffer->Append(copy);
        return;
    }
    buffer->Append(bytes, length);
}

void BufferAppend(CExtStringBuffer* self, const char* text)
{
    if (text != nullptr)
        BufferAppendBytes(self, text, static_cast<int>(std::strlen(text)));
}

void BufferEmpty(CExtStringBuffer* self)
{
    if (CTextBuffer* buffer = BufferOf(self))
        buffer->SetLength(0);
}

char* BufferGetText(CExtStringBuffer* self)
{
    CTextBuffer* buffer = BufferOf(self);
    return buffer ? buffer->GetData() : nullptr;
}

const CExtStringBufferFunctions kBufferFunctions = {
    BufferVersion, BufferCreate, BufferRelease, BufferGetLength, BufferSetLength,
    BufferAppend,  BufferAppendBytes, BufferEmpty, BufferGetText,
};

CExtStringBuffer* BufferCreate(CExtStringBuffer*, int size, int growStep)
{
    CHeapSwitch shared;
    auto* wrapper = new CExtStringBuffer{&kBufferFunctions, nullptr, 1};
    wrapper->buffer = new CTextBuffer(size < 1 ? 0 : size, growStep == -1 ? size : growStep);
    return wrapper;
}

// ---- CExtMacroTable ----------------------------------------------------

std::uint16_t TableVersion(CExtMacroTable*) { return KAV_INTERFACE_VERSION; }
CExtMacroTable* TableCreate(CExtMacroTable*, CExtMacroTable* parent);

void TableRelease(CExtMacroTable* self)
{
    if (self == nullptr || !self->ownsScope)
        return;
    delete ScopeOf(self);
    delete self;
}

void TableExpandBytes(CExtMacroTable* self, CExtStringBuffer* out, const char* text, int length)
{
    CMacroContext* scope = ScopeOf(self);
    CTextBuffer* buffer = BufferOf(out);
    if (scope == nullptr || buffer == nullptr || text == nullptr || length <= 0)
        return;
    std::string copy(text, static_cast<std::size_t>(length)); // the text may lie inside out
    scope->Expand(buffer, copy);
}

void TableExpand(CExtMacroTable* self, CExtStringBuffer* out, const char* text)
{
    if (text != nullptr)
        TableExpandBytes(self, out, text, static_cast<int>(std::strlen(text)));
}

void TableCallMacro(CExtMacroTable* self, CExtStringBuffer* out, const char* name, const char** argv, int argc)
{
    CMacroContext* scope = ScopeOf(self);
    CTextBuffer* buffer = BufferOf(out);
    if (scope == nullptr || buffer == nullptr || name == nullptr || argv == nullptr)
        return;
    scope->CallMacro(buffer, LowerName(name), argv, argc, scope);
}

void TableAddMacro(CExtMacroTable* self, const char* name, KAVExtensionFunction function, void* userData)
{
    CMacroContext* scope = ScopeOf(self);
    if (scope == nullptr || name == nullptr || scope->IsReadOnly())
        return;
    if (function == nullptr)
        scope->Register(LowerName(name), nullptr);
    else
        scope->Register(LowerName(name), std::make_unique<CExtensionMacro>(function, userData));
}

int TableIsDefined(CExtMacroTable* self, const char* name)
{
    CMacroContext* scope = ScopeOf(self);
    if (scope == nullptr || name == nullptr)
        return 0;
    std::string lower = LowerName(name);
    for (CMacroContext* at = scope; at != nullptr; at = at->GetParent())
        if (at->GetMacros().Lookup(lower) != nullptr)
            return 1;
    return 0;
}

const CExtMacroTableFunctions kTableFunctions = {
    TableVersion,   TableCreate,   TableRelease,  TableExpand,
    TableExpandBytes, TableCallMacro, TableAddMacro, TableIsDefined,
};

// A null parent means a scope of its own, without enclosing scopes.
CExtMacroTable* TableCreate(CExtMacroTable*, CExtMacroTable* parent)
{
    CHeapSwitch shared;
    return new CExtMacroTable{&kTableFunctions, new CMacroContext(ScopeOf(parent)), 1};
}

// ---- KAVServiceTable ---------------------------------------------------

std::uint16_t ServiceVersion(KAVServiceTable*) { return KAV_INTERFACE_VERSION; }
void* ServiceAlloc(KAVServiceTable*, std::uint32_t size) { return AllocMemory(size); }
void ServiceFree(KAVServiceTable*, void* block) { FreeMemory(block); }
CExtStringBuffer* ServiceCreateStringBuffer(KAVServiceTable*, int size, int growStep)
{
    return BufferCreate(nullptr, size, growStep);
}
CExtMacroTable* ServiceCreateMacroTable(KAVServiceTable*, CExtMacroTable* parent)
{
    return TableCreate(nullptr, parent);
}

const KAVServiceTableFunctions kServiceFunctions = {
    ServiceVersion, ServiceAlloc, ServiceFree, ServiceCreateStringBuffer, ServiceCreateMacroTable,
};
KAVServiceTable g_serviceTable{&kServiceFunctions};

bool IsLibraryMacro(CMacro* macro)
{
    return dynamic_cast<CLibraryMacro*>(macro) != nullptr || dynamic_cast<CExtensionMacro*>(macro) != nullptr;
}

} // namespace

KAVServiceTable* ExtensionServiceTable()
{
    return &g_serviceTable;
}

CExtMacroTable LendMacroTable(CMacroContext* scope)
{
    return CExtMacroTable{&kTableFunctions, scope, 0};
}

CExtStringBuffer LendStringBuffer(CTextBuffer* buffer)
{
    return CExtStringBuffer{&kBufferFunctions, buffer, 0};
}

void CLibraryMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    CExtMacroTable table = LendMacroTable(scope);
    CExtStringBuffer buffer = LendStringBuffer(out);
    m_handler(&table, &buffer, argv, argc);
}

void CExtensionMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (m_function == nullptr)
        return;
    CExtMacroTable table = LendMacroTable(scope);
    CExtStringBuffer buffer = LendStringBuffer(out);
    m_function(m_userData, &table, &buffer, argv, argc);
}

void LoadExtensionLibraries(CMacroContext& global)
{
    std::lock_guard<std::mutex> hold(g_librariesLock);
    // A start without a stop between: the caller emptied the scope already.
    for (void* library : g_libraries)
        dlclose(library);
    g_libraries.clear();
    g_global = &global;
    platform::RegistryKey key;
    if (platform::RegistryKey::LocalMachine().Open(kExtensionsKeyPath, key) != platform::kErrorSuccess)
        return;
    for (std::uint32_t index = 0;; ++index) {
        std::string path;
        platform::RegistryValue description;
        int result = key.EnumValue(index, path, description);
        if (result == platform::kErrorNoMoreItems)
            break;
        if (result != platform::kErrorSuccess || path.empty())
            continue;
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            continue;
        auto* record = static_cast<KAVExtensions*>(dlsym(library, "KAVExtensions"));
        if (record == nullptr || record->size < sizeof(KAVExtensions)) {
            dlclose(library);
            continue;
        }
        int macros = 0;
        for (KAVMacroEntry* entry = record->macros; entry != nullptr; ++entry) {
            if (entry->size < sizeof(KAVMacroEntry) || entry->handler == nullptr || entry->name == nullptr)
                break;
            global.Register(LowerName(entry->name), std::make_unique<CLibraryMacro>(entry->handler));
            ++macros;
        }
        record->services = &g_serviceTable;
        if (macros == 0)
            dlclose(library);
        else
            g_libraries.push_back(library);
    }
}

void UnloadExtensionLibraries()
{
    std::lock_guard<std::mutex> hold(g_librariesLock);
    if (g_global != nullptr && !g_libraries.empty()) {
        // Their code is about to go: nothing may call into it afterwards.
        std::vector<std::string> names;
        g_global->GetMacros().ForEach([&names](std::string_view name, CMacro* macro) {
            if (IsLibraryMacro(macro))
                names.emplace_back(name);
        });
        for (const std::string& name : names)
            g_global->GetMacros().Remove(name);
    }
    for (void* library : g_libraries)
        dlclose(library);
    g_libraries.clear();
}

std::size_t LoadedExtensionLibraries()
{
    std::lock_guard<std::mutex> hold(g_librariesLock);
    return g_libraries.size();
}
