// scctl alone, against a device that records what it is sent and answers
// as told: the request each subcommand makes, byte by byte, and how each
// kind of answer becomes words and an exit status.
#include "scctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "scioctl.h"
#include "tamrixsc_version.h"

namespace {

struct Sent {
  uint32_t code;
  std::vector<uint8_t> input;
  uint32_t outputLength;
};

class FakeDevice : public scctl::Device {
 public:
  scctl::OpenResult openResult = scctl::OpenResult::Opened;
  scctl::Completion answer;
  std::vector<uint8_t> reply;  // written over the buffer when set
  // For one code, in place of `answer` and `reply`.
  std::map<uint32_t, scctl::Completion> answers;
  std::map<uint32_t, std::vector<uint8_t>> replies;
  std::vector<Sent> sent;
  int opens = 0;

  scctl::OpenResult open(std::string* detail) override {
    opens++;
    *detail = "test";
    return openResult;
  }
  scctl::Completion control(uint32_t code, std::vector<uint8_t>* buffer, uint32_t inputLength,
                            uint32_t outputLength) override {
    sent.push_back(
        {code, std::vector<uint8_t>(buffer->begin(), buffer->begin() + inputLength), outputLength});
    const std::vector<uint8_t>& bytes = replies.count(code) ? replies[code] : reply;
    if (!bytes.empty()) std::memcpy(buffer->data(), bytes.data(), std::min(bytes.size(), buffer->size()));
    scctl::Completion done = answers.count(code) ? answers[code] : answer;
    if (done.statusKnown && done.status == 0 && done.information == 0) done.information = outputLength;
    return done;
  }
};

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(FakeDevice& device, const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int status = scctl::run(args, device, out, err);
  return {status, out.str(), err.str()};
}

std::vector<uint8_t> hd(uint8_t group, uint8_t message, const char* text, uint8_t value,
                        uint32_t resultCode = HD_RESULT_OK) {
  SC_HD_RECORD r;
  std::memset(&r, 0, sizeof(r));
  r.GroupID = group;
  r.MessageID = message;
  if (text != nullptr) std::memcpy(r.Text, text, 4);
  r.Value = value;
  r.ResultCode = resultCode;
  std::vector<uint8_t> bytes(sizeof(r));
  std::memcpy(bytes.data(), &r, sizeof(r));
  return bytes;
}

std::vector<uint8_t> sw(uint8_t source, uint8_t card, uint8_t sign, uint8_t tn, uint8_t cemux) {
  return {source, card, sign, tn, cemux, 0, 0, 0, 0, 0, 0, 0};
}

// The subcommand the words of a command line name.
const scctl::Subcommand* declaredFor(const std::vector<std::string>& args) {
  static const std::vector<scctl::Subcommand> declared = scctl::subcommands();
  const scctl::Subcommand* best = nullptr;
  for (const scctl::Subcommand& s : declared) {
    std::string words;
    for (const std::string& a : args) {
      words += (words.empty() ? "" : " ") + a;
      if (words == s.path && (best == nullptr || s.path.size() > best->path.size())) best = &s;
    }
  }
  return best;
}

TEST(Scctl, EachSubcommandSendsItsRecord) {
  struct Case {
    std::vector<std::string> args;
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputLength;
  };
  const Case cases[] = {
      {{"version"}, IOCTL_SC_FIRMWARE_VERSION, {}, 72},
      {{"led", "on"}, IOCTL_SC_STATUS_LED_ON, {}, 0},
      {{"led", "off"}, IOCTL_SC_STATUS_LED_OFF, {}, 0},
      {{"command4"}, IOCTL_SC_COMMAND4, {}, 0},
      {{"display", "status"}, IOCTL_SC_HD_STATUS_QUERY, hd(0, 0, nullptr, 0), 12},
      {{"display", "set-status", "0x07"}, IOCTL_SC_HD_SET_STATUS, hd(0, 0, nullptr, 7), 12},
      {{"display", "clear-status"}, IOCTL_SC_HD_CLEAR_STATUS, hd(0, 0, nullptr, 0), 12},
      // A leading zero is decimal, not octal.
      {{"display", "refresh-rate", "010"}, IOCTL_SC_HD_SET_REFRESH_RATE, hd(0, 0, nullptr, 10), 12},
      {{"display", "reset"}, IOCTL_SC_HD_RESET, hd(0, 0, nullptr, 0), 12},
      {{"display", "group-add"}, IOCTL_SC_HD_GROUP_ADD, hd(0, 0, nullptr, 0), 12},
      {{"display", "group-delete", "255"}, IOCTL_SC_HD_GROUP_DELETE, hd(255, 0, nullptr, 0), 12},
      {{"display", "message-add", "3", " OK "}, IOCTL_SC_HD_MESSAGE_ADD, hd(3, 0, " OK ", 0), 12},
      {{"display", "message-exchange", "4", "C:02"}, IOCTL_SC_HD_MESSAGE_EXCHANGE, hd(0, 4, "C:02", 0), 12},
      {{"display", "message-delete", "0xFF"}, IOCTL_SC_HD_MESSAGE_DELETE, hd(0, 255, nullptr, 0), 12},
      {{"cardlan", "connect", "--registry"}, IOCTL_SC_SWITCH_CONNECT, sw(CS_REGISTRY, 0, 0, 0, 0), 12},
      {{"cardlan", "connect", "--current", "--cemux", "9"},
       IOCTL_SC_SWITCH_CONNECT,
       sw(CS_CURRENT, 0, 0, 0, 9),
       12},
      {{"cardlan", "connect", "--defaults"}, IOCTL_SC_SWITCH_CONNECT, sw(3, 0, 0, 0, 0), 12},
      {{"cardlan", "connect", "--tn-mapping-type", "2", "--card-id", "0x10", "--signalling-type", "1"},
       IOCTL_SC_SWITCH_CONNECT,
       sw(CS_REQUEST, 0x10, 1, 2, 0),
       12},
      {{"cardlan", "disconnect"}, IOCTL_SC_SWITCH_DISCONNECT, sw(0, 0, 0, 0, 0), 12},
      {{"trace", "4"}, IOCTL_SC_DEBUG_LEVEL, {4, 0, 0, 0}, 4},
  };
  for (const Case& c : cases) {
    FakeDevice device;
    Outcome r = run(device, c.args);
    std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    // The request a subcommand declares is the one it sends.
    const scctl::Subcommand* found = declaredFor(c.args);
    ASSERT_NE(found, nullptr) << what;
    EXPECT_EQ(found->codes, std::vector<uint32_t>{c.code}) << what;
    EXPECT_EQ(r.status, scctl::kExitSuccess) << what << ": " << r.err;
    ASSERT_EQ(device.sent.size(), 1u) << what;
    EXPECT_EQ(device.sent[0].code, c.code) << what;
    EXPECT_EQ(device.sent[0].input, c.input) << what;
    EXPECT_EQ(device.sent[0].outputLength, c.outputLength) << what;
  }
}

// Every request of the public header's table can be sent from the command
// line.
TEST(Scctl, EveryRequestHasASubcommand) {
#define SC_CODE(name, function, subject, input, output, path, reply) {"IOCTL_SC_" #name, IOCTL_SC_##name},
  const std::pair<const char*, uint32_t> requests[] = {SC_REQUESTS(SC_CODE)};
#undef SC_CODE
  const std::vector<scctl::Subcommand> declared = scctl::subcommands();
  for (const auto& [name, code] : requests) {
    bool sent = std::any_of(declared.begin(), declared.end(), [code = code](const scctl::Subcommand& s) {
      return std::find(s.codes.begin(), s.codes.end(), code) != s.codes.end();
    });
    EXPECT_TRUE(sent) << name << " has no scctl subcommand";
  }
}

TEST(Scctl, RepliesBecomeWords) {
  FakeDevice device;
  device.reply = hd(5, 9, "HELO", 0);
  EXPECT_EQ(run(device, {"display", "message-add", "5", "HELO"}).out,
            "display: new message 9 \"HELO\" in group 5\n");

  SC_VERSION_RECORD version;
  std::memset(&version, 0, sizeof(version));
  version.Length = 7;
  std::memcpy(version.Version, "FW\x01\\2.1", 7);
  device.reply.assign(reinterpret_cast<uint8_t*>(&version), reinterpret_cast<uint8_t*>(&version) + 72);
  EXPECT_EQ(run(device, {"version"}).out, "firmware version: FW\\x01\\x5C2.1\n");

  device.reply = {2, 0, 0, 0};
  EXPECT_EQ(run(device, {"trace", "0"}).out, "trace level: 0 (was 2)\n");
}

TEST(Scctl, RefusalsExitOneWithTheReasonOnStandardError) {
  FakeDevice device;
  device.answer.status = 0xC000000D;
  Outcome r = run(device, {"cardlan", "disconnect"});
  EXPECT_EQ(r.status, scctl::kExitRefused);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(
      r.err,
      "scctl: cardlan disconnect: refused by the driver: STATUS_INVALID_PARAMETER (0xC000000D); the Cardlan "
      "is already disconnected\n");

  // The display refuses beside a request that succeeded.
  FakeDevice display;
  display.reply = hd(0, 7, nullptr, 0, HD_RESULT_MESSAGE_REFUSED);
  r = run(display, {"display", "message-delete", "7"});
  EXPECT_EQ(r.status, scctl::kExitRefused);
  EXPECT_EQ(r.err,
            "scctl: display message-delete: refused by the display: HD_RESULT_MESSAGE_REFUSED (0x8A54), no "
            "such message\n");

  // A status this driver never returns is shown by its value.
  FakeDevice odd;
  odd.answer.status = 0xC0001234;
  EXPECT_NE(run(odd, {"led", "on"}).err.find("refused by the driver: 0xC0001234\n"), std::string::npos);

  // The system's own error, without a status.
  FakeDevice system;
  system.answer.statusKnown = false;
  system.answer.systemError = 1117;
  r = run(system, {"led", "on"});
  EXPECT_EQ(r.status, scctl::kExitRefused);
  EXPECT_EQ(r.err, "scctl: led on: the system refused the request (error 1117)\n");

  // A reply shorter than the record is no answer.
  FakeDevice shortReply;
  shortReply.answer.information = 8;
  r = run(shortReply, {"display", "status"});
  EXPECT_EQ(r.status, scctl::kExitRefused);
  EXPECT_EQ(r.out, "");
}

TEST(Scctl, ExitStatusTellsTheCauseApart) {
  // No device: the message names the three causes and the event of the
  // third by the number the System log shows.
  FakeDevice absent;
  absent.openResult = scctl::OpenResult::NotFound;
  Outcome r = run(absent, {"version"});
  EXPECT_EQ(r.status, scctl::kExitAbsent);
  EXPECT_EQ(r.err,
            "scctl: cannot open \\\\.\\8051SCDev (test): no such device; the TAMRIXSC driver is not "
            "installed, not started, or found no board (then the System log has event 33582 from TAMRIXSC, "
            "MSG_NO_LPC_CONTROLLER)\n");
  EXPECT_TRUE(absent.sent.empty());

  FakeDevice denied;
  denied.openResult = scctl::OpenResult::AccessDenied;
  r = run(denied, {"version"});
  EXPECT_EQ(r.status, scctl::kExitDenied);
  EXPECT_NE(r.err.find("access denied; run scctl as an administrator"), std::string::npos);

  FakeDevice other;
  other.openResult = scctl::OpenResult::Failed;
  EXPECT_EQ(run(other, {"version"}).status, scctl::kExitRefused);

  // The same causes when the request itself comes back with them.
  FakeDevice late;
  late.answer.status = 0xC0000022;
  EXPECT_EQ(run(late, {"led", "on"}).status, scctl::kExitDenied);
  late.answer.status = 0xC0000034;
  EXPECT_EQ(run(late, {"led", "on"}).status, scctl::kExitAbsent);
}

// status: the firmware version, then the display's status; a refused part
// is told, the others are still shown.
TEST(Scctl, StatusShowsWhatTheDriverCanTell) {
  SC_VERSION_RECORD version;
  std::memset(&version, 0, sizeof(version));
  version.Length = 4;
  std::memcpy(version.Version, "FW 2", 4);
  std::vector<uint8_t> versionBytes(reinterpret_cast<uint8_t*>(&version),
                                    reinterpret_cast<uint8_t*>(&version) + sizeof(version));
  std::vector<uint8_t> display = hd(0, 0, nullptr, 0);
  display[7] = 0x2A;

  FakeDevice device;
  device.replies[IOCTL_SC_FIRMWARE_VERSION] = versionBytes;
  device.replies[IOCTL_SC_HD_STATUS_QUERY] = display;
  Outcome r = run(device, {"status"});
  EXPECT_EQ(r.status, scctl::kExitSuccess) << r.err;
  EXPECT_EQ(r.out, "firmware version: FW 2\ndisplay status: 42 (0x2A)\n");
  ASSERT_EQ(device.sent.size(), 2u);
  EXPECT_EQ(device.sent[0].code, static_cast<uint32_t>(IOCTL_SC_FIRMWARE_VERSION));
  EXPECT_EQ(device.sent[1].code, static_cast<uint32_t>(IOCTL_SC_HD_STATUS_QUERY));
  EXPECT_EQ(device.opens, 1);

  device.answers[IOCTL_SC_HD_STATUS_QUERY].status = 0xC0000001;
  r = run(device, {"status"});
  EXPECT_EQ(r.status, scctl::kExitRefused);
  EXPECT_EQ(r.out, "firmware version: FW 2\n");
  EXPECT_EQ(r.err.rfind("scctl: status: display status: refused by the driver: STATUS_UNSUCCESSFUL", 0), 0u)
      << r.err;
}

// --json: one object for the whole run on standard output, nothing on
// standard error, whatever happened.
TEST(Scctl, JsonIsOneObjectPerRun) {
  FakeDevice device;
  device.reply = hd(5, 9, "HE\"O", 0);
  Outcome r = run(device, {"--json", "display", "message-add", "5", "HE\"O"});
  EXPECT_EQ(r.status, scctl::kExitSuccess);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "{\"exit\":0,\"command\":\"display message-add\",\"status\":\"0x00000000\",\"statusName\":"
            "\"STATUS_SUCCESS\",\"message\":9,\"group\":5,\"text\":\"HE\\\"O\",\"resultCode\":0}\n");

