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
#include "tamrixsc_version.h"
#include "tamrixscmsg.h"

namespace scctl {
namespace {

// Any ConfigSource other than CS_REGISTRY, CS_CURRENT and CS_REQUEST makes
// the driver connect with its built-in defaults.
constexpr uint8_t kSourceDefaults = 3;
constexpr int kMaxTraceLevel = 5;  // the driver keeps at most 5
constexpr size_t kDisplayTextLength = sizeof(SC_HD_RECORD::Text);

constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kStatusAccessDenied = 0xC0000022;
constexpr uint32_t kStatusNameNotFound = 0xC0000034;

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
    {kStatusAccessDenied, "STATUS_ACCESS_DENIED", "access to the device was refused"},
    {kStatusNameNotFound, "STATUS_OBJECT_NAME_NOT_FOUND", "the device does not exist"},
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

// The fields of the --json object, in the order they are added; each value
// is kept as JSON text.
class Fields {
 public:
  void text(const std::string& key, const std::string& value) {
    add(key, quoted(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
  }
  // Bytes from the device: each byte is the character of that number
  // (U+0000 to U+00FF).
  void bytes(const std::string& key, const uint8_t* data, size_t length) { add(key, quoted(data, length)); }
  void number(const std::string& key, int64_t value) { add(key, std::to_string(value)); }
  void append(const Fields& other) {
    for (const auto& f : other.fields_) add(f.first, f.second);
  }
  std::string object() const {
    std::string o = "{";
    for (const auto& f : fields_) o += (o.size() > 1 ? "," : "") + quotedKey(f.first) + ":" + f.second;
    return o + "}";
  }

 private:
  void add(const std::string& key, const std::string& json) {
    for (auto& f : fields_) {
      if (f.first == key) {
        f.second = json;
        return;
      }
    }
    fields_.emplace_back(key, json);
  }
  static std::string quotedKey(const std::string& key) {
    return quoted(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  }
  static std::string quoted(const uint8_t* data, size_t length) {
    std::string q = "\"";
    for (size_t i = 0; i < length; i++) {
      uint8_t c = data[i];
      if (c == '"' || c == '\\') {
        q += '\\';
        q += static_cast<char>(c);
      } else if (c >= 0x20 && c < 0x7F) {
        q += static_cast<char>(c);
      } else {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04X", c);
        q += escape;
      }
    }
    return q + "\"";
  }
  std::vector<std::pair<std::string, std::string>> fields_;
};

// What one reply says: a line for standard output and the same for --json,
// or the refusal the reply itself carries (the display's result code).
struct Answer {
  std::string words;
  Fields fields;
  std::string refusal;
};

// One request ready to go, and how its reply is read.
struct Step {
  uint32_t code = 0;  // the one the subcommand declares
  std::string label;  // names the step in errors when a subcommand has several
  std::vector<uint8_t> input;
  uint32_t outputLength = 0;
  // What a failure status means for this request, where it says more than
  // the general meaning.
  std::map<uint32_t, std::string> meanings;
  std::function<Answer(const std::vector<uint8_t>& reply)> read;
};
using Plan = std::vector<Step>;

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

Answer say(const std::string& words) {
  Answer answer;
  answer.words = words;
  return answer;
}

// The hex display requests: one record in, the same record back with the
// display's result code. `read` tells a reply the display accepted.
Step displayStep(const SC_HD_RECORD& request, std::function<Answer(const SC_HD_RECORD&)> read) {
  Step step;
  step.input = bytesOf(request);
  step.outputLength = sizeof(SC_HD_RECORD);
  step.meanings[kStatusUnsuccessful] =
      "the controller did not answer, or the Cardlan is being connected (the display takes requests only "
      "while the Cardlan is active or disconnected)";
  step.read = [read](const std::vector<uint8_t>& reply) {
    SC_HD_RECORD record = recordOf<SC_HD_RECORD>(reply);
    Answer answer;
    if (record.ResultCode == HD_RESULT_OK) answer = read(record);
    answer.fields.number("resultCode", record.ResultCode);
    if (record.ResultCode != HD_RESULT_OK) {
      answer.refusal = "refused by the display: result code " + hex(record.ResultCode, 4);
      for (const ResultInfo& r : kDisplayResults) {
        if (r.value == record.ResultCode) {
          answer.refusal =
              "refused by the display: " + std::string(r.name) + " (" + hex(r.value, 4) + "), " + r.meaning;
          answer.fields.text("resultName", r.name);
        }
      }
    }
    return answer;
  };
  return step;
}

SC_HD_RECORD emptyRecord() {
  SC_HD_RECORD record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

void putText(SC_HD_RECORD* record, const std::string& text) {
  std::memcpy(record->Text, text.data(), kDisplayTextLength);
}

std::string displayText(const SC_HD_RECORD& r) { return printable(r.Text, kDisplayTextLength); }

// A request with no buffers and one line of words.
Step simpleStep(const std::string& words, const std::string& key, const std::string& value) {
  Step step;
  step.read = [words, key, value](const std::vector<uint8_t>&) {
    Answer answer = say(words);
    if (!key.empty()) answer.fields.text(key, value);
    return answer;
  };
  return step;
}

Step versionStep() {
  Step step;
  step.label = "firmware version";
  step.outputLength = sizeof(SC_VERSION_RECORD);
  step.read = [](const std::vector<uint8_t>& reply) {
    SC_VERSION_RECORD record = recordOf<SC_VERSION_RECORD>(reply);
    size_t length = std::min<size_t>(record.Length, sizeof(record.Version));
    Answer answer = say("firmware version: " + (length == 0 ? "(empty)" : printable(record.Version, length)));
    answer.fields.bytes("firmwareVersion", record.Version, length);
    return answer;
  };
  return step;
}

Step displayStatusStep() {
  Step step = displayStep(emptyRecord(), [](const SC_HD_RECORD& r) {
    Answer answer =
        say("display status: " + std::to_string(r.DisplayStatus) + " (" + hex(r.DisplayStatus, 2) + ")");
    answer.fields.number("displayStatus", r.DisplayStatus);
    return answer;
  });
  step.label = "display status";
  return step;
}

Answer switchAnswer(const std::string& lead, const SC_SWITCH_RECORD& r) {
  Answer answer = say(lead + "card ID " + std::to_string(r.CardID) + ", signalling type " +
                      std::to_string(r.SignType) + ", TN mapping type " + std::to_string(r.TNMapType));
  answer.fields.number("cardId", r.CardID);
  answer.fields.number("signallingType", r.SignType);
  answer.fields.number("tnMappingType", r.TNMapType);
  return answer;
}

Step switchStep(const SC_SWITCH_RECORD& request, const std::string& lead) {
  Step step;
  step.input = bytesOf(request);
  step.outputLength = sizeof(SC_SWITCH_RECORD);
  step.read = [lead](const std::vector<uint8_t>& reply) {
    return switchAnswer(lead, recordOf<SC_SWITCH_RECORD>(reply));
  };
  return step;
}

// The command line, declared once: each leaf subcommand with its
// arguments and the requests it makes.
class CommandLine {
 public:
  CommandLine() : app_("Sends requests to the 8051 System Controller driver (TAMRIXSC).", "scctl") {
    app_.require_subcommand(1);
    app_.set_version_flag("--version", "scctl " TAMRIXSC_VERSION_TEXT, "Print scctl's version and exit");
    app_.add_flag("--json", json_,
                  "Write one JSON object for the whole run to standard output, errors included");
    // --json may also follow the subcommand's words.
    app_.fallthrough();
    app_.footer(
        "Run 'scctl SUBCOMMAND --help' for the arguments of one subcommand.\n"
        "Exit status: 0 done; 1 the driver, the controller or the display refused; 2 the command\n"
        "line was wrong (nothing was sent); 3 no device: the driver is not installed, not started,\n"
        "or found no board; 4 access denied: run scctl as an administrator.\n"
        "Numbers are decimal, or hex after 0x.");
    declareController();
    declareDisplay();
    declareCardlan();
    declareTrace();
  }

  CLI::App& app() { return app_; }
  bool json() const { return json_; }

  std::vector<Subcommand> subcommands() const {
    std::vector<Subcommand> list;
    for (const Leaf& leaf : leaves_) list.push_back({pathOf(leaf.app), leaf.codes});
    return list;
  }

  // The plan of the subcommand that was given; parse() has succeeded.
  Plan plan() const {
    for (const Leaf& leaf : leaves_) {
      if (!leaf.app->parsed()) continue;
      Plan plan = leaf.make();
      for (size_t i = 0; i < plan.size(); i++) plan[i].code = leaf.codes.at(i);
      return plan;
    }
    throw CLI::RequiredError("a subcommand");
  }

 private:
  struct Leaf {
    CLI::App* app;
    std::vector<uint32_t> codes;  // the requests it sends, in order
    std::function<Plan()> make;
  };

  std::string pathOf(const CLI::App* app) const {
    std::string path = app->get_name();
    for (const CLI::App* up = app->get_parent(); up != &app_; up = up->get_parent()) {
      path = up->get_name() + " " + path;
    }
    return path;
  }

  CLI::App* leaf(CLI::App* parent, const std::string& name, const std::string& description,
                 std::vector<uint32_t> codes, std::function<Plan()> make) {
    CLI::App* app = parent->add_subcommand(name, description);
    leaves_.push_back({app, std::move(codes), std::move(make)});
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
    leaf(&app_, "status", "Show what the driver can tell: the firmware version and the display status",
         {IOCTL_SC_FIRMWARE_VERSION, IOCTL_SC_HD_STATUS_QUERY},
         [] {
           return Plan{versionStep(), displayStatusStep()};
         })
        ->footer(
            "The display takes requests only while the Cardlan is active or disconnected; while it is being\n"
            "connected the display status is refused (exit status 1) after the version is shown.");
    leaf(&app_, "version", "Show the controller's firmware version (as read when the driver started)",
         {IOCTL_SC_FIRMWARE_VERSION}, [] { return Plan{versionStep()}; });

    CLI::App* led = group("led", "Switch the status LED");
    leaf(led, "on", "Light the status LED", {IOCTL_SC_STATUS_LED_ON},
         [] { return Plan{simpleStep("status LED: on", "led", "on")}; });
    leaf(led, "off", "Put out the status LED", {IOCTL_SC_STATUS_LED_OFF},
         [] { return Plan{simpleStep("status LED: off", "led", "off")}; });

    leaf(&app_, "command4", "Send COMMAND_4 (may hold one processor busy for up to a second)",
         {IOCTL_SC_COMMAND4}, [] { return Plan{simpleStep("COMMAND_4: done", "", "")}; })
        ->footer(
            "The driver waits for COMMAND_4's reply busy at DISPATCH_LEVEL, up to a second: all that time\n"
            "one processor runs nothing else, and every other request to the driver waits behind it.");
  }

  void declareDisplay() {
    CLI::App* display = group("display", "Command the front-panel hex display and its message groups");

    leaf(display, "status", "Show the display status value", {IOCTL_SC_HD_STATUS_QUERY},
         [] { return Plan{displayStatusStep()}; });
    CLI::App* setStatus = valueLeaf(display, "set-status", "Set the display status value",
                                    IOCTL_SC_HD_SET_STATUS, "display status: set to ", "displayStatus");
    byteArgument(setStatus, "VALUE", &value_, "Status value, 0 to 255");
    leaf(display, "clear-status", "Clear the display status", {IOCTL_SC_HD_CLEAR_STATUS}, [] {
      return Plan{
          displayStep(emptyRecord(), [](const SC_HD_RECORD&) { return say("display status: cleared"); })};
    });
    CLI::App* rate = valueLeaf(display, "refresh-rate", "Set the display's refresh rate",
                               IOCTL_SC_HD_SET_REFRESH_RATE, "display refresh rate: set to ", "refreshRate");
    byteArgument(rate, "RATE", &value_, "Refresh rate, 0 to 255, in the controller's own unit");
    leaf(display, "reset", "Reset the display to the text of the Cardlan state", {IOCTL_SC_HD_RESET}, [] {
      return Plan{displayStep(emptyRecord(), [](const SC_HD_RECORD&) { return say("display: reset"); })};
    });

    leaf(display, "group-add", "Create a message group; prints its number", {IOCTL_SC_HD_GROUP_ADD}, [] {
      return Plan{displayStep(emptyRecord(), [](const SC_HD_RECORD& r) {
        Answer answer = say("display: new group " + std::to_string(r.GroupID));
        answer.fields.number("group", r.GroupID);
        return answer;
      })};
    });
    CLI::App* groupDelete = deleteLeaf(display, "group-delete", "Delete a message group",
                                       IOCTL_SC_HD_GROUP_DELETE, &SC_HD_RECORD::GroupID, &group_, "group");
    byteArgument(groupDelete, "GROUP", &group_, "Group number, as group-add printed it");

    CLI::App* messageAdd =
        leaf(display, "message-add", "Add a four-character message to a group; prints its number",
             {IOCTL_SC_HD_MESSAGE_ADD}, [this] {
               SC_HD_RECORD request = emptyRecord();
               request.GroupID = byteOf(group_);
               putText(&request, text_);
               return Plan{displayStep(request, [](const SC_HD_RECORD& r) {
                 Answer answer = say("display: new message " + std::to_string(r.MessageID) + " \"" +
                                     displayText(r) + "\" in group " + std::to_string(r.GroupID));
                 answer.fields.number("message", r.MessageID);
                 answer.fields.number("group", r.GroupID);
                 answer.fields.bytes("text", r.Text, kDisplayTextLength);
                 return answer;
               })};
             });
    byteArgument(messageAdd, "GROUP", &group_, "Group number");
    textArgument(messageAdd);

    CLI::App* exchange = leaf(
        display, "message-exchange", "Replace the text of a message", {IOCTL_SC_HD_MESSAGE_EXCHANGE}, [this] {
          SC_HD_RECORD request = emptyRecord();
          request.MessageID = byteOf(message_);
          putText(&request, text_);
          return Plan{displayStep(request, [](const SC_HD_RECORD& r) {
            Answer answer =
                say("display: message " + std::to_string(r.MessageID) + " now \"" + displayText(r) + "\"");
            answer.fields.number("message", r.MessageID);
            answer.fields.bytes("text", r.Text, kDisplayTextLength);
            return answer;
          })};
        });
    byteArgument(exchange, "MESSAGE", &message_, "Message number, as message-add printed it");
    textArgument(exchange);

    CLI::App* messageDelete =
        deleteLeaf(display, "message-delete", "Delete a message", IOCTL_SC_HD_MESSAGE_DELETE,
                   &SC_HD_RECORD::MessageID, &message_, "message");
    byteArgument(messageDelete, "MESSAGE", &message_, "Message number");
  }

  // A display request that sends one byte in Value and says what it set.
  CLI::App* valueLeaf(CLI::App* display, const std::string& name, const std::string& description,
                      uint32_t code, const std::string& lead, const std::string& field) {
    return leaf(display, name, description, {code}, [this, lead, field] {
      SC_HD_RECORD request = emptyRecord();
      request.Value = byteOf(value_);
      return Plan{displayStep(request, [lead, field](const SC_HD_RECORD& r) {
        Answer answer = say(lead + std::to_string(r.Value));
        answer.fields.number(field, r.Value);
        return answer;
      })};
    });
  }

  // A display request that deletes a group or a message by its number.
  CLI::App* deleteLeaf(CLI::App* display, const std::string& name, const std::string& description,
                       uint32_t code, SC_UINT8 SC_HD_RECORD::*number, const std::string* argument,
                       const std::string& noun) {
    return leaf(display, name, description, {code}, [number, argument, noun] {
      SC_HD_RECORD request = emptyRecord();
      request.*number = byteOf(*argument);
      return Plan{displayStep(request, [number, noun](const SC_HD_RECORD& r) {
        Answer answer = say("display: " + noun + " " + std::to_string(r.*number) + " deleted");
        answer.fields.number(noun, r.*number);
        return answer;
      })};
    });
  }

  void textArgument(CLI::App* app) {
    app->add_option("TEXT", text_, "Exactly four printable characters")
        ->required()
        ->check(kDisplayText)
        ->type_name("");
  }

  void declareCardlan() {
    CLI::App* cardlan = group("cardlan", "Connect or disconnect the Cardlan link to the peripheral cards");

    CLI::App* connect = leaf(cardlan, "connect", "Connect the Cardlan (only while it is disconnected)",
                             {IOCTL_SC_SWITCH_CONNECT}, [this] { return Plan{connectStep()}; });
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

    leaf(cardlan, "disconnect", "Disconnect the Cardlan", {IOCTL_SC_SWITCH_DISCONNECT}, [] {
      SC_SWITCH_RECORD request;
      std::memset(&request, 0, sizeof(request));
      Step step = switchStep(request, "Cardlan: disconnected; in force: ");
      step.meanings[kStatusInvalidParameter] = "the Cardlan is already disconnected";
      return Plan{step};
    });
  }

  Step connectStep() const {
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
    Step step = switchStep(request, "Cardlan: connecting with ");
    step.meanings[kStatusInvalidParameter] = "the Cardlan is not disconnected; disconnect it first";
    if (request.ConfigSource == CS_REGISTRY) {
      step.meanings[kStatusUnsuccessful] =
          "the controller did not answer, or CardID, SignallingType or TNMappingType is missing from the "
          "Parameters key";
    }
    return step;
  }

  void declareTrace() {
    CLI::App* trace = leaf(&app_, "trace", "Set the driver's trace level; prints the level it replaces",
                           {IOCTL_SC_DEBUG_LEVEL}, [this] {
                             int32_t level = static_cast<int32_t>(byteOf(level_));
                             Step step;
                             step.input.resize(sizeof(level));
                             std::memcpy(step.input.data(), &level, sizeof(level));
                             step.outputLength = sizeof(level);
                             step.read = [level](const std::vector<uint8_t>& reply) {
                               int32_t previous = 0;
                               std::memcpy(&previous, reply.data(), std::min(reply.size(), sizeof(previous)));
                               Answer answer = say("trace level: " + std::to_string(level) + " (was " +
                                                   std::to_string(previous) + ")");
                               answer.fields.number("level", level);
                               answer.fields.number("previousLevel", previous);
                               return answer;
                             };
                             return Plan{step};
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
  bool json_ = false;
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
  std::vector<std::string> words;
  for (const std::string& a : args) {
    if (a != "--json") words.push_back(a);
  }
  auto known = deepest->get_subcommands([](const CLI::App*) { return true; });
  if (known.empty() || depth >= words.size() || words[depth].empty() || words[depth][0] == '-') return "";
  std::string names;
  for (const CLI::App* sub : known) names += (names.empty() ? "" : ", ") + sub->get_name();
  return "'" + words[depth] + "' is not a subcommand; the subcommands here are: " + names;
}

// How the run ended, as standard error or the --json object tells it.
class Report {
 public:
  Report(bool json, std::ostream& out, std::ostream& err) : json_(json), out_(out), err_(err) {}

  void command(const std::string& path) {
    path_ = path;
    if (!path.empty()) fields_.text("command", path);
  }
  // A reply's words, as soon as they are known.
  void answer(const Answer& a) {
    fields_.append(a.fields);
    if (!json_ && !a.words.empty()) out_ << a.words << '\n';
  }
  // The status of the first request refused, or else of the last.
  void status(uint32_t status) {
    if (exit_ != kExitSuccess) return;
    fields_.text("status", hex(status, 8));
    const StatusInfo* info = findStatus(status);
    if (info != nullptr) fields_.text("statusName", info->name);
  }
  // The first failure decides the exit status; every one is told.
  void fail(int exitStatus, const std::string& what, const std::string& message) {
    if (exit_ == kExitSuccess) {
      exit_ = exitStatus;
      fields_.text("error", what.empty() ? message : what + ": " + message);
    }
    if (!json_) err_ << "scctl: " << (what.empty() ? "" : what + ": ") << message << '\n';
  }
  void usage(const std::string& message, const std::string& hint) {
    exit_ = kExitUsage;
    fields_.text("error", message);
    if (!json_) err_ << "scctl: " << (path_.empty() ? "" : path_ + ": ") << message << '\n' << hint << '\n';
  }
  int finish() {
    if (json_) {
      Fields all;
      all.number("exit", exit_);
      all.append(fields_);
      out_ << all.object() << '\n';
    }
    return exit_;
  }

 private:
  bool json_;
  std::ostream& out_;
  std::ostream& err_;
  std::string path_;
  Fields fields_;
  int exit_ = kExitSuccess;
};

int usageError(const CLI::Error& e, const CLI::App& app, const std::vector<std::string>& args,
               Report& report) {
  std::string path = subcommandPath(app);
  std::string unknown = unknownSubcommand(app, args);
  report.command(path);
  report.usage(unknown.empty() ? e.what() : unknown,
               "Run 'scctl " + (path.empty() ? "" : path + " ") + "--help' for usage.");
  return report.finish();
}

// The event the driver logs when it finds no board, as the System log
// numbers it: the low word of its identifier. The catalogue types its
// identifiers NTSTATUS, which user mode has no header for.
using NTSTATUS = uint32_t;
constexpr uint32_t kNoBoardEvent = static_cast<uint32_t>(MSG_NO_LPC_CONTROLLER) & 0xFFFF;

void openFailure(OpenResult result, const std::string& detail, Report& report) {
  std::string message = std::string("cannot open ") + kDevicePath + " (" + detail + "): ";
  switch (result) {
    case OpenResult::NotFound:
      report.fail(kExitAbsent, "",
                  message +
                      "no such device; the TAMRIXSC driver is not installed, not started, or found no board "
                      "(then the System log has event " +
                      std::to_string(kNoBoardEvent) + " from TAMRIXSC, MSG_NO_LPC_CONTROLLER)");
      break;
    case OpenResult::AccessDenied:
      report.fail(kExitDenied, "",
                  message + "access denied; run scctl as an administrator (elevated, where Windows asks)");
      break;
    default: report.fail(kExitRefused, "", message + "the system refused"); break;
  }
}

// The exit status of a request the driver or the system completed with a
// failure status.
int exitOf(uint32_t status) {
  if (status == kStatusAccessDenied) return kExitDenied;
  if (status == kStatusNameNotFound) return kExitAbsent;
  return kExitRefused;
}

void send(const std::string& what, const Step& step, Device& device, Report& report) {
  std::vector<uint8_t> buffer = step.input;
  buffer.resize(std::max<size_t>(buffer.size(), step.outputLength), 0);
  Completion done =
      device.control(step.code, &buffer, static_cast<uint32_t>(step.input.size()), step.outputLength);
  if (!done.statusKnown) {
    report.fail(kExitRefused, what,
                "the system refused the request (error " + std::to_string(done.systemError) + ")");
    return;
  }
  report.status(done.status);
  if (isFailure(done.status)) {
    const StatusInfo* info = findStatus(done.status);
    auto specific = step.meanings.find(done.status);
    std::string message = "refused by the driver: " + statusName(done.status);
    if (specific != step.meanings.end()) {
      message += "; " + specific->second;
    } else if (info != nullptr) {
      message += "; " + std::string(info->meaning);
    }
    report.fail(exitOf(done.status), what, message);
    return;
  }
  if (done.information < step.outputLength) {
    report.fail(kExitRefused, what,
                "the driver answered " + std::to_string(done.information) + " bytes, expected " +
                    std::to_string(step.outputLength));
    return;
  }
  buffer.resize(done.information);
  Answer answer = step.read(buffer);
  report.answer(answer);
  if (!answer.refusal.empty()) report.fail(kExitRefused, what, answer.refusal);
}

}  // namespace

std::string statusName(uint32_t status) {
  const StatusInfo* info = findStatus(status);
  return info == nullptr ? hex(status, 8) : std::string(info->name) + " (" + hex(status, 8) + ")";
}

std::vector<Subcommand> subcommands() { return CommandLine().subcommands(); }

int run(const std::vector<std::string>& args, Device& device, std::ostream& out, std::ostream& err) {
  CommandLine line;
  CLI::App& app = line.app();
  // Known before parsing, so that a usage error is reported the way asked.
  bool json = std::find(args.begin(), args.end(), "--json") != args.end();
  Report report(json, out, err);
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
  } catch (const CLI::CallForVersion& version) {
    if (!json) {
      out << version.what() << '\n';
      return kExitSuccess;
    }
    Fields fields;
    fields.number("exit", kExitSuccess);
    fields.text("version", TAMRIXSC_VERSION_TEXT);
    out << fields.object() << '\n';
    return kExitSuccess;
  } catch (const CLI::Error& e) {
    return usageError(e, app, args, report);
  }
  std::string path = subcommandPath(app);
  report.command(path);
  std::string detail;
  OpenResult opened = device.open(&detail);
  if (opened != OpenResult::Opened) {
    openFailure(opened, detail, report);
    return report.finish();
  }
  for (const Step& step : plan) {
    send(plan.size() > 1 ? path + ": " + step.label : path, step, device, report);
  }
  return report.finish();
}

}  // namespace scctl
