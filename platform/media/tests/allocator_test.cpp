// The sample pool: blocking, waking on decommit, and refusing changes while in use.
#include "media/base/mem_allocator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

using platform::ComPtr;
using platform::makeCom;
using platform::media::MemAllocator;

namespace {

ComPtr<MemAllocator> committedPool(LONG buffers) {
    auto pool = makeCom<MemAllocator>();
    ALLOCATOR_PROPERTIES want{buffers, 1024, 1, 0}, got{};
    EXPECT_EQ(pool->SetProperties(&want, &got), S_OK);
    EXPECT_EQ(pool->Commit(), S_OK);
    return pool;
}

TEST(Allocator, HandsOutEachBufferOnceAndTakesItBackOnLastRelease) {
    auto pool = committedPool(2);
    IMediaSample *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(pool->GetBuffer(&a, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(pool->GetBuffer(&b, nullptr, nullptr, 0), S_OK);
    EXPECT_NE(a, b);
    EXPECT_EQ(pool->GetBuffer(&c, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
    a->AddRef();
    a->Release();
    EXPECT_EQ(pool->outstanding(), 2);
    a->Release();
    EXPECT_EQ(pool->outstanding(), 1);
    ASSERT_EQ(pool->GetBuffer(&c, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    EXPECT_EQ(c, a);
    EXPECT_EQ(c->GetActualDataLength(), 1024);
    REFERENCE_TIME start = 0, end = 0;
    EXPECT_EQ(c->GetTime(&start, &end), VFW_E_SAMPLE_TIME_NOT_SET); // cleared for reuse
    EXPECT_EQ(c->SetActualDataLength(1025), VFW_E_BUFFER_OVERFLOW);
    b->Release();
    c->Release();
}

// Waits (at most 5 s) until a GetBuffer call is blocked in the pool, so what follows really
// has to wake it.
bool someoneWaits(MemAllocator& pool) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (pool.waiting() == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(Allocator, DecommitWakesAWaiterWithNotCommitted) {
    auto pool = committedPool(1);
    IMediaSample* held = nullptr;
    ASSERT_EQ(pool->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    auto waiter = std::async(std::launch::async, [&] {
        IMediaSample* s = nullptr;
        return pool->GetBuffer(&s, nullptr, nullptr, 0);
    });
    ASSERT_TRUE(someoneWaits(*pool.Get()));
    pool->Decommit();
    EXPECT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    held->Release(); // a sample returned after decommit still goes home (and wakes a sleeper)
    EXPECT_EQ(waiter.get(), VFW_E_NOT_COMMITTED);
    EXPECT_EQ(pool->outstanding(), 0);
}

TEST(Allocator, ReleasingAWaitedForBufferWakesTheWaiter) {
    auto pool = committedPool(1);
    IMediaSample* held = nullptr;
    ASSERT_EQ(pool->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    auto waiter = std::async(std::launch::async, [&] {
        IMediaSample* s = nullptr;
        HRESULT hr = pool->GetBuffer(&s, nullptr, nullptr, 0);
        if (s)
            s->Release();
        return hr;
    });
    ASSERT_TRUE(someoneWaits(*pool.Get()));
    held->Release();
    const bool woke = waiter.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(woke);
    if (!woke)
        pool->Decommit(); // let the sleeper go, so the test ends
    EXPECT_EQ(waiter.get(), woke ? S_OK : VFW_E_NOT_COMMITTED);
    EXPECT_EQ(pool->waiting(), 0);
}

TEST(Allocator, BuffersGrowWhenTheSizeGrowsBetweenCommits) {
    auto pool = committedPool(2);
    IMediaSample* sample = nullptr;
    ASSERT_EQ(pool->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(sample->GetSize(), 1024);
    sample->Release();
    ASSERT_EQ(pool->Decommit(), S_OK);
    ALLOCATOR_PROPERTIES want{2, 4096, 1, 0}, got{};
    ASSERT_EQ(pool->SetProperties(&want, &got), S_OK);
    EXPECT_EQ(got.cbBuffer, 4096);
    ASSERT_EQ(pool->Commit(), S_OK);
    for (int i = 0; i < 2; ++i) {
        IMediaSample* big[2] = {};
        for (auto*& each : big) {
            ASSERT_EQ(pool->GetBuffer(&each, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
            EXPECT_EQ(each->GetSize(), 4096);
            EXPECT_EQ(each->SetActualDataLength(4096), S_OK);
            BYTE* data = nullptr;
            ASSERT_EQ(each->GetPointer(&data), S_OK);
            std::memset(data, 0x5A, 4096); // the whole of it is ours (ASan checks the end)
        }
        for (auto* each : big)
            each->Release();
    }
    // Shrinking again is just as safe, and the pool hands out only the new size.
    ASSERT_EQ(pool->Decommit(), S_OK);
    want.cbBuffer = 16;
    ASSERT_EQ(pool->SetProperties(&want, &got), S_OK);
    ASSERT_EQ(pool->Commit(), S_OK);
    ASSERT_EQ(pool->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(sample->GetSize(), 16);
    EXPECT_EQ(sample->SetActualDataLength(17), VFW_E_BUFFER_OVERFLOW);
    sample->Release();
}

TEST(Allocator, RefusesChangesWhileCommittedOrInUse) {
    auto pool = committedPool(2);
    ALLOCATOR_PROPERTIES want{3, 10, 1, 0}, got{};
    EXPECT_EQ(pool->SetProperties(&want, &got), VFW_E_ALREADY_COMMITTED);
    IMediaSample* held = nullptr;
    ASSERT_EQ(pool->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    pool->Decommit();
    EXPECT_EQ(pool->SetProperties(&want, &got), VFW_E_BUFFERS_OUTSTANDING);
    IMediaSample* none = nullptr;
    EXPECT_EQ(pool->GetBuffer(&none, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    held->Release();
    EXPECT_EQ(pool->SetProperties(&want, &got), S_OK);
    auto fresh = makeCom<MemAllocator>();
    EXPECT_EQ(fresh->Commit(), VFW_E_SIZENOTSET);
}

TEST(Allocator, OutstandingSamplesKeepThePoolAlive) {
    IMediaSample* held = nullptr;
    {
        auto pool = committedPool(1);
        ASSERT_EQ(pool->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    }
    BYTE* data = nullptr;
    ASSERT_EQ(held->GetPointer(&data), S_OK);
    data[1023] = 7; // still valid memory
    held->Release();
}

} // namespace