  // After the subcommand's words too; the display's refusal.
  device.reply = hd(0, 0, nullptr, 0, HD_RESULT_ADD_REFUSED);
  r = run(device, {"display", "group-add", "--json"});
  EXPECT_EQ(r.status, scctl::kExitRefused);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(
      r.out,
      "{\"exit\":1,\"command\":\"display group-add\",\"status\":\"0x00000000\",\"statusName\":"
      "\"STATUS_SUCCESS\",\"resultCode\":35407,\"resultName\":\"HD_RESULT_ADD_REFUSED\",\"error\":"
      "\"display group-add: refused by the display: HD_RESULT_ADD_REFUSED (0x8A4F), no room for another "
      "group or message\"}\n");

  // A usage error, and a device that is not there.
  r = run(device, {"--json", "trace", "9"});
  EXPECT_EQ(r.status, scctl::kExitUsage);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("{\"exit\":2,\"command\":\"trace\",\"error\":\"LEVEL: '9' is out of range", 0), 0u)
      << r.out;
  device.openResult = scctl::OpenResult::NotFound;
  r = run(device, {"--json", "version"});
  EXPECT_EQ(r.status, scctl::kExitAbsent);
  EXPECT_EQ(r.out.rfind("{\"exit\":3,\"command\":\"version\",\"error\":\"cannot open", 0), 0u) << r.out;

  // Bytes of the firmware version that are not printable ASCII.
  SC_VERSION_RECORD version;
  std::memset(&version, 0, sizeof(version));
  version.Length = 3;
  std::memcpy(version.Version, "A\x01\xE9", 3);
  FakeDevice fw;
  fw.reply.assign(reinterpret_cast<uint8_t*>(&version), reinterpret_cast<uint8_t*>(&version) + 72);
  EXPECT_NE(run(fw, {"--json", "version"}).out.find("\"firmwareVersion\":\"A\\u0001\\u00E9\""),
            std::string::npos);
  EXPECT_EQ(run(fw, {"--json", "--version"}).out, "{\"exit\":0,\"version\":\"" TAMRIXSC_VERSION_TEXT "\"}\n");
}

