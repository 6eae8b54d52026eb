#include "config/macro_scope.h"

#include <atomic>

namespace {
std::atomic<MacroScopeFactory> g_factory{nullptr};
}

void SetMacroScopeFactory(MacroScopeFactory factory)
{
    g_factory.store(factory, std::memory_order_release);
}

std::unique_ptr<CMacroScope> CreateMacroScope()
{
    MacroScopeFactory factory = g_factory.load(std::memory_order_acquire);
    return factory ? factory() : nullptr;
}
