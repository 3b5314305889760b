// The hex display requests: payload on the wire, result codes, the reply
// written in place over the caller's bytes, and the Cardlan gate.
#include "harness.h"
#include "scioctl.h"

namespace {

using test::LinkTest;

class DisplayTest : public LinkTest {
 protected:
  DisplayTest() { ext->CardlanState = CL_ACTIVE; }

  // Sends one request with a record whose every byte is `fill` unless set.
  NTSTATUS request(ULONG code, SC_HD_RECORD* record) {
    return ext->IoControlHexDisplay(code, record, sizeof(*record), record, sizeof(*record));
  }
  static SC_HD_RECORD filled(uint8_t fill) {
    SC_HD_RECORD r;
    std::memset(&r, fill, sizeof(r));
    return r;
  }
  static std::vector<uint8_t> bytes(const SC_HD_RECORD& r) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&r);
    return std::vector<uint8_t>(p, p + sizeof(r));
  }
};

TEST_F(DisplayTest, EachRequestSendsItsCommandAndPayload) {
  SC_HD_RECORD r = filled(0);
  r.GroupID = 0x21;
  r.MessageID = 0x31;
  std::memcpy(r.Text, "ABCD", 4);
  r.Value = 7;
  struct Case {
    ULONG code;
    const char* frame;
  } cases[] = {
      {IOCTL_SC_HD_CLEAR_STATUS, "03 0D F0"},
      {IOCTL_SC_HD_SET_STATUS, "04 0C 07 E9"},
      {IOCTL_SC_HD_SET_REFRESH_RATE, "04 0F 07 E6"},
      {IOCTL_SC_HD_GROUP_ADD, "03 10 ED"},
      {IOCTL_SC_HD_GROUP_DELETE, "04 11 21 CA"},
      {IOCTL_SC_HD_MESSAGE_ADD, "08 12 21 41 42 43 44 BB"},
      {IOCTL_SC_HD_MESSAGE_EXCHANGE, "08 13 31 41 42 43 44 AA"},
      {IOCTL_SC_HD_MESSAGE_DELETE, "04 14 31 B7"},
      {IOCTL_SC_HD_STATUS_QUERY, "03 0E EF"},
      {IOCTL_SC_HD_RESET, "08 0B 20 4F 4B 20 0A 09"},
  };
  for (const auto& c : cases) {
    wire.clear();
    SC_HD_RECORD copy = r;
    EXPECT_EQ(request(c.code, &copy), STATUS_SUCCESS);
    EXPECT_EQ(commands(), (std::vector<std::string>{c.frame})) << std::hex << c.code;
  }
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::IoControlHexDisplay() Enter"));
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::hdReset() Exit; status [0x0]"));
  EXPECT_TRUE(traced("TAMRIXSC: CDeviceExt::IoControlHexDisplay() Exit; status [0x0]"));
}

TEST_F(DisplayTest, ResetShowsTheCardlanState) {
  struct Case {
    LONG state;
    const char* text;
  } cases[] = {{CL_DISCONNECTED, "DMIN"}, {CL_ACTIVE, " OK "}};
  for (const auto& c : cases) {
    ext->CardlanState = c.state;
    SC_HD_RECORD r = filled(0);
    EXPECT_EQ(request(IOCTL_SC_HD_RESET, &r), STATUS_SUCCESS);
    EXPECT_EQ(board.controller.firmware().display, c.text);
  }
  // The other states pick their own texts, seen through the operation.
  struct Direct {
    LONG state;
    const char* text;
  } direct[] = {
      {CL_CONNECTING, "CDLN"}, {CL_ACTIVE_PRIMARY, "C:02"}, {CL_ACTIVE_SECONDARY, "C:01"}, {CL_NONE, "DMIN"}};
  for (const auto& d : direct) {
    ext->CardlanState = d.state;
    EXPECT_EQ(ext->hdReset(), STATUS_SUCCESS);
    EXPECT_EQ(board.controller.firmware().display, d.text);
  }
  EXPECT_EQ(display, (std::vector<std::string>{"DMIN", " OK ", "CDLN", "C:02", "C:01", "DMIN"}));
}