TEST(Scctl, Command4SaysItMayHoldAProcessor) {
  FakeDevice device;
  Outcome r = run(device, {"command4", "--help"});
  EXPECT_NE(r.out.find("one processor"), std::string::npos) << r.out;
  r = run(device, {"--help"});
  EXPECT_NE(r.out.find("may hold one processor busy for up to a second"), std::string::npos) << r.out;
}

TEST(Scctl, VersionOpensNothing) {
  FakeDevice device;
  Outcome r = run(device, {"--version"});
  EXPECT_EQ(r.status, scctl::kExitSuccess);
  EXPECT_EQ(r.out, "scctl " TAMRIXSC_VERSION_TEXT "\n");
  EXPECT_EQ(device.opens, 0);
}

TEST(Scctl, UsageErrorsOpenNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frob"},
      {"display", "message-add", "1", "TOO LONG"},
      {"display", "message-add", "1",
       "\xC3\x84"
       "BC"},
      {"display", "group-delete", "256"},
      {"display", "group-delete", "0x"},
      {"trace", "6"},
      {"trace", "-1"},
      {"cardlan", "connect"},
      {"cardlan", "connect", "--registry", "--current"},
      {"cardlan", "connect", "--card-id", "1", "--signalling-type", "1"},
      {"led"},
  };
  for (const auto& args : bad) {
    FakeDevice device;
    Outcome r = run(device, args);
    std::string what = args.empty() ? "(nothing)" : args[0];
    EXPECT_EQ(r.status, scctl::kExitUsage) << what;
    EXPECT_EQ(device.opens, 0) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err.rfind("scctl: ", 0), 0u) << what << ": " << r.err;
  }
}

}  // namespace
