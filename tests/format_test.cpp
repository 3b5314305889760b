// The debugger's printf dialect: the conversions the driver's trace uses.
#include <gtest/gtest.h>

#include "platform.h"
#include "sim/kernel.h"

namespace {

std::string format(const char* f, ...) {
  va_list args;
  va_start(args, f);
  std::string out = sim::formatKernel(f, args);
  va_end(args);
  return out;
}

TEST(KernelFormat, IntegersAsTheTraceUsesThem) {
  EXPECT_EQ(format("[0x%X]", 0xC0000001u), "[0xC0000001]");
  EXPECT_EQ(format("[0x%.2X]", 5), "[0x05]");
  EXPECT_EQ(format("[0x%.2x]", 0xA5), "[0xa5]");
  EXPECT_EQ(format("[0x%.8X]", 0xA00), "[0x00000A00]");
  EXPECT_EQ(format("[%d]", -3), "[-3]");
  EXPECT_EQ(format("[%d]", 244), "[244]");
  EXPECT_EQ(format("[%5d|%-5d|%05d]", 42, 42, -42), "[   42|42   |-0042]");
  EXPECT_EQ(format("%u %x %%", 4294967295u, 255), "4294967295 ff %");
  EXPECT_EQ(format("[%I64d]", -5LL), "[-5]");
}

TEST(KernelFormat, NarrowAndWideText) {
  const WCHAR wide[] = L"DebugLevel";
  EXPECT_EQ(format("key [%ls]", wide), "key [DebugLevel]");
  EXPECT_EQ(format("[%ws]", wide), "[DebugLevel]");
  EXPECT_EQ(format("[%S]", wide), "[DebugLevel]");
  EXPECT_EQ(format("Returned [%hS]", "SC8051"), "Returned [SC8051]");
  EXPECT_EQ(format("[%hs] [%s] [%c]", "a", "b", 'c'), "[a] [b] [c]");
  EXPECT_EQ(format("[%.3s]", "abcdef"), "[abc]");
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, wide);
  EXPECT_EQ(format("[%wZ]", &us), "[DebugLevel]");
}

}  // namespace