TEST_F(DisplayTest, GroupAndMessageNumbersComeBackInPlace) {
  SC_HD_RECORD r = filled(0xCC);
  EXPECT_EQ(request(IOCTL_SC_HD_GROUP_ADD, &r), STATUS_SUCCESS);
  SC_HD_RECORD expected = filled(0xCC);
  expected.GroupID = 1;
  expected.ResultCode = 0;
  EXPECT_EQ(bytes(r), bytes(expected));

  r = filled(0xCC);
  r.GroupID = 1;
  std::memcpy(r.Text, "HELO", 4);
  EXPECT_EQ(request(IOCTL_SC_HD_MESSAGE_ADD, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.MessageID, 1);
  EXPECT_EQ(r.ResultCode, 0u);
  EXPECT_EQ(r.Value, 0xCC);
  EXPECT_EQ(r.DisplayStatus, 0xCC);

  r = filled(0xCC);
  r.Value = 9;
  EXPECT_EQ(request(IOCTL_SC_HD_SET_STATUS, &r), STATUS_SUCCESS);
  r = filled(0xCC);
  EXPECT_EQ(request(IOCTL_SC_HD_STATUS_QUERY, &r), STATUS_SUCCESS);
  expected = filled(0xCC);
  expected.DisplayStatus = 9;
  expected.ResultCode = 0;
  EXPECT_EQ(bytes(r), bytes(expected));

  // A refresh-rate reply carries the caller's own bytes 0..7.
  r = filled(0x5A);
  EXPECT_EQ(request(IOCTL_SC_HD_SET_REFRESH_RATE, &r), STATUS_SUCCESS);
  expected = filled(0x5A);
  expected.ResultCode = 0;
  EXPECT_EQ(bytes(r), bytes(expected));
  EXPECT_EQ(board.controller.firmware().refreshRate, 0x5A);
}

TEST_F(DisplayTest, ControllerRefusalsBecomeResultCodes) {
  auto& fw = board.controller.firmware();
  SC_HD_RECORD r = filled(0);
  r.GroupID = 5;  // no such group: status 2
  EXPECT_EQ(request(IOCTL_SC_HD_MESSAGE_ADD, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.ResultCode, HD_RESULT_GROUP_REFUSED);

  for (uint8_t status : {1, 3}) {
    fw.statusOverride[HD_MESSAGE_ADD] = status;
    r = filled(0);
    EXPECT_EQ(request(IOCTL_SC_HD_MESSAGE_ADD, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.ResultCode, HD_RESULT_ADD_REFUSED) << int(status);
  }
  fw.statusOverride[HD_GROUP_ADD] = 1;
  r = filled(0);
  EXPECT_EQ(request(IOCTL_SC_HD_GROUP_ADD, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.ResultCode, HD_RESULT_ADD_REFUSED);

  r = filled(0);
  r.GroupID = 7;
  EXPECT_EQ(request(IOCTL_SC_HD_GROUP_DELETE, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.ResultCode, HD_RESULT_GROUP_REFUSED);

  for (ULONG code : {IOCTL_SC_HD_MESSAGE_EXCHANGE, IOCTL_SC_HD_MESSAGE_DELETE}) {
    r = filled(0);
    r.MessageID = 9;
    EXPECT_EQ(request(code, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.ResultCode, HD_RESULT_MESSAGE_REFUSED);
  }
  // Requests without a result code of their own report 0 whatever the status.
  fw.statusOverride[HD_SET_STATUS] = 0x44;
  r = filled(0xEE);
  EXPECT_EQ(request(IOCTL_SC_HD_SET_STATUS, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.ResultCode, 0u);
  EXPECT_TRUE(events.empty());
}

TEST_F(DisplayTest, CardlanInProgressRefusesWithoutTouchingAnything) {
  for (LONG state : {CL_NONE, CL_CONNECTING, CL_ACTIVE_PRIMARY, CL_ACTIVE_SECONDARY}) {
    ext->CardlanState = state;
    for (ULONG code = IOCTL_SC_HD_CLEAR_STATUS; code <= IOCTL_SC_HD_RESET; code += 4) {
      SC_HD_RECORD r = filled(0x3C);
      EXPECT_EQ(request(code, &r), STATUS_UNSUCCESSFUL);
      EXPECT_EQ(bytes(r), bytes(filled(0x3C)));
    }
  }
  EXPECT_TRUE(wire.empty());
  EXPECT_TRUE(
      traced("TAMRIXSC: CDeviceExt::IoControlHexDisplay() !!!!! WARNING Cardlan operation in progress, "
             "command failed with "
             "status [0xC0000001]"));
  EXPECT_FALSE(traced("TAMRIXSC: CDeviceExt::IoControlHexDisplay() Exit; status [0xC0000001]"));
}

TEST_F(DisplayTest, FailedRequestRetriesWholeAndReportsNotDone) {
  board.controller.setSilent(true);
  int64_t start = elapsedUs();
  SC_HD_RECORD r = filled(0x77);
  EXPECT_EQ(request(IOCTL_SC_HD_GROUP_ADD, &r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.ResultCode, HD_RESULT_NOT_DONE);
  EXPECT_EQ(r.GroupID, 0);
  EXPECT_EQ(r.MessageID, 0x77);
  const std::string retry =
      "event: MSG_TEXT id=0xA0078338 object=\\Device\\8051SC0 unique=0xC0000001 major=0 ioctl=0x00000000 "
      "final=0x00000000 strings=1 text=Communication errors during 'HEX_DISPLAY'.";
  EXPECT_EQ(events, (std::vector<std::string>{retry, retry}));
  EXPECT_EQ(countTraced(
                "TAMRIXSC: CDeviceExt::IoControlHexDisplay() !!!!! WARNING Command [0x222010] failed; status "
                "[0xC0000001]; retrying..."),
            2);
  EXPECT_EQ(countTraced("TAMRIXSC: CDeviceExt::hdGroupAdd() Exit; status [0xC0000001]"), 3);
  EXPECT_GE(elapsedUs() - start, 2 * 1000);

  r = filled(0x77);
  EXPECT_EQ(request(IOCTL_SC_HD_STATUS_QUERY, &r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.ResultCode, 0u);
  EXPECT_EQ(r.DisplayStatus, 0);
}

TEST_F(DisplayTest, RetryReadsTheRecordAgainAndSucceedsLate) {
  board.controller.faults().noReplyCount = 1;
  SC_HD_RECORD r = filled(0);
  std::memcpy(r.Text, "WXYZ", 4);
  r.GroupID = 0;
  EXPECT_EQ(request(IOCTL_SC_HD_GROUP_ADD, &r), STATUS_SUCCESS);
  EXPECT_EQ(commands(), (std::vector<std::string>{"03 10 ED", "03 10 ED"}));
  EXPECT_EQ(r.GroupID, 1);
  EXPECT_EQ(events.size(), 1u);
}

// Without retries a request is sent once: a silent controller fails it
// and its result code says nothing was done.
TEST_F(DisplayTest, WithoutRetriesARequestIsSentOnce) {
  ext->CmdMaxRetries = 1;
  board.controller.faults().noReplyCount = 1;
  SC_HD_RECORD r = filled(0x99);
  EXPECT_EQ(request(IOCTL_SC_HD_MESSAGE_ADD, &r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(commands().size(), 1u);
  EXPECT_EQ(r.ResultCode, HD_RESULT_NOT_DONE);
  EXPECT_EQ(r.GroupID, 0x99);
  EXPECT_TRUE(events.empty());
}

}  // namespace
