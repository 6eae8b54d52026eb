#include "framework/snapshot.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>

namespace {

using Snapshot = CSnapshot<std::string>;

std::shared_ptr<const std::string> Text(const char* text) { return std::make_shared<const std::string>(text); }

TEST(SnapshotTest, ANewSnapshotAtAnOldOnesAddressNeverGivesTheOldValue)
{
    alignas(Snapshot) unsigned char storage[sizeof(Snapshot)];
    for (const char* value : {"first", "second", "third"}) {
        auto* snapshot = new (storage) Snapshot(Text(value));
        EXPECT_EQ(*snapshot->Get(), value);
        snapshot->~Snapshot();
    }
}

TEST(SnapshotTest, AReloadOnAnotherThreadIsSeenAndHeldValuesSurviveIt)
{
    Snapshot snapshot(Text("before"));
    std::shared_ptr<const std::string> held = snapshot.Get();
    std::thread([&] { snapshot.Set(Text("after")); }).join();
    EXPECT_EQ(*snapshot.Get(), "after");
    EXPECT_EQ(*held, "before");
    // Readers on other threads see it too, and their copies outlive them.
    std::shared_ptr<const std::string> fromThread;
    std::thread([&] { fromThread = snapshot.Get(); }).join();
    snapshot.Set(Text("later"));
    EXPECT_EQ(*fromThread, "after");
    EXPECT_EQ(*snapshot.Get(), "later");
}

TEST(SnapshotTest, AReadUnderAPrivateHeapOutlivesTheHeap)
{
    Snapshot snapshot(Text("value"));
    {
        CThreadHeap heap;
        heap.Create();
        EXPECT_EQ(*snapshot.Get(), "value");
    }
    // The thread's copy was made on the shared heap: still readable.
    EXPECT_EQ(*snapshot.Get(), "value");
}

} // namespace
