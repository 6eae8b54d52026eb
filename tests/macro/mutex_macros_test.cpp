#include "macro/mutex_macros.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/fiber.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// A read, a pause and a write of a plain number: loses updates unless kept apart.
class CIncrementMacro : public CMacro {
public:
    explicit CIncrementMacro(int* counter) : m_counter(counter) {}
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override
    {
        int value = *m_counter;
        std::this_thread::yield();
        *m_counter = value + 1;
    }

private:
    int* m_counter;
};

// Gives the thread back while the text runs, as a page waiting on I/O does.
class CPauseMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char**, int) override
    {
        platform::Fiber::Suspend();
        out->Append("resumed");
    }
};

class MutexMacrosTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterTryMacros(m_global);
        RegisterMutexMacros(m_global);
        m_global.Register("secret", std::make_unique<CValueMacro>("LEAK"));
        m_global.Register("field", std::make_unique<CValueMacro>("%secret%"));
        m_global.Register("incr", std::make_unique<CIncrementMacro>(&m_counter));
        m_global.Register("pause", std::make_unique<CPauseMacro>());
    }
    void TearDown() override { MutexTableClear(); }
    std::string Expand(const std::string& text)
    {
        CTextBuffer out;
        m_global.Expand(&out, text);
        return out.ToString();
    }

    CMacroContext m_global;
    int m_counter = 0;
};

TEST_F(MutexMacrosTest, TextsAndNames)
{
    struct Case {
        const char* page;
        const char* expected;
    } cases[] = {
        {"%mutex(a,text)", "text"},
        {"%mutex(a,%mutex(A,inner))", "inner"}, // nested, same name
        {"%mutex(a,%field%)", "%secret%"},         // expanded once, inside
        {"%mutex(a)", ""},
        {"%mutex()", ""},
        {"%try(%mutex(b,%throw(x,5)),caught %exception-number%)", "caught 5"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Expand(c.page), c.expected) << c.page;
    // Only the two names used with a text exist; case is folded.
    EXPECT_EQ(NamedMutexCount(), 2u);
    EXPECT_EQ(FindNamedMutex("MiXed"), FindNamedMutex("mixed"));
    // The error released b at once.
    EXPECT_TRUE(FindNamedMutex("B")->IsFree());
}

TEST_F(MutexMacrosTest, ConcurrentIncrementsAreNeverLost)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this] {
            for (int i = 0; i < kRounds; ++i)
                Expand("%mutex(Counter,'%incr%')");
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(m_counter, kThreads * kRounds);
}

TEST_F(MutexMacrosTest, FibersOwnTheirMutexAndATornDownRequestReleasesIt)
{
    std::string first;
    auto fiber = std::make_unique<platform::Fiber>([&] { first = Expand("%mutex(held,'%pause%')"); });
    fiber->Resume(); // suspended inside the protected text
    std::shared_ptr<CNamedMutex> mutex = FindNamedMutex("held");
    EXPECT_FALSE(mutex->IsFree());

    // Another fiber on the same thread is a different owner: it does not
    // walk in, as a thread-owned lock would let it.
    std::atomic<bool> entered{false};
    std::thread other([&] {
        platform::Fiber second([&] { Expand("%mutex(held,'%incr%')"); entered = true; });
        second.Resume();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered.load());

    // The request ends while it holds the mutex: unwinding lets it go.
    fiber.reset();
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(m_counter, 1);
    EXPECT_TRUE(mutex->IsFree());
}

} // namespace
