#pragma once
// Named strings: pages, error replies and log lines held as string macros in
// a scope (a Strings list), with defaults from the string table
// (resources/string_table.h) and overrides from a registry key, one REG_SZ
// value per name. The operations are members of CMacroContext
// (macro/macro_context.h); this header adds what the library sets up.

// Installs the factory through which configurations (config/macro_scope.h)
// make their Strings scopes. Engine start and tests call it before building
// configurations; calling it again is harmless.
void InitMacroLibrary();
