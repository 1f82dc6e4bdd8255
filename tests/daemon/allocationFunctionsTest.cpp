// The daemon's own global allocation functions, linked into this test binary as into the daemon:
// every allocation of the binary, GoogleTest's included, goes through them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

// The sized forms, which <new> declares only where the compiler deallocates by size (clang 14
// does not by default); this binary defines them, as the daemon does.
void operator delete(void* pointer, std::size_t size) noexcept;
void operator delete[](void* pointer, std::size_t size) noexcept;

namespace {

// More than malloc can ever give.
constexpr std::size_t kHuge = SIZE_MAX / 2;

// Keeps allocations observable, so the compiler cannot drop them.
void* volatile gSink = nullptr;

TEST(allocationFunctionsTest, NothrowFormsReturnNullWhenMemoryRunsOut) {
    gSink = ::operator new(kHuge, std::nothrow);
    EXPECT_EQ(gSink, nullptr);
    gSink = ::operator new[](kHuge, std::nothrow);
    EXPECT_EQ(gSink, nullptr);
}

// The daemon has no exceptions to throw: running out of memory in the throwing forms ends the
// process at once, without the C++ runtime's "terminate called" message.
TEST(allocationFunctionsTest, ThrowingFormsAbortSilentlyWhenMemoryRunsOut) {
    EXPECT_EXIT(gSink = ::operator new(kHuge), testing::KilledBySignal(SIGABRT),
                testing::IsEmpty());
    EXPECT_EXIT(gSink = ::operator new[](kHuge), testing::KilledBySignal(SIGABRT),
                testing::IsEmpty());
}

TEST(allocationFunctionsTest, SizeZeroGivesDistinctUsablePointers) {
    void* first = ::operator new(0);
    void* second = ::operator new(0, std::nothrow);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    ::operator delete(first);
    ::operator delete(second, std::nothrow);
}

class tBase {
  public:
    virtual ~tBase() = default;
    virtual int value() const = 0;
};

class tDerived : public tBase {
  public:
    explicit tDerived(int v) : data_{v, v, v, v} {}
    int value() const override { return data_[0] + data_[3]; }

  private:
    int data_[4];
};

// The daemon's shapes: a polymorphic object from a nothrow new-expression deleted through its
// base (a sized delete), and arrays.
TEST(allocationFunctionsTest, ObjectsAndArraysRoundTrip) {
    tBase* object = new (std::nothrow_t{}) tDerived(21);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->value(), 42);
    delete object;

    auto* bytes = new (std::nothrow) unsigned char[4096];
    ASSERT_NE(bytes, nullptr);
    std::memset(bytes, 0xA5, 4096);
    EXPECT_EQ(bytes[4095], 0xA5);
    delete[] bytes;

    auto* numbers = new int[100]();
    EXPECT_EQ(numbers[99], 0);
    delete[] numbers;
}

// Every delete form gives its memory back. Counted by the C library's allocator itself
// (mallinfo2), which sees what the daemon's functions do: valgrind replaces them and would not.
TEST(allocationFunctionsTest, EveryDeleteFormGivesTheMemoryBack) {
    constexpr std::size_t kSize = 1000;
    constexpr int kRounds = 1000;
    const auto inUse = [] { return static_cast<long long>(mallinfo2().uordblks); };
    const long long before = inUse();
    for (int i = 0; i < kRounds; ++i) {
        gSink = ::operator new(kSize);
        ::operator delete(gSink);
        gSink = ::operator new(kSize);
        ::operator delete(gSink, kSize);
        gSink = ::operator new[](kSize);
        ::operator delete[](gSink);
        gSink = ::operator new[](kSize);
        ::operator delete[](gSink, kSize);
        gSink = ::operator new(kSize, std::nothrow);
        ::operator delete(gSink, std::nothrow);
        gSink = ::operator new[](kSize, std::nothrow);
        ::operator delete[](gSink, std::nothrow);
        // A sized delete through the virtual destructor, as the daemon deletes its objects.
        tBase* object = new (std::nothrow_t{}) tDerived(i);
        delete object;
    }
    // One form that keeps its memory would leave about kRounds * kSize bytes in use.
    EXPECT_LT(inUse() - before, static_cast<long long>(kRounds * kSize / 4));
}

}  // namespace
