#include "bench/processProbe.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace nQUORVAMONITORD_18_5::nQVBENCH {
namespace {

TEST(processProbeTest, StatTicksAreFourteenAndFifteenEvenWithAnAwkwardName) {
    // The command name holds blanks and a closing parenthesis; only the last ')' ends it.
    const char* stat =
        "4242 (we ird) name) S 1 4242 4242 0 -1 4194560 120 0 0 0 17 5 0 0 -2 0 1 0 900 "
        "3000000 200 18446744073709551615\n";
    uint64_t ticks = 0;
    ASSERT_TRUE(parseStatCpuTicks(stat, ticks));
    EXPECT_EQ(ticks, 22u);
}

TEST(processProbeTest, StatWithoutNameOrFieldsIsRejected) {
    uint64_t ticks = 99;
    EXPECT_FALSE(parseStatCpuTicks("4242 S 1 2 3", ticks));
    EXPECT_FALSE(parseStatCpuTicks("4242 (short) S 1 2 3", ticks));
    EXPECT_EQ(ticks, 99u);
}

TEST(processProbeTest, SchedstatRuntimeIsTheFirstField) {
    uint64_t nanoseconds = 0;
    ASSERT_TRUE(parseSchedstatRuntime("234127600 123428358249 626\n", nanoseconds));
    EXPECT_EQ(nanoseconds, 234127600u);
    EXPECT_FALSE(parseSchedstatRuntime("", nanoseconds));
    EXPECT_FALSE(parseSchedstatRuntime("x12 3 4", nanoseconds));
}

TEST(processProbeTest, KeyedNumberMatchesTheWholeKeyOnly) {
    const char* status =
        "Name:\tquorvamonitord\nVmRSSX:\t1 kB\nVmRSS:\t    1234 kB\n"
        "voluntary_ctxt_switches:\t7\nnonvoluntary_ctxt_switches:\t3";
    uint64_t value = 0;
    ASSERT_TRUE(parseKeyedNumber(status, "VmRSS", value));
    EXPECT_EQ(value, 1234u);
    ASSERT_TRUE(parseKeyedNumber(status, "nonvoluntary_ctxt_switches", value));
    EXPECT_EQ(value, 3u);
    ASSERT_TRUE(parseKeyedNumber(status, "voluntary_ctxt_switches", value));
    EXPECT_EQ(value, 7u);
    EXPECT_FALSE(parseKeyedNumber(status, "Name", value));  // not a number
    EXPECT_FALSE(parseKeyedNumber(status, "VmHWM", value));
}

TEST(processProbeTest, ReadsThisProcessFromProc) {
    ::usleep(1000);  // one voluntary context switch at least, which also books the CPU time
    tProcessCost cost;
    ASSERT_TRUE(readProcessCost(::getpid(), cost));
    EXPECT_GT(cost.contextSwitches, 0u);
    EXPECT_GT(cost.cpuNanoseconds, 0u);

    tProcessMemory memory;
    ASSERT_TRUE(readProcessMemory(::getpid(), memory));
    EXPECT_GT(memory.residentKb, 0u);
    EXPECT_GT(memory.privateDirtyKb, 0u);
    EXPECT_LE(memory.privateDirtyKb, memory.residentKb);

    EXPECT_FALSE(readProcessCost(-5, cost));
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nQVBENCH
