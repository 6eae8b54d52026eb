#pragma once
// Runs a function on a thread whose stack is exactly the given size, so a
// test can show that runaway macro pages fit the smallest fiber stack.

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstddef>

inline void RunWithStack(std::size_t bytes, void (*function)(void*), void* argument)
{
    struct Call {
        void (*function)(void*);
        void* argument;
    } call{function, argument};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
    pthread_t thread;
    int started = pthread_create(
        &thread, &attr,
        [](void* p) -> void* {
            auto* c = static_cast<Call*>(p);
            c->function(c->argument);
            return nullptr;
        },
        &call);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(started, 0);
    pthread_join(thread, nullptr);
}
