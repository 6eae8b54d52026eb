#include "macro/builtin_macros.h"

#include "macro/arith_macros.h"
#include "macro/control_macros.h"
#include "macro/core_macros.h"
#include "macro/counter_macros.h"
#include "macro/description_macros.h"
#include "macro/exec_macros.h"
#include "macro/extension_libraries.h"
#include "macro/file_macros.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/mail_macros.h"
#include "macro/mutex_macros.h"
#include "macro/odbc_thread.h"
#include "macro/persistent_macros.h"
#include "macro/sql_macros.h"
#include "macro/stat_macros.h"
#include "macro/string_macros.h"
#include "macro/time_macros.h"
#include "macro/verify_macros.h"

#include <memory>

void InitBuiltinMacros(CMacroContext* global)
{
    global->GetMacros().DeleteAll();
    global->GetMacros().InitHashTable(kGlobalScopeBuckets);
    global->Register("kav-version", std::make_unique<CValueMacro>("1.1"));
    global->Register("vl-version", std::make_unique<CValueMacro>("1.51"));
    global->Register("vl-build", std::make_unique<CValueMacro>("12"));
    RegisterFileMacros(*global);
    RegisterStringMacros(*global);
    RegisterFlowMacros(*global);
    RegisterMathMacros(*global);
    RegisterTimeMacros(*global);
    RegisterTryMacros(*global);
    RegisterCoreMacros(*global);
    RegisterVerifyMacros(*global);
    RegisterGetenvMacro(*global);
    RegisterCounterMacros(*global);
    RegisterExecMacro(*global);
    RegisterSQLMacros(*global);
    RegisterMailMacros(*global);
    RegisterPersistentMacros(*global);
    RegisterDescriptionMacros(*global);
    RegisterMutexMacros(*global);
    LoadExtensionLibraries(*global);
    RegisterGlobalStatMacros(*global);
}

void TerminateBuiltinMacros()
{
    UnloadExtensionLibraries();
    MutexTableClear();
    StopODBCThread();
    CounterWriteBack();
    PersistentValuesWriteBack();
}
