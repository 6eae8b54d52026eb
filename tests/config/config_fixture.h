#pragma once
// What the configuration tests share: a hive of their own in a temporary
// directory, the global change stamp opened on it with a short hold-off,
// and a macro scope that really substitutes %username%, %password% and
// %group% (and throws on %throw%), so that the user and group macros run.

#include "config/last_mod_stamp.h"
#include "config/macro_scope.h"
#include "framework/text_buffer.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <span>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// For the tests of the hold-off itself: short enough to keep the suite
// fast, long enough that a test sees it at work. Every other test keeps the
// designed hold-off, so no read after it can flush a cache mid-test; they
// report their edits with Touch, which acts at once.
inline constexpr std::uint64_t kTestHoldOffMs = 150;

class CTestScope : public CMacroScope {
public:
    void ExpandNested(CTextBuffer* out, std::string_view text, std::span<const Constant> constants) override
    {
        ++calls;
        if (during)
            during();
        std::string result(text);
        if (result.find("%throw%") != std::string::npos)
            throw std::runtime_error("thrown by the macro");
        for (const Constant& constant : constants) {
            std::string reference = "%" + std::string(constant.name) + "%";
            for (std::size_t at = result.find(reference); at != std::string::npos;
                 at = result.find(reference, at + std::strlen(constant.value)))
                result.replace(at, reference.size(), constant.value);
        }
        out->Append(result);
    }

    int calls = 0;
    // Runs inside every expansion (a macro that itself uses the maps).
    std::function<void()> during;
};

class TempDirectory {
public:
    TempDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-config-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::CloseRegistryDatabase();
        ::setenv("VELMORA_REGISTRY", (m_dir / "registry.db").c_str(), 1);
        // The stamp only opens the product key, so the key comes first.
        ASSERT_EQ(platform::RegistryKey::LocalMachine().Create(kProductKeyPath, m_product), platform::kErrorSuccess);
        GlobalLastModStamp().SetHoldOffForTesting(kLastModHoldOffMs);
        GlobalLastModStamp().Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
    }
    void TearDown() override
    {
        GlobalLastModStamp().Close();
        m_product.Close();
        platform::CloseRegistryDatabase();
        ::unsetenv("VELMORA_REGISTRY");
    }

    // Opens (creating) a key below the product key.
    platform::RegistryKey Key(const std::string& path)
    {
        platform::RegistryKey key;
        EXPECT_EQ(m_product.Create(path, key), platform::kErrorSuccess);
        return key;
    }
    // Reopens the stamp with the short hold-off of the hold-off tests.
    static void UseShortHoldOff()
    {
        GlobalLastModStamp().SetHoldOffForTesting(kTestHoldOffMs);
        GlobalLastModStamp().Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
    }
    // Makes the next use of every cache reload, as an editor's save does.
    static void Touch() { GlobalLastModStamp().Touch(); }

    // Forks a second process that waits for ReleaseEditor, makes its edit on
    // a registry connection of its own, touches LastMod and exits (0 when the
    // edit succeeded). This process then reopens the stamp with the given
    // hold-off and the product key.
    pid_t ForkEditor(const std::function<bool()>& edit, std::uint64_t holdOff, int& go)
    {
        // The child must not share this process's database connection.
        GlobalLastModStamp().Close();
        m_product.Close();
        platform::CloseRegistryDatabase();
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
            return -1;
        pid_t child = ::fork();
        if (child == 0) {
            ::close(pipeFds[1]);
            char byte;
            if (::read(pipeFds[0], &byte, 1) != 1)
                ::_exit(2);
            if (!edit())
                ::_exit(3);
            CLastModStamp writer;
            writer.Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
            writer.Touch();
            ::_exit(0);
        }
        ::close(pipeFds[0]);
        go = pipeFds[1];
        GlobalLastModStamp().SetHoldOffForTesting(holdOff);
        GlobalLastModStamp().Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);
        EXPECT_EQ(platform::RegistryKey::LocalMachine().Create(kProductKeyPath, m_product), platform::kErrorSuccess);
        return child;
    }
    // Lets the editor run and waits for it; true when it exited 0.
    static bool ReleaseEditor(pid_t child, int go)
    {
        bool written = ::write(go, "g", 1) == 1;
        ::close(go);
        int status = 0;
        if (::waitpid(child, &status, 0) != child)
            return false;
        return written && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    TempDirectory m_dir;
    platform::RegistryKey m_product;
};
