#pragma once
// Under the sanitizers: the ODBC drivers keep blocks they allocate while
// connecting until the process ends. Include this in exactly one file of a
// test program that connects. Full stacks on every allocation are needed to
// see past the driver's own helpers, which have no frame pointers.

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libsqlite3odbc.so\nleak:psqlodbcw.so\n";
}

extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
