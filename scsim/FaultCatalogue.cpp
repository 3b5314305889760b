#include "FaultCatalogue.h"

#include "Script.h"

namespace scsim {
namespace {

// Data bytes of a controller message: the frame holds at most 64.
constexpr size_t kMaxData = 64;
constexpr size_t kMaxText = board::Controller::kMaxVersion;

using Words = std::vector<std::string>;

uint8_t byteOf(const ArgValue& v) { return static_cast<uint8_t>(v.number); }

std::string number(int n) { return std::to_string(n); }

// The trace of a command frame cut off before byte `sent`.
std::string cutCommand(int sent) {
  return "CMessage::doSend() !!!!! WARNING Incomplete cycle; bytes sent [" + number(sent) + "]";
}

std::string replyAborted(const std::string& why) {
  return "CMessage::receive() ***** ERROR " + why + "; transaction aborted";
}

// The rows. Beyond the board's contract: latency, reply-length, reply-data,
// trdy-lost and treq-held.
const std::vector<ControllerFault>& rows() {
  static const std::vector<ControllerFault> table = {
      {0,
       "silent",
       {},
       Arming::Stays,
       "`controller alive`",
       "the controller stops driving TRDY and TREQ, which then read deasserted, and answers nothing",
       Outcome::ForGood,
       {{"silent", Aim::Command, true, [](const Target&) { return Words{}; },
         [](const Target&) { return cutCommand(0); }}},
       nullptr,
       [](board::Controller& c, const ArgValues&) { c.setSilent(true); }},
      {1,
       "alive",
       {},
       Arming::Clears,
       "-",
       "the controller works again: silence and a stuck TRDY end",
       Outcome::NotInMatrix,
       {},
       "it ends faults; the matrix heals the controller with it after each cell",
       [](board::Controller& c, const ArgValues&) { c.setSilent(false); }},
      {2,
       "no-reply",
       {{ArgKind::Count, "N", false}, {ArgKind::Code, "CODE", true}},
       Arming::Count,
       "N frames taken in; `controller no-reply 0`",
       "the next N command frames (of command code CODE only, when given) are taken in but never answered: "
       "TREQ is not raised",
       Outcome::Once,
       {{"no-reply", Aim::ByCode, false,
         [](const Target& t) {
           return Words{"1", number(t.code)};
         },
         [](const Target&) { return replyAborted("Device timeout [TREQ not asserted]"); }}},
       nullptr,
       [](board::Controller& c, const ArgValues& a) {
         auto& f = c.faults();
         f.noReplyCount = static_cast<uint32_t>(a[0].number);
         f.noReplyCode.reset();
         if (a[1].given) f.noReplyCode = byteOf(a[1]);
       }},
      {3,
       "post",
       {{ArgKind::Byte, "CODE", false}},
       Arming::Setting,
       "set again",
       "status byte of the replies to DRIVER_CONNECT: the BIOS POST code",
       Outcome::NotInMatrix,
       {},
       "a setting of the firmware, not a fault of the link",
       [](board::Controller& c, const ArgValues& a) { c.firmware().postCode = byteOf(a[0]); }},
      {4,
       "version",
       {{ArgKind::Text, "TEXT", false}},
       Arming::Setting,
       "set again",
       "the firmware version text (its bytes, at most 64)",
       Outcome::NotInMatrix,
       {},
       "a setting of the firmware, not a fault of the link",
       [](board::Controller& c, const ArgValues& a) { c.firmware().version = a[0].word; }},
      {5,
       "slots",
       {{ArgKind::Byte, "P", false}, {ArgKind::Byte, "S", false}},
       Arming::Setting,
       "set again",
       "the two slot report bytes of every POLL reply",
       Outcome::NotInMatrix,
       {},
       "a setting of the firmware, not a fault of the link",
       [](board::Controller& c, const ArgValues& a) {
         c.firmware().slotPrimary = byteOf(a[0]);
         c.firmware().slotSecondary = byteOf(a[1]);
       }},
      {6,
       "errors",
       {{ArgKind::Byte, "COMM", false}, {ArgKind::Byte, "POLL", false}},
       Arming::Setting,
       "set again",
       "the two error counters of every POLL reply",
       Outcome::NotInMatrix,
       {},
       "a setting of the firmware, not a fault of the link",
       [](board::Controller& c, const ArgValues& a) {
         c.firmware().commErrors = byteOf(a[0]);
         c.firmware().pollErrors = byteOf(a[1]);
       }},
      {7,
       "status",
       {{ArgKind::Code, "CODE", false}, {ArgKind::ByteOrWord, "VALUE", false, "normal"}},
       Arming::Stays,
       "`controller status CODE normal`",
       "status byte of every reply to command code CODE; `normal`: the model's own status again",
       Outcome::NotInMatrix,
       {},
       "a well-formed reply that refuses; the request tests hold what the driver makes of each status",
       [](board::Controller& c, const ArgValues& a) {
         auto& overrides = c.firmware().statusOverride;
         if (a[1].word.empty()) {
           overrides[byteOf(a[0])] = byteOf(a[1]);
         } else {
           overrides.erase(byteOf(a[0]));
         }
       }},
      {8,
       "corrupt",
       {{ArgKind::Word, "WHAT", false, "checksum"}},
       Arming::Once,
       "the next reply",
       "the next reply carries a wrong checksum",
       Outcome::Once,
       {{"corrupt-checksum", Aim::Reply, false, [](const Target&) { return Words{"checksum"}; },
         [](const Target&) { return std::string("CMessage::receive() ***** ERROR Invalid checksum ["); }}},
       nullptr,
       [](board::Controller& c, const ArgValues&) { c.faults().corruptChecksum = true; }},
      {9,
       "unsolicited",
       {{ArgKind::Byte, "STATUS", false}, {ArgKind::Data, "DATA", true}},
       Arming::Once,
       "the host reading it",
       "before the next command the controller raises TREQ with a well-formed message of its own, of this "
       "status and at most 64 data bytes",
       Outcome::Harmless,
       {{"unsolicited", Aim::Command, false,
         [](const Target&) {
           return Words{"0x55", "0x01", "0x02", "0x03"};
         },
         [](const Target&) {
           return std::string(
               "CMessage::prepareTarget() !!!!! WARNING Message pending from 8051 [07 00 55 01 02 03 00 00 "
               "...]; "
               "dumped");
         }}},
       nullptr,
       [](board::Controller& c, const ArgValues& a) { c.postUnsolicited(byteOf(a[0]), a[1].bytes); }},
      {10,
       "stuck-trdy",
       {},
       Arming::Stays,
       "`controller alive`",
       "after the next strobe TRDY is never released again",
       Outcome::ForGood,
       {{"stuck-trdy", Aim::Command, true, [](const Target&) { return Words{}; },
         [](const Target&) { return cutCommand(0); }}},
       nullptr,
       [](board::Controller& c, const ArgValues&) { c.faults().stuckTrdyArmed = true; }},
      {11,
       "latency",
       {{ArgKind::Micros, "US", false}, {ArgKind::Code, "CODE", true}},
       Arming::Setting,
       "set again",
       "the controller raises TREQ with its reply US microseconds after a command (of command code CODE "
       "only, when given)",
       Outcome::NotInMatrix,
       {},
       "timing, not a fault; a reply later than the reply timer is met as no reply, which the matrix holds",
       [](board::Controller& c, const ArgValues& a) {
         const uint32_t us = static_cast<uint32_t>(a[0].number);
         if (a[1].given) {
           c.setReplyLatencyUs(byteOf(a[1]), us);
         } else {
           c.setReplyLatencyUs(us);
         }
       }},
      {12,
       "reply-length",
       {{ArgKind::Byte, "L", false}},
       Arming::Once,
       "the next reply",
       "the next reply carries the length byte L",
       Outcome::Once,
       {{"reply-length-3", Aim::Reply, false, [](const Target&) { return Words{"3"}; },
         [](const Target&) { return replyAborted("Invalid message length [3]"); }},
        {"reply-length-69", Aim::Reply, false, [](const Target&) { return Words{"69"}; },
         [](const Target&) { return replyAborted("Invalid message length [69]"); }}},
       nullptr,
       [](board::Controller& c, const ArgValues& a) { c.faults().replyLength = byteOf(a[0]); }},
      {13,
       "reply-data",
       {{ArgKind::Data, "DATA", true}},
       Arming::Once,
       "the next reply",
       "the next reply carries these data bytes, at most 64, instead of its own",
       Outcome::Once,
       {{"reply-over-capacity", Aim::Reply, false,
         [](const Target& t) { return Words(t.capacity + 1u, "0x41"); },
         [](const Target& t) {
           return "CMessage::receive() ***** ERROR Message too long; data length [" + number(t.capacity + 5) +
                  "]; buffer size [" + number(t.capacity) + "]";
         }}},
       nullptr,
       [](board::Controller& c, const ArgValues& a) { c.faults().replyData = a[0].bytes; }},
      {14,
       "trdy-lost",
       {{ArgKind::Word, "SIDE", false, "host|reply"}, {ArgKind::Index, "K", false}},
       Arming::Once,
       "the next frame of that side",
       "in the next command frame (host) or reply (reply), TRDY never comes for byte K",
       Outcome::Once,
       {{"trdy-lost-host-0", Aim::Command, true,
         [](const Target&) {
           return Words{"host", "0"};
         },
         [](const Target&) { return cutCommand(0); }},
        {"trdy-lost-host-last", Aim::Command, false,
         [](const Target& t) {
           return Words{"host", number(t.commandLength - 1)};
         },
         [](const Target& t) { return cutCommand(t.commandLength - 1); }},
        {"trdy-lost-reply-0", Aim::Reply, false,
         [](const Target&) {
           return Words{"reply", "0"};
         },
         [](const Target&) { return replyAborted("Failed to read 1st byte"); }},
        {"trdy-lost-reply-status", Aim::Reply, false,
         [](const Target&) {
           return Words{"reply", "2"};
         },
         [](const Target&) { return replyAborted("Failed to read 'Status' byte"); }},
        {"trdy-lost-reply-last", Aim::Reply, false,
         [](const Target& t) {
           return Words{"reply", number(t.replyLength - 1)};
         },
         [](const Target&) { return replyAborted("Failed to read checksum byte"); }}},
       nullptr,
       [](board::Controller& c, const ArgValues& a) {
         auto& f = c.faults();
         (a[0].word == "host" ? f.trdyLostHostByte : f.trdyLostReplyByte) = static_cast<int>(a[1].number);
       }},
      {15,
       "treq-held",
       {},
       Arming::Once,
       "the next reply",
       "after the next reply TREQ stays asserted: the reply is pending again, as a message",
       Outcome::Harmless,
       {{"treq-held", Aim::Reply, false, [](const Target&) { return Words{}; },
         [](const Target&) {
           return std::string(
               "CMessage::receive() !!!!! WARNING Device timeout on exit [TREQ still asserted]");
         }}},
       nullptr,
       [](board::Controller& c, const ArgValues&) { c.faults().treqHeld = true; }},
  };
  return table;
}

// What a bad argument's error names: the command, and the argument when
// there are several.
std::string label(const ControllerFault& fault, const FaultArg& arg) {
  std::string what = std::string("controller ") + fault.sub;
  if (fault.args.size() > 1) what += std::string(" ") + arg.name;
  return what;
}

// "host or reply"
std::string alternatives(const FaultArg& arg) {
  std::string text;
  const Words choices = wordsOf(arg);
  for (size_t i = 0; i < choices.size(); i++) text += (i == 0 ? "" : " or ") + choices[i];
  return text;
}

ArgValue readArg(const FaultArg& arg, const std::string& word, const std::string& what) {
  ArgValue v;
  v.given = true;
  switch (arg.kind) {
    case ArgKind::Byte:
    case ArgKind::Code:
    case ArgKind::Index:
    case ArgKind::Data: v.number = scriptNumber(word, 0, 0xFF, what); break;
    case ArgKind::Count:
    case ArgKind::Micros: v.number = scriptNumber(word, 0, 0xFFFFFFFFLL, what); break;
    case ArgKind::Text:
      if (word.size() > kMaxText) {
        throw ScriptError(what + ": " + std::to_string(word.size()) + " bytes, at most " +
                          std::to_string(kMaxText));
      }
      v.word = word;
      break;
    case ArgKind::Word: {
      const Words choices = wordsOf(arg);
      bool known = false;
      for (const std::string& c : choices) known = known || c == word;
      if (!known) throw ScriptError(what + ": '" + word + "' is not " + alternatives(arg));
      v.word = word;
      break;
    }
    case ArgKind::ByteOrWord:
      if (word == arg.words) {
        v.word = word;
      } else {
        v.number = scriptNumber(word, 0, 0xFF, what);
      }
      break;
  }
  return v;
}

const char* armingText(Arming arming) {
  switch (arming) {
    case Arming::Setting: return "until set again";
    case Arming::Once: return "once";
    case Arming::Count: return "N times";
    case Arming::Stays: return "until ended";
    case Arming::Clears: return "-";
  }
  return "";
}

std::string outcomeText(const ControllerFault& fault) {
  switch (fault.outcome) {
    case Outcome::NotInMatrix: return std::string("not in it (") + fault.whyNot + ")";
    case Outcome::ForGood: return "every attempt fails";
    case Outcome::Once: return "the attempt it hits fails; a retry goes through";
    case Outcome::Harmless: return "the transaction succeeds, with a warning";
  }
  return "";
}

}  // namespace

const std::vector<ControllerFault>& faultCatalogue() { return rows(); }

const ControllerFault* faultNamed(const std::string& sub) {
  for (const ControllerFault& f : rows()) {
    if (sub == f.sub) return &f;
  }
  return nullptr;
}

const ControllerFault* faultWithId(uint8_t id) {
  for (const ControllerFault& f : rows()) {
    if (f.id == id) return &f;
  }
  return nullptr;
}

std::vector<std::string> wordsOf(const FaultArg& arg) {
  Words words;
  std::string text = arg.words;
  size_t start = 0;
  for (size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1) {
    words.push_back(text.substr(start, bar - start));
  }
  words.push_back(text.substr(start));
  return words;
}

std::string argsUsage(const ControllerFault& fault) {
  std::string usage;
  for (const FaultArg& a : fault.args) {
    std::string shown = a.name;
    if (a.kind == ArgKind::Word) shown = a.words;
    if (a.kind == ArgKind::ByteOrWord) shown += std::string("|") + a.words;
    if (a.kind == ArgKind::Data) shown += "...";
    if (a.optional) shown = "[" + shown + "]";
    usage += (usage.empty() ? "" : " ") + shown;
    if (a.kind == ArgKind::Data) usage += " (at most " + std::to_string(kMaxData) + " data bytes)";
  }
  return usage;
}

size_t minArgWords(const ControllerFault& fault) {
  size_t n = 0;
  for (const FaultArg& a : fault.args) n += a.optional ? 0 : 1;
  return n;
}

size_t maxArgWords(const ControllerFault& fault) {
  size_t n = 0;
  for (const FaultArg& a : fault.args) n += a.kind == ArgKind::Data ? kMaxData : 1;
  return n;
}

ArgValues readArgs(const ControllerFault& fault, const std::vector<std::string>& words) {
  if (words.size() < minArgWords(fault) || words.size() > maxArgWords(fault)) {
    throw ScriptError("expected 'controller " + std::string(fault.sub) + " " + argsUsage(fault) + "'");
  }
  ArgValues values(fault.args.size());
  size_t next = 0;
  for (size_t i = 0; i < fault.args.size(); i++) {
    const FaultArg& arg = fault.args[i];
    const std::string what = label(fault, arg);
    if (arg.kind == ArgKind::Data) {
      values[i].given = true;
      for (; next < words.size(); next++) values[i].bytes.push_back(byteOf(readArg(arg, words[next], what)));
      continue;
    }
    if (next < words.size()) values[i] = readArg(arg, words[next++], what);
  }
  return values;
}

std::string manualTable() {
  std::string text =
      "| command | effect | lasts | ended by | in the link-fault matrix |\n"
      "|---|---|---|---|---|\n";
  for (const ControllerFault& f : rows()) {
    std::string usage = std::string("controller ") + f.sub;
    std::string args = argsUsage(f);
    // The command cell holds the form alone; a note in parentheses is the
    // usage's, and the effect says the same.
    const size_t note = args.find(" (");
    if (note != std::string::npos) args.resize(note);
    if (!args.empty()) usage += " " + args;
    // A bar inside a cell is written \| in the manual's tables.
    for (size_t bar = 0; (bar = usage.find('|', bar)) != std::string::npos; bar += 2) usage.insert(bar, "\\");
    text += "| `" + usage + "` | " + f.effect + " | " + armingText(f.arming) + " | " + f.endedBy + " | " +
            outcomeText(f) + " |\n";
  }
  return text;
}

}  // namespace scsim
