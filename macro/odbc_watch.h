#pragma once
// Inside the ODBC module: what the request thread and the pool ask of the
// statement watchdog (odbc_watch.cpp). The statement calls themselves are
// declared in odbc_thread.h, with the rest of the module's interface.

#include <sql.h>

void StartWatchdog();
// Gives up every cancel still running, so that no statement waits on one
// that the stopped watchdog would never give up.
void StopWatchdog();
// A stop cancels every statement in flight and every one still to come.
void CancelAllStatements();
// True when a cancel still runs on a statement of hdbc: the connection is
// then closed by that cancel once it returns, not now.
bool CancelHoldsConnection(SQLHDBC hdbc);
