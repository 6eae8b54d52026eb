#include "macro/exec_macros.h"

#include "framework/socket_pair_wait.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "framework/wsocket.h"
#include "macro/control_macros.h"
#include "macro/expander.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/service_database.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

std::atomic<std::uint32_t> g_testDeadlineMs{0};

std::uint32_t DeadlineMs()
{
    std::uint32_t test = g_testDeadlineMs.load();
    return test ? test : kExecDeadlineMs;
}

// Closes a descriptor on every way out.
class CDescriptor {
public:
    explicit CDescriptor(int handle = -1) : m_handle(handle) {}
    ~CDescriptor() { Close(); }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    int Get() const { return m_handle; }
    void Close()
    {
        if (m_handle >= 0)
            platform::CloseHandle(m_handle);
        m_handle = -1;
    }

private:
    int m_handle;
};

// The running program: killed (with its session) and reaped on every way
// out unless it was reaped already.
class CChild {
public:
    explicit CChild(int processId) : m_id(processId), m_waitHandle(platform::OpenChildWaitHandle(processId)) {}
    ~CChild() { Kill(); }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    // Waits for the end until deadline; false when it came first.
    bool WaitUntil(std::uint64_t deadline)
    {
        while (!m_reaped) {
            if (platform::TryReapChild(m_id, nullptr) != 0) {
                m_reaped = true;
                break;
            }
            std::uint64_t now = platform::MonotonicMs();
            if (now >= deadline)
                return false;
            std::uint32_t left = static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline - now, 1000));
            if (m_waitHandle.Get() >= 0)
                WaitForHandle(m_waitHandle.Get(), false, left);
            else
                platform::SleepMs(std::min<std::uint32_t>(left, 10));
        }
        return true;
    }
    void Kill()
    {
        if (m_reaped)
            return;
        platform::KillChildGroup(m_id);
        platform::ReapChild(m_id, nullptr);
        m_reaped = true;
    }

private:
    int m_id;
    CDescriptor m_waitHandle;
    bool m_reaped = false;
};

void Fail(CTextBuffer* out, CMacroContext* scope, unsigned number)
{
    MacroError(out, scope, kExecErrorType, number, kExecErrorMessage, 1);
}

// Native paths: pages written for the original system separate with '\'.
std::string NativeDirectory(const char* text)
{
    std::string path(text);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

class CGetenvMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1 || !argv[0][0])
            return;
        if (const char* value = std::getenv(argv[0]))
            out->Append(value);
    }
};

class CExecMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

void CExecMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1 || !argv[0][0])
        return;
    // Passed raw by the quote companion: expanded here, once. Only a
    // command line with nothing to expand is the page's own constant text.
    const bool raw = IsRawArgument(argv[0]);
    const bool expandOutput = raw && std::string_view(argv[0]).find('%') == std::string_view::npos;
    CTextBuffer commandLine;
    scope->ExpandArgument(&commandLine, argv[0]);

    platform::ChildStart start;
    start.arguments = platform::SplitCommandLine(std::string_view(commandLine.GetData(), commandLine.GetLength()));
    if (start.arguments.empty())
        return;
    start.environment = platform::CurrentEnvironment();
    start.explicitEnvironment = true;
    if (argc >= 2 && argv[1][0])
        start.workingDirectory = NativeDirectory(argv[1]);
    start.newSession = true;
    platform::LogonTokenPtr token = platform::CurrentImpersonation();
    start.credentials = token.get();

    int readEnd = -1;
    int writeEnd = -1;
    if (int error = platform::CreatePipe(&readEnd, &writeEnd); error != 0) {
        Fail(out, scope, static_cast<unsigned>(error));
        return;
    }
    CDescriptor input(readEnd);
    CDescriptor output(writeEnd);
    start.output = writeEnd;
    int processId = 0;
    if (int error = platform::StartChild(start, &processId); error != 0) {
        Fail(out, scope, static_cast<unsigned>(error));
        return;
    }
    CChild child(processId);
    // End of file comes once the program and whatever it started have closed it.
    output.Close();

    const std::uint64_t deadline = platform::MonotonicMs() + DeadlineMs();
    std::string collected;
    collected.reserve(65536);
    for (;;) {
        std::uint64_t now = platform::MonotonicMs();
        if (now >= deadline) {
            Fail(out, scope, kExecTimeoutError);
            return;
        }
        // A program run for a page's client ends when the client leaves:
        // it may hold a mutex the next request waits for.
        int ready;
        if (WSocket* client = GetPageClient()) {
            ready = WaitForInputOrHangUp(input.Get(), *client, static_cast<std::uint32_t>(deadline - now));
            if (ready > 0 && (ready & kPeerHungUp)) {
                child.Kill();
                throw WSocketException(client, platform::kWsaeConnReset);
            }
        } else {
            ready = WaitForHandle(input.Get(), false, static_cast<std::uint32_t>(deadline - now));
        }
        if (ready == 0)
            continue;
        if (ready < 0) {
            Fail(out, scope, kExecReadError);
            return;
        }
        // Read straight into the text: this frame stays small, as the
        // expander's stack budget asks of macros that expand.
        std::size_t used = collected.size();
        collected.resize(used + kExecReadBlock);
        long got = platform::ReadHandle(input.Get(), collected.data() + used, kExecReadBlock);
        collected.resize(used + static_cast<std::size_t>(std::max(got, 0L)));
        if (got == 0)
            break;
        if (got < 0) {
            Fail(out, scope, kExecReadError);
            return;
        }
        if (collected.size() > kExecOutputCap) {
            Fail(out, scope, kExecOutputTooLargeError);
            return;
        }
    }
    input.Close();
    // A program that closed its output but runs on has until the deadline.
    if (!child.WaitUntil(deadline))
        child.Kill();

    if (!expandOutput) {
        out->Append(collected);
        return;
    }
    try {
        scope->Expand(out, collected);
    } catch (const CMacroException& error) {
        // The nesting limit and the page's memory cap end the whole page.
        if (error.type == kExpandErrorType || error.message == kExpansionMemoryErrorMessage)
            throw;
        Fail(out, scope, error.number);
    }
}

} // namespace

void SetExecDeadlineForTesting(std::uint32_t milliseconds) { g_testDeadlineMs.store(milliseconds); }

void RegisterGetenvMacro(CMacroContext& global) { global.Register("getenv", std::make_unique<CGetenvMacro>()); }

void RegisterExecMacro(CMacroContext& global)
{
    global.Register("exec", std::make_unique<CExecMacro>());
    global.Register("'exec", std::make_unique<CConstantMacro>("' "));
}
