#include "framework/handles.h"

#include "framework/event_lock.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

bool DescriptorOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A scratch directory with one file, removed at the end.
class ScratchDir {
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/velmora-handles-XXXXXX";
        m_path = mkdtemp(pattern) ? pattern : "";
        m_file = m_path + "/data.txt";
    }
    ~ScratchDir()
    {
        unlink(m_file.c_str());
        rmdir(m_path.c_str());
    }
    const std::string& Path() const { return m_path; }
    const std::string& File() const { return m_file; }

private:
    std::string m_path;
    std::string m_file;
};

TEST(HandleHolderTest, ClosesValidDescriptorsOnceAndTreatsMinusOneAsNone)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        CHandleHolder read(fds[0]);
        CFileHandleHolder write(fds[1]);
        EXPECT_TRUE(read.IsValid());
        EXPECT_EQ(write.Get(), fds[1]);
        read.Close();
        EXPECT_FALSE(read.IsValid());
        EXPECT_EQ(read.Get(), CHandleHolder::kNone);
        EXPECT_FALSE(DescriptorOpen(fds[0]));
        read.Close(); // nothing held: nothing closed
    }
    EXPECT_FALSE(DescriptorOpen(fds[1])); // the destructor closed it

    CHandleHolder none;
    EXPECT_FALSE(none.IsValid());
    CHandleHolder zero(0); // descriptor 0 is a real descriptor
    EXPECT_TRUE(zero.IsValid());
    EXPECT_EQ(zero.Detach(), 0); // hand it back untouched
    EXPECT_TRUE(DescriptorOpen(0) || errno == EBADF);
}

TEST(HandleHolderTest, MovesTransferOwnershipAndAssignmentClosesTheOldOne)
{
    int first[2];
    int second[2];
    ASSERT_EQ(pipe(first), 0);
    ASSERT_EQ(pipe(second), 0);
    CHandleHolder a(first[0]);
    CHandleHolder b(std::move(a));
    EXPECT_FALSE(a.IsValid());
    EXPECT_EQ(b.Get(), first[0]);
    CHandleHolder c(second[0]);
    b = std::move(c);
    EXPECT_FALSE(DescriptorOpen(first[0]));
    EXPECT_EQ(b.Get(), second[0]);
    EXPECT_FALSE(c.IsValid());
    b.Reset(first[1]);
    EXPECT_FALSE(DescriptorOpen(second[0]));
    b.Close();
    EXPECT_FALSE(DescriptorOpen(first[1]));
    close(second[1]);
}

TEST(FindHandleTest, ClosesTheDirectoryStream)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    DIR* stream = opendir(dir.Path().c_str());
    ASSERT_NE(stream, nullptr);
    const int fd = dirfd(stream);
    CFindHandle find(stream);
    EXPECT_TRUE(find.IsValid());
    CFindHandle moved(std::move(find));
    EXPECT_FALSE(find.IsValid());
    EXPECT_NE(readdir(moved.Get()), nullptr);
    moved.Close();
    EXPECT_FALSE(moved.IsValid());
    EXPECT_FALSE(DescriptorOpen(fd));
    moved.Close();
}

TEST(MappedFileTest, UnmapsTheViewWithItsLength)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string text(10000, 'm');
    {
        CFileHandleHolder file(open(dir.File().c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
        ASSERT_TRUE(file.IsValid());
        ASSERT_EQ(write(file.Get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
        void* view = mmap(nullptr, text.size(), PROT_READ, MAP_SHARED, file.Get(), 0);
        ASSERT_NE(view, MAP_FAILED);
        CMappedFile mapped(view, text.size());
        file.Close(); // the mapping outlives the descriptor
        EXPECT_EQ(mapped.GetLength(), text.size());
        EXPECT_EQ(std::string(mapped.GetData(), mapped.GetLength()), text);
        CMappedFile moved(std::move(mapped));
        EXPECT_FALSE(mapped.IsValid());
        EXPECT_EQ(mapped.GetLength(), 0u);
        moved.Unmap();
        EXPECT_FALSE(moved.IsValid());
        // msync reports ENOMEM for pages that are no longer mapped.
        EXPECT_EQ(msync(view, text.size(), MS_ASYNC), -1);
        EXPECT_EQ(errno, ENOMEM);
        moved.Unmap();
    }
}

TEST(MutexHolderTest, ReleasesAHeldClaimOnceAndPassesTheResultOn)
{
    platform::Semaphore gate(0, 1); // claimed: its one unit is taken
    {
        CMutexHolder<platform::Semaphore> holder(&gate, 0);
        EXPECT_TRUE(holder.IsHeld());
        EXPECT_EQ(holder.GetClaimResult(), 0u);
        EXPECT_TRUE(holder.Release());
        EXPECT_FALSE(holder.Release()); // nothing left to release
    }
    EXPECT_EQ(gate.GetCount(), 1);

    {
        // The release of a lock that is already at its maximum fails, and says so.
        CMutexHolder<platform::Semaphore> holder(&gate, 0x80);
        EXPECT_EQ(holder.GetClaimResult(), 0x80u);
        EXPECT_FALSE(holder.Release());
    }
    EXPECT_EQ(gate.GetCount(), 1);

    CMutexHolder<platform::Semaphore> unclaimed(nullptr, 258);
    EXPECT_FALSE(unclaimed.Release());

    CEventLock lock;
    ASSERT_TRUE(lock.Lock());
    {
        CMutexHolder<CEventLock> holder(&lock, 0);
        CMutexHolder<CEventLock> moved(std::move(holder));
        EXPECT_FALSE(holder.IsHeld());
    }
    EXPECT_FALSE(lock.IsLocked()); // the destructor released it
}

} // namespace
