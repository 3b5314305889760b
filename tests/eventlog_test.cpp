// LogEvent: entry sizes, header fields, insertion strings and its failures.
#include "harness.h"

namespace {

using test::LinkTest;

class EventLogTest : public LinkTest {
 protected:
  EventLogTest() {
    std::memset(&irp, 0, sizeof(irp));
    std::memset(&stack, 0, sizeof(stack));
    irp.Tail.Overlay.CurrentStackLocation = &stack;
  }
  IRP irp;
  IO_STACK_LOCATION stack;
};

TEST_F(EventLogTest, EntryWithoutStringIsTheBareHeader) {
  LogEvent(&driverObject, MSG_DRIVER_STOPPED, nullptr, 0, nullptr);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].entrySize, 48);
  EXPECT_EQ(logged[0].numberOfStrings, 0);
  EXPECT_EQ(logged[0].stringOffset, 48);
  EXPECT_EQ(events[0],
            "event: MSG_DRIVER_STOPPED id=0x6007832D object=\\Driver\\TAMRIXSC unique=0x00000000 major=0 "
            "ioctl=0x00000000 final=0x00000000 strings=0 text=Driver stopped.");
}

TEST_F(EventLogTest, StringSizeCountsTheTerminator) {
  LogEvent(&driverObject, MSG_INIT_FAILED, L"Function 'IoRegisterShutdownNotification' failed", 0xC000009A,
           nullptr);
  LogEvent(&deviceObject, MSG_TEXT, L"", 7, nullptr);
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].entrySize, 146);
  EXPECT_EQ(logged[0].strings,
            (std::vector<std::string>{"Function 'IoRegisterShutdownNotification' failed"}));
  EXPECT_EQ(logged[0].uniqueValue, 0xC000009Au);
  EXPECT_EQ(logged[1].entrySize, 50);
  EXPECT_EQ(logged[1].numberOfStrings, 1);
  EXPECT_EQ(logged[1].strings, (std::vector<std::string>{""}));
  EXPECT_EQ(
      events[1],
      "event: MSG_TEXT id=0xA0078338 object=\\Device\\8051SC0 unique=0x00000007 major=0 ioctl=0x00000000 "
      "final=0x00000000 strings=1 text=.");
}

TEST_F(EventLogTest, RequestGivesMajorFunctionCodeAndCurrentStatus) {
  stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack.Parameters.DeviceIoControl.IoControlCode = 0x222004;
  irp.IoStatus.Status = 0x103;
  LogEvent(&deviceObject, MSG_HEX_DISPLAY_FAILED, nullptr, 0xC0000001, &irp);
  stack.MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  LogEvent(&deviceObject, MSG_HEX_DISPLAY_FAILED, nullptr, 0, &irp);
  stack.MajorFunction = IRP_MJ_CREATE;
  LogEvent(&deviceObject, MSG_HEX_DISPLAY_FAILED, nullptr, 0, &irp);
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(events[0],
            "event: MSG_HEX_DISPLAY_FAILED id=0xA0078337 object=\\Device\\8051SC0 unique=0xC0000001 major=14 "
            "ioctl=0x00222004 final=0x00000103 strings=0 text=Failed to execute a 'Hex Display' command.");
  EXPECT_EQ(logged[1].majorFunction, 15);
  EXPECT_EQ(logged[1].ioControlCode, 0x222004u);
  EXPECT_EQ(logged[2].majorFunction, 0);
  EXPECT_EQ(logged[2].ioControlCode, 0u);
  EXPECT_EQ(logged[2].finalStatus, 0x103u);
  for (const auto& e : logged) {
    EXPECT_EQ(e.retryCount, 0);
    EXPECT_EQ(e.dumpDataSize, 0);
    EXPECT_EQ(e.eventCategory, 0);
    EXPECT_EQ(e.sequenceNumber, 0u);
    EXPECT_EQ(e.deviceOffset, 0);
  }
}

TEST_F(EventLogTest, OverlongStringIsCutToFitTheLargestEntry) {
  std::u16string longText(200, u'x');
  std::vector<WCHAR> text(longText.begin(), longText.end());
  text.push_back(0);
  LogEvent(&driverObject, MSG_TEXT, text.data(), 0, nullptr);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].entrySize, ERROR_LOG_MAXIMUM_SIZE);
  EXPECT_EQ(logged[0].strings, (std::vector<std::string>{std::string(51, 'x')}));
  // A string of 103 characters would wrap the one-byte size to 0.
  std::vector<WCHAR> wrap(103, L'y');
  wrap.push_back(0);
  LogEvent(&driverObject, MSG_TEXT, wrap.data(), 0, nullptr);
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1].entrySize, ERROR_LOG_MAXIMUM_SIZE);
}

TEST_F(EventLogTest, FailuresOnlyTraceAtLevelFour) {
  for (LONG level : {3, 4}) {
    g_DebugLevel = level;
    kernel.debugger.clear();
    LogEvent(nullptr, MSG_TEXT, L"x", 0, nullptr);
    kernel.failures.arm("IoAllocateErrorLogEntry", 0, 1);
    LogEvent(&driverObject, MSG_TEXT, L"abc", 0, nullptr);
    if (level == 3) {
      EXPECT_TRUE(dbg().empty());
    } else {
      EXPECT_EQ(dbg(),
                (std::vector<std::string>{
                    "TAMRIXSC: LogEvent() !!!!! WARNING Invalid NULL pointer passed",
                    "TAMRIXSC: LogEvent() !!!!! WARNING Function 'IoAllocateErrorLogEntry' failed; size "
                    "requested [56]"}));
    }
  }
  EXPECT_TRUE(logged.empty());
}

TEST_F(EventLogTest, SimulatedLogCatchesOverrunsAndUnwrittenEntries) {
  auto* entry = static_cast<uint8_t*>(IoAllocateErrorLogEntry(&driverObject, 48));
  ASSERT_NE(entry, nullptr);
  entry[48] = 0;  // one byte past the entry
  IoWriteErrorLogEntry(entry);
  EXPECT_NE(IoAllocateErrorLogEntry(&driverObject, 60), nullptr);
  EXPECT_EQ(IoAllocateErrorLogEntry(&driverObject, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  kernel.errorLog.reportUnwritten();
  std::vector<std::string> rules;
  for (const auto& v : kernel.verifier.violations()) rules.push_back(sim::ruleName(v.rule));
  EXPECT_EQ(rules, (std::vector<std::string>{"IO_ERROR_LOG_OVERRUN", "IO_ERROR_LOG_LEAK"}));
  kernel.verifier.clear();
}

}  // namespace
