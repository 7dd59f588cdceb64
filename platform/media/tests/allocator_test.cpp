// The sample pool: blocking, waking on decommit, and refusing changes while in use.
#include "media/base/mem_allocator.h"

#include <gtest/gtest.h>

#include <future>

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

TEST(Allocator, DecommitWakesAWaiterWithNotCommitted) {
    auto pool = committedPool(1);
    IMediaSample* held = nullptr;
    ASSERT_EQ(pool->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    auto waiter = std::async(std::launch::async, [&] {
        IMediaSample* s = nullptr;
        return pool->GetBuffer(&s, nullptr, nullptr, 0);
    });
    pool->Decommit();
    EXPECT_EQ(waiter.get(), VFW_E_NOT_COMMITTED);
    held->Release(); // a sample returned after decommit still goes home
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
    held->Release();
    EXPECT_EQ(waiter.get(), S_OK);
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
