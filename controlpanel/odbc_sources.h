#pragma once
// The ODBC data sources the service can use and those of the person running
// the applet, as unixODBC keeps them: odbc.ini files whose "ODBC Data
// Sources" section lists each source (name = driver description) and whose
// section of the source's name holds its settings.
//
// The service reads the file ODBCINI names (make run and the tests set it);
// a person's own sources are in ~/.odbc.ini.

#include <string>
#include <vector>

inline constexpr const char* kDataSourceListSection = "ODBC Data Sources";

struct CDataSourceEntry {
    std::string name;
    std::string driver; // the list value: the driver's description
};

// The service's odbc.ini: $ODBCINI, else odbc.ini in $ODBCSYSINI, else /etc/odbc.ini.
std::string ServiceDataSourceFile();
// The current user's: $HOME/.odbc.ini.
std::string UserDataSourceFile();

// The list entries of file in file order; empty when the file or list is missing.
std::vector<CDataSourceEntry> ListDataSources(const std::string& file);

// Why name cannot be a data source's, or empty when it can. The list
// section and the driver manager's own "ODBC" section are no sources: a
// source of either name would replace them whole.
std::string DataSourceNameFault(const std::string& name);

// Copies the source name from one file to another: its list entry (when
// it has one) and its settings section whole, replacing what the
// destination held under that name. Nothing changes, and the answer is
// false, when the source file has no section of that name or a file
// cannot be read or written, or the name is one DataSourceNameFault
// refuses. The destination is rewritten in one step.
bool CopyDataSource(const std::string& name, const std::string& fromFile, const std::string& toFile);

// Removes the source's section and its list entry from file, in one step.
// False, changing nothing, for a name DataSourceNameFault refuses.
bool DeleteDataSource(const std::string& name, const std::string& file);
