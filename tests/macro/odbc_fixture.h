#pragma once
// A SQLite data source through the real ODBC driver manager and driver,
// defined in odbc.ini files of the test's own folder, and a scope with the
// SQL family and the test macros registered.

#include "config/config_fixture.h"
#include "framework/text_buffer.h"
#include "macro/control_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/odbc_thread.h"
#include "macro/sql_macros.h"
#include "test_macros.h"

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <unistd.h>

#include <fstream>
#include <map>

inline constexpr const char* kSQLiteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

// form(name): the field's text from a table the test fills.
class CTestFormMacro : public CMacro {
public:
    explicit CTestFormMacro(const std::map<std::string, std::string>* fields) : m_fields(fields) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        auto found = argc >= 1 ? m_fields->find(argv[0]) : m_fields->end();
        if (found != m_fields->end())
            out->Append(found->second);
    }

private:
    const std::map<std::string, std::string>* m_fields;
};

class ODBCTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Kept loaded, so that what the driver itself leaks is reported
        // under its own name (odbc_leaks.h) rather than as an
        // unknown module's.
        dlopen(kSQLiteDriver, RTLD_NOW | RTLD_NODELETE);
        s_dir = new TempDirectory;
        std::ofstream(*s_dir / "odbcinst.ini") << "[SQLite3]\nDriver=" << kSQLiteDriver << "\nDontDLClose=1\n";
        std::ofstream(*s_dir / "odbc.ini") << "[vtest]\nDriver=SQLite3\nDatabase=" << (*s_dir / "t.db") << "\n";
        ::setenv("ODBCSYSINI", s_dir->Path().c_str(), 1);
        ::setenv("ODBCINI", (*s_dir / "odbc.ini").c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        StopODBCThread();
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override
    {
        if (::access(kSQLiteDriver, R_OK) != 0)
            GTEST_SKIP() << "the SQLite ODBC driver (Debian libsqliteodbc) is not installed";
        macro_test::RegisterTestMacros(m_global);
        RegisterFlowMacros(m_global);
        RegisterTryMacros(m_global);
        RegisterSQLMacros(m_global);
        m_global.Register("form", std::make_unique<CTestFormMacro>(&m_form));
        ASSERT_TRUE(ODBCThreadRunning());
        FlushConnection(nullptr);
    }

    std::string Expand(const std::string& text)
    {
        CTextBuffer out;
        m_global.Expand(&out, text);
        return out.ToString();
    }
    std::string Sql(const std::string& statement, const std::string& row = "", const std::string& source = "vtest")
    {
        return Expand("%sql(" + source + "," + statement + (row.empty() ? "" : ",'" + row) + ")");
    }

    static inline TempDirectory* s_dir = nullptr;
    CMacroContext m_global;
    std::map<std::string, std::string> m_form;
};
