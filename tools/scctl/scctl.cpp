#include "scctl.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>

#include "scioctl.h"

namespace scctl {
namespace {

// Any ConfigSource other than CS_REGISTRY, CS_CURRENT and CS_REQUEST makes
// the driver connect with its built-in defaults.
constexpr uint8_t kSourceDefaults = 3;
constexpr int kMaxTraceLevel = 5;  // the driver keeps at most 5
constexpr size_t kDisplayTextLength = sizeof(SC_HD_RECORD::Text);

constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
constexpr uint32_t kStatusInvalidParameter = 0xC000000D;

struct StatusInfo {
  uint32_t value;
  const char* name;
  const char* meaning;
};

// The statuses this driver completes requests with, and those the system
// answers in its stead.
const StatusInfo kStatuses[] = {
    {0x00000000, "STATUS_SUCCESS", "done"},
    {kStatusUnsuccessful, "STATUS_UNSUCCESSFUL", "the controller did not answer"},
    {kStatusInvalidParameter, "STATUS_INVALID_PARAMETER",
     "the driver refused the request in its present state"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST", "the driver does not know this request"},
    {0xC0000022, "STATUS_ACCESS_DENIED", "access to the device was refused"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND", "the device does not exist"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES", "the system ran short of memory"},
    {0xC00000A3, "STATUS_DEVICE_NOT_READY",
     "the system is shutting down and the driver has let go of the controller"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED", "the driver does not serve this request"},
    {0xC0000182, "STATUS_DEVICE_CONFIGURATION_ERROR", "the device is not configured"},
};

struct ResultInfo {
  uint32_t value;
  const char* name;
  const char* meaning;
};

const ResultInfo kDisplayResults[] = {
    {HD_RESULT_NOT_DONE, "HD_RESULT_NOT_DONE", "the command did not reach the display"},
    {HD_RESULT_ADD_REFUSED, "HD_RESULT_ADD_REFUSED", "no room for another group or message"},
    {HD_RESULT_GROUP_REFUSED, "HD_RESULT_GROUP_REFUSED", "no such group"},
    {HD_RESULT_MESSAGE_REFUSED, "HD_RESULT_MESSAGE_REFUSED", "no such message"},
};

std::string hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

const StatusInfo* findStatus(uint32_t status) {
  for (const StatusInfo& s : kStatuses) {
    if (s.value == status) return &s;
  }
  return nullptr;
}

bool isFailure(uint32_t status) { return (status & 0xC0000000u) == 0xC0000000u; }

// A number as a user types it: decimal, or hex after 0x. Leading zeros are
// decimal, never octal.
bool parseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  size_t start = isHex ? 2 : 0;
  if (text.size() <= start || text.size() - start > 16) return false;
  uint64_t v = 0;
  for (size_t i = start; i < text.size(); i++) {
    char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (isHex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (isHex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    v = v * (isHex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (v > max) return false;
  }
  *value = v;
  return true;
}

CLI::Validator numberUpTo(uint64_t max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        uint64_t v = 0;
        if (parseNumber(text, max, &v)) return "";
        uint64_t ignored = 0;
        if (parseNumber(text, UINT64_MAX / 16, &ignored)) {
          return "'" + text + "' is out of range: 0 to " + std::to_string(max);
        }
        return "'" + text + "' is not a number (decimal, or hex after 0x)";
      },
      "");
}

uint8_t byteOf(const std::string& text) {
  uint64_t v = 0;
  parseNumber(text, 0xFF, &v);
  return static_cast<uint8_t>(v);
}

std::string printable(const uint8_t* bytes, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; i++) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
      text += static_cast<char>(bytes[i]);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02X", bytes[i]);
      text += escape;
    }
  }
  return text;
}

// Four printable ASCII characters, as the front panel shows them.
const CLI::Validator kDisplayText(
    [](std::string& text) -> std::string {
      for (char c : text) {
        if (c < 0x20 || c > 0x7E) {
          return "'" + printable(reinterpret_cast<const uint8_t*>(text.data()), text.size()) +
                 "' holds a character that is not printable ASCII";
        }
      }
      if (text.size() != kDisplayTextLength) {
        return "'" + text + "' has " + std::to_string(text.size()) +
               " characters; the display text is exactly 4 printable characters (quote it when it holds "
               "blanks)";
      }
      return "";
    },
    "");

// One request ready to go, and how its reply is told in words.
struct Plan {
  uint32_t code = 0;
  std::vector<uint8_t> input;
  uint32_t outputLength = 0;
  // What a failure status means for this request, where it says more than
  // the general meaning.
  std::map<uint32_t, std::string> meanings;
  // Writes the result; returns the exit status.
  std::function<int(const std::vector<uint8_t>& reply, std::ostream& out, std::ostream& err)> report;
};

template <typename Record>
std::vector<uint8_t> bytesOf(const Record& record) {
  std::vector<uint8_t> bytes(sizeof(Record));
  std::memcpy(bytes.data(), &record, sizeof(Record));
  return bytes;
}

template <typename Record>
Record recordOf(const std::vector<uint8_t>& bytes) {
  Record record{};
  std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(Record)));
  return record;
}

// The hex display requests: one record in, the same record back with the
// display's result code.
Plan displayPlan(uint32_t code, const SC_HD_RECORD& request,
                 std::function<std::string(const SC_HD_RECORD&)> words) {
  Plan plan;
  plan.code = code;
  plan.input = bytesOf(request);
  plan.outputLength = sizeof(SC_HD_RECORD);
  plan.meanings[kStatusUnsuccessful] =
      "the controller did not answer, or the Cardlan is being connected (the display takes requests only "
      "while the Cardlan is active or disconnected)";
  plan.report = [words](const std::vector<uint8_t>& reply, std::ostream& out, std::ostream& err) {
    SC_HD_RECORD record = recordOf<SC_HD_RECORD>(reply);
    if (record.ResultCode != HD_RESULT_OK) {
      err << "refused by the display: ";
      bool known = false;
      for (const ResultInfo& r : kDisplayResults) {
        if (r.value == record.ResultCode) {
          err << r.name << " (" << hex(r.value, 4) << "), " << r.meaning << '\n';
          known = true;
        }
      }
      if (!known) err << "result code " << hex(record.ResultCode, 4) << '\n';
      return kExitRefused;
    }
    out << words(record) << '\n';
    return kExitSuccess;
  };
  return plan;
}

SC_HD_RECORD emptyRecord() {
  SC_HD_RECORD record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

void putText(SC_HD_RECORD* record, const std::string& text) {
  std::memcpy(record->Text, text.data(), kDisplayTextLength);
}

Plan simplePlan(uint32_t code, const std::string& words) {
  Plan plan;
  plan.code = code;
  plan.report = [words](const std::vector<uint8_t>&, std::ostream& out, std::ostream&) {
    out << words << '\n';
    return kExitSuccess;
  };
  return plan;
}

std::string switchWords(const SC_SWITCH_RECORD& r) {
  return "card ID " + std::to_string(r.CardID) + ", signalling type " + std::to_string(r.SignType) +
         ", TN mapping type " + std::to_string(r.TNMapType);
}

// The command line, declared once: each leaf subcommand with its
// arguments and the request it makes.
class CommandLine {
 public:
  CommandLine() : app_("Sends requests to the 8051 System Controller driver (TAMRIXSC).", "scctl") {
    app_.require_subcommand(1);
    app_.footer(
        "Run 'scctl SUBCOMMAND --help' for the arguments of one subcommand.\n"
        "Exit status: 0 done, 1 the device could not be opened or the driver, the controller or the\n"
        "display refused the request, 2 the command line was wrong (nothing was sent).\n"
        "Numbers are decimal, or hex after 0x.");
    declareController();
    declareDisplay();
    declareCardlan();
    declareTrace();
  }

  CLI::App& app() { return app_; }

  // The plan of the subcommand that was given; parse() has succeeded.
  Plan plan() const {
    for (const Leaf& leaf : leaves_) {
      if (leaf.app->parsed()) return leaf.make();
    }
    throw CLI::RequiredError("a subcommand");
  }

 private:
  struct Leaf {
    CLI::App* app;
    std::function<Plan()> make;
  };

  CLI::App* leaf(CLI::App* parent, const std::string& name, const std::string& description,
                 std::function<Plan()> make) {
    CLI::App* app = parent->add_subcommand(name, description);
    leaves_.push_back({app, std::move(make)});
    return app;
  }

  CLI::App* group(const std::string& name, const std::string& description) {
    CLI::App* app = app_.add_subcommand(name, description);
    app->require_subcommand(1);
    return app;
  }

  void byteArgument(CLI::App* app, const std::string& name, std::string* value, const std::string& what) {
    app->add_option(name, *value, what)->required()->check(numberUpTo(0xFF))->type_name("0..255");
  }

  void declareController() {
    leaf(&app_, "version", "Show the controller's firmware version (as read when the driver started)", [] {
      Plan plan;
      plan.code = IOCTL_SC_FIRMWARE_VERSION;
      plan.outputLength = sizeof(SC_VERSION_RECORD);
      plan.report = [](const std::vector<uint8_t>& reply, std::ostream& out, std::ostream&) {
        SC_VERSION_RECORD record = recordOf<SC_VERSION_RECORD>(reply);
        size_t length = std::min<size_t>(record.Length, sizeof(record.Version));
        out << "firmware version: " << (length == 0 ? "(empty)" : printable(record.Version, length)) << '\n';
        return kExitSuccess;
      };
      return plan;
    });

    CLI::App* led = group("led", "Switch the status LED");
    leaf(led, "on", "Light the status LED",
         [] { return simplePlan(IOCTL_SC_STATUS_LED_ON, "status LED: on"); });
    leaf(led, "off", "Put out the status LED",
         [] { return simplePlan(IOCTL_SC_STATUS_LED_OFF, "status LED: off"); });

    leaf(&app_, "command4", "Send COMMAND_4 (the controller may take up to a second to answer)",
         [] { return simplePlan(IOCTL_SC_COMMAND4, "COMMAND_4: done"); });
  }

  void declareDisplay() {
    CLI::App* display = group("display", "Command the front-panel hex display and its message groups");

    leaf(display, "status", "Show the display status value", [] {
      return displayPlan(IOCTL_SC_HD_STATUS_QUERY, emptyRecord(), [](const SC_HD_RECORD& r) {
        return "display status: " + std::to_string(r.DisplayStatus) + " (" + hex(r.DisplayStatus, 2) + ")";
      });
    });
    CLI::App* setStatus = leaf(display, "set-status", "Set the display status value", [this] {
      SC_HD_RECORD request = emptyRecord();
      request.Value = byteOf(value_);
      return displayPlan(IOCTL_SC_HD_SET_STATUS, request, [](const SC_HD_RECORD& r) {
        return "display status: set to " + std::to_string(r.Value);
      });
    });
    byteArgument(setStatus, "VALUE", &value_, "Status value, 0 to 255");
    leaf(display, "clear-status", "Clear the display status", [] {
      return displayPlan(IOCTL_SC_HD_CLEAR_STATUS, emptyRecord(),
                         [](const SC_HD_RECORD&) { return std::string("display status: cleared"); });
    });
    CLI::App* rate = leaf(display, "refresh-rate", "Set the display's refresh rate", [this] {
      SC_HD_RECORD request = emptyRecord();
      request.Value = byteOf(value_);
      return displayPlan(IOCTL_SC_HD_SET_REFRESH_RATE, request, [](const SC_HD_RECORD& r) {
        return "display refresh rate: set to " + std::to_string(r.Value);
      });
    });
    byteArgument(rate, "RATE", &value_, "Refresh rate, 0 to 255");
    leaf(display, "reset", "Reset the display to the text of the Cardlan state", [] {
      return displayPlan(IOCTL_SC_HD_RESET, emptyRecord(),
                         [](const SC_HD_RECORD&) { return std::string("display: reset"); });
    });

    leaf(display, "group-add", "Create a message group; prints its number", [] {
      return displayPlan(IOCTL_SC_HD_GROUP_ADD, emptyRecord(), [](const SC_HD_RECORD& r) {
        return "display: new group " + std::to_string(r.GroupID);
      });
    });
    CLI::App* groupDelete = leaf(display, "group-delete", "Delete a message group", [this] {
      SC_HD_RECORD request = emptyRecord();
      request.GroupID = byteOf(group_);
      return displayPlan(IOCTL_SC_HD_GROUP_DELETE, request, [](const SC_HD_RECORD& r) {
        return "display: group " + std::to_string(r.GroupID) + " deleted";
      });
    });
    byteArgument(groupDelete, "GROUP", &group_, "Group number, as group-add printed it");

    CLI::App* messageAdd =
        leaf(display, "message-add", "Add a four-character message to a group; prints its number", [this] {
          SC_HD_RECORD request = emptyRecord();
          request.GroupID = byteOf(group_);
          putText(&request, text_);
          return displayPlan(IOCTL_SC_HD_MESSAGE_ADD, request, [](const SC_HD_RECORD& r) {
            return "display: new message " + std::to_string(r.MessageID) + " \"" +
                   printable(r.Text, kDisplayTextLength) + "\" in group " + std::to_string(r.GroupID);
          });
        });
    byteArgument(messageAdd, "GROUP", &group_, "Group number");
    messageAdd->add_option("TEXT", text_, "Exactly four printable characters")
        ->required()
        ->check(kDisplayText)
        ->type_name("");

    CLI::App* exchange = leaf(display, "message-exchange", "Replace the text of a message", [this] {
      SC_HD_RECORD request = emptyRecord();
      request.MessageID = byteOf(message_);
      putText(&request, text_);
      return displayPlan(IOCTL_SC_HD_MESSAGE_EXCHANGE, request, [](const SC_HD_RECORD& r) {
        return "display: message " + std::to_string(r.MessageID) + " now \"" +
               printable(r.Text, kDisplayTextLength) + "\"";
      });
    });
    byteArgument(exchange, "MESSAGE", &message_, "Message number, as message-add printed it");
    exchange->add_option("TEXT", text_, "Exactly four printable characters")
        ->required()
        ->check(kDisplayText)
        ->type_name("");

    CLI::App* messageDelete = leaf(display, "message-delete", "Delete a message", [this] {
      SC_HD_RECORD request = emptyRecord();
      request.MessageID = byteOf(message_);
      return displayPlan(IOCTL_SC_HD_MESSAGE_DELETE, request, [](const SC_HD_RECORD& r) {
        return "display: message " + std::to_string(r.MessageID) + " deleted";
      });
    });
    byteArgument(messageDelete, "MESSAGE", &message_, "Message number");
  }

  void declareCardlan() {
    CLI::App* cardlan = group("cardlan", "Connect or disconnect the Cardlan link to the peripheral cards");

    CLI::App* connect = leaf(cardlan, "connect", "Connect the Cardlan (only while it is disconnected)",
                             [this] { return connectPlan(); });
    connect->add_flag(
        "--registry", fromRegistry_,
        "Take the switch parameters from the CardID, SignallingType and TNMappingType values of "
        "the driver's Parameters key");
    connect->add_flag("--current", fromCurrent_, "Connect with the switch parameters in force");
    connect->add_flag(
        "--defaults", fromDefaults_,
        "Connect with the built-in parameters (card ID 70, signalling type 3, TN mapping type 3)");
    connect->add_option("--card-id", cardId_, "Card identifier, 0 to 255")
        ->check(numberUpTo(0xFF))
        ->type_name("0..255");
    connect->add_option("--signalling-type", signType_, "Signalling type, 0 to 255")
        ->check(numberUpTo(0xFF))
        ->type_name("0..255");
    connect->add_option("--tn-mapping-type", tnMapType_, "TN mapping type, 0 to 255")
        ->check(numberUpTo(0xFF))
        ->type_name("0..255");
    connect->add_option("--cemux", cemux_, "CEMUX IP interface byte, passed through (default 0)")
        ->check(numberUpTo(0xFF))
        ->type_name("0..255");
    connect->footer(
        "Give exactly one source of the switch parameters: --registry, --current, --defaults, or all three\n"
        "of --card-id, --signalling-type and --tn-mapping-type.");

    leaf(cardlan, "disconnect", "Disconnect the Cardlan", [] {
      SC_SWITCH_RECORD request;
      std::memset(&request, 0, sizeof(request));
      Plan plan = switchPlan(IOCTL_SC_SWITCH_DISCONNECT, request, "Cardlan: disconnected; in force: ");
      plan.meanings[kStatusInvalidParameter] = "the Cardlan is already disconnected";
      return plan;
    });
  }

  Plan connectPlan() const {
    // The three switch parameters of a request go together. (CLI11's own
    // needs() would list them in help texts in no fixed order.)
    std::string missing;
    if (!cardId_.empty() || !signType_.empty() || !tnMapType_.empty()) {
      if (cardId_.empty()) missing += " --card-id";
      if (signType_.empty()) missing += " --signalling-type";
      if (tnMapType_.empty()) missing += " --tn-mapping-type";
    }
    if (!missing.empty()) {
      throw CLI::ValidationError("the switch parameters go together; missing:" + missing);
    }
    int sources = (fromRegistry_ ? 1 : 0) + (fromCurrent_ ? 1 : 0) + (fromDefaults_ ? 1 : 0) +
                  (cardId_.empty() ? 0 : 1);
    if (sources != 1) {
      throw CLI::ValidationError(
          sources == 0 ? "say where the switch parameters come from: --registry, --current, --defaults, or "
                         "--card-id with --signalling-type and --tn-mapping-type"
                       : "give only one source of the switch parameters");
    }
    SC_SWITCH_RECORD request;
    std::memset(&request, 0, sizeof(request));
    request.ConfigSource = fromRegistry_   ? CS_REGISTRY
                           : fromCurrent_  ? CS_CURRENT
                           : fromDefaults_ ? kSourceDefaults
                                           : CS_REQUEST;
    if (request.ConfigSource == CS_REQUEST) {
      request.CardID = byteOf(cardId_);
      request.SignType = byteOf(signType_);
      request.TNMapType = byteOf(tnMapType_);
    }
    request.CemuxIpIf = cemux_.empty() ? 0 : byteOf(cemux_);
    Plan plan = switchPlan(IOCTL_SC_SWITCH_CONNECT, request, "Cardlan: connecting with ");
    plan.meanings[kStatusInvalidParameter] = "the Cardlan is not disconnected; disconnect it first";
    if (request.ConfigSource == CS_REGISTRY) {
      plan.meanings[kStatusUnsuccessful] =
          "the controller did not answer, or CardID, SignallingType or TNMappingType is missing from the "
          "Parameters key";
    }
    return plan;
  }

  static Plan switchPlan(uint32_t code, const SC_SWITCH_RECORD& request, const std::string& lead) {
    Plan plan;
    plan.code = code;
    plan.input = bytesOf(request);
    plan.outputLength = sizeof(SC_SWITCH_RECORD);
    plan.report = [lead](const std::vector<uint8_t>& reply, std::ostream& out, std::ostream&) {
      out << lead << switchWords(recordOf<SC_SWITCH_RECORD>(reply)) << '\n';
      return kExitSuccess;
    };
    return plan;
  }

  void declareTrace() {
    CLI::App* trace =
        leaf(&app_, "trace", "Set the driver's trace level; prints the level it replaces", [this] {
          int32_t level = static_cast<int32_t>(byteOf(level_));
          Plan plan;
          plan.code = IOCTL_SC_DEBUG_LEVEL;
          plan.input.resize(sizeof(level));
          std::memcpy(plan.input.data(), &level, sizeof(level));
          plan.outputLength = sizeof(level);
          plan.report = [level](const std::vector<uint8_t>& reply, std::ostream& out, std::ostream&) {
            int32_t previous = 0;
            std::memcpy(&previous, reply.data(), std::min(reply.size(), sizeof(previous)));
            out << "trace level: " << level << " (was " << previous << ")\n";
            return kExitSuccess;
          };
          return plan;
        });
    trace
        ->add_option("LEVEL", level_,
                     "0 silent, 1 errors, 2 and warnings (the default), 4 and details, 5 and every entry "
                     "and exit")
        ->required()
        ->check(numberUpTo(kMaxTraceLevel))
        ->type_name("0..5");
  }

  CLI::App app_;
  std::vector<Leaf> leaves_;
  std::string value_, group_, message_, text_, level_;
  bool fromRegistry_ = false, fromCurrent_ = false, fromDefaults_ = false;
  std::string cardId_, signType_, tnMapType_, cemux_;
};

std::string subcommandPath(const CLI::App& app) {
  std::string path;
  for (const CLI::App* a = &app;;) {
    auto subs = a->get_subcommands();
    if (subs.empty()) break;
    a = subs.front();
    path += (path.empty() ? "" : " ") + a->get_name();
  }
  return path;
}

// The word where a subcommand was expected but none of that name exists,
// with the names there are; empty when the error is another one.
std::string unknownSubcommand(const CLI::App& app, const std::vector<std::string>& args) {
  const CLI::App* deepest = &app;
  size_t depth = 0;
  while (!deepest->get_subcommands().empty()) {
    deepest = deepest->get_subcommands().front();
    depth++;
  }
  auto known = deepest->get_subcommands([](const CLI::App*) { return true; });
  if (known.empty() || depth >= args.size() || args[depth].empty() || args[depth][0] == '-') return "";
  std::string names;
  for (const CLI::App* sub : known) names += (names.empty() ? "" : ", ") + sub->get_name();
  return "'" + args[depth] + "' is not a subcommand; the subcommands here are: " + names;
}

int usageError(const CLI::Error& e, const CLI::App& app, const std::vector<std::string>& args,
               std::ostream& err) {
  std::string path = subcommandPath(app);
  std::string unknown = unknownSubcommand(app, args);
  err << "scctl: " << (path.empty() ? "" : path + ": ") << (unknown.empty() ? e.what() : unknown) << '\n';
  err << "Run 'scctl " << (path.empty() ? "" : path + " ") << "--help' for usage.\n";
  return kExitUsage;
}

int openFailure(OpenResult result, const std::string& detail, std::ostream& err) {
  err << "scctl: cannot open " << kDevicePath << ": ";
  switch (result) {
    case OpenResult::NotFound: err << "the TAMRIXSC driver is not installed or not started"; break;
    case OpenResult::AccessDenied: err << "access denied; run scctl as an administrator"; break;
    default: err << "the system refused"; break;
  }
  err << " (" << detail << ")\n";
  return kExitRefused;
}

int send(const std::string& what, const Plan& plan, Device& device, std::ostream& out, std::ostream& err) {
  std::string detail;
  OpenResult opened = device.open(&detail);
  if (opened != OpenResult::Opened) return openFailure(opened, detail, err);

  std::vector<uint8_t> buffer = plan.input;
  buffer.resize(std::max<size_t>(buffer.size(), plan.outputLength), 0);
  Completion done =
      device.control(plan.code, &buffer, static_cast<uint32_t>(plan.input.size()), plan.outputLength);
  if (!done.statusKnown) {
    err << "scctl: " << what << ": the system refused the request (error " << done.systemError << ")\n";
    return kExitRefused;
  }
  if (isFailure(done.status)) {
    const StatusInfo* info = findStatus(done.status);
    auto specific = plan.meanings.find(done.status);
    err << "scctl: " << what << ": refused by the driver: " << statusName(done.status);
    if (specific != plan.meanings.end()) {
      err << "; " << specific->second;
    } else if (info != nullptr) {
      err << "; " << info->meaning;
    }
    err << '\n';
    return kExitRefused;
  }
  if (done.information < plan.outputLength) {
    err << "scctl: " << what << ": the driver answered " << done.information << " bytes, expected "
        << plan.outputLength << '\n';
    return kExitRefused;
  }
  buffer.resize(done.information);
  std::ostringstream refusal;
  int status = plan.report(buffer, out, refusal);
  if (!refusal.str().empty()) err << "scctl: " << what << ": " << refusal.str();
  return status;
}

}  // namespace

std::string statusName(uint32_t status) {
  const StatusInfo* info = findStatus(status);
  return info == nullptr ? hex(status, 8) : std::string(info->name) + " (" + hex(status, 8) + ")";
}

int run(const std::vector<std::string>& args, Device& device, std::ostream& out, std::ostream& err) {
  CommandLine line;
  CLI::App& app = line.app();
  Plan plan;
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
    plan = line.plan();
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return kExitSuccess;
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return kExitSuccess;
  } catch (const CLI::Error& e) {
    return usageError(e, app, args, err);
  }
  return send(subcommandPath(app), plan, device, out, err);
}

}  // namespace scctl
