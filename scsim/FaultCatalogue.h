// The fault catalogue: every `controller` command of a script is one row,
// the faults of the controller link and the firmware settings a script
// gives the controller model. A row says how the command is written, how
// long what it arms lasts and what ends it, what the link-fault matrix
// expects of it and which trace of the driver names it, and holds the one
// function that applies it to the model.
//
// The script table, the usage text, the manual's list (docs/scsim.md), the
// link-fault matrix and the machine fuzzer all read this table: adding a
// fault is one row and its function here, plus the fault's own mechanism in
// the model (board/Controller.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller.h"

namespace scsim {

// What one argument is: how it is read, shown in the usage and chosen by the
// machine fuzzer.
enum class ArgKind : uint8_t {
  Byte,        // 0 to 255
  Code,        // 0 to 255, a command code of the controller protocol
  Count,       // 0 to 0xFFFFFFFF, a number of frames
  Micros,      // 0 to 0xFFFFFFFF microseconds
  Index,       // 0 to 255, the position of a byte in a frame
  Text,        // one word of at most 64 bytes
  Data,        // the rest of the line: at most 64 bytes
  Word,        // one of `words`
  ByteOrWord,  // a byte, or the one word in `words`
};

struct FaultArg {
  ArgKind kind;
  const char* name;        // as the usage shows it: "N", "CODE"
  bool optional;           // may be left out; only the last argument
  const char* words = "";  // Word and ByteOrWord: the words, '|' between them
};

// An argument as read from a script line.
struct ArgValue {
  bool given = false;
  int64_t number = 0;
  std::string word;            // Word, Text, and ByteOrWord given as its word
  std::vector<uint8_t> bytes;  // Data
};
using ArgValues = std::vector<ArgValue>;

// How long what a row arms lasts.
enum class Arming : uint8_t {
  Setting,  // a value of the firmware, until set again
  Once,     // the next occurrence only
  Count,    // the next N occurrences
  Stays,    // until cleared
  Clears,   // ends faults that stay
};

// What the link-fault matrix expects of the operation a fault is aimed at.
enum class Outcome : uint8_t {
  NotInMatrix,  // not a fault of the link; `whyNot` says why
  ForGood,      // every attempt fails until the controller works again
  Once,         // the attempt it hits fails; a retry goes through
  Harmless,     // the transaction succeeds, with a warning
};

// When the matrix arms a case, relative to the transaction it aims at.
enum class Aim : uint8_t {
  ByCode,   // before the step: the fault picks its frame by the command code
  Command,  // after the transaction before, before the command frame starts
  Reply,    // once the controller has taken the command frame in
};

// What a matrix case knows of the transaction it hits.
struct Target {
  uint8_t code;
  uint8_t commandLength;  // of the command frame
  uint8_t replyLength;    // of the reply a working controller sends
  uint8_t capacity;       // reply data bytes the caller has room for
};

// One way the matrix aims a row's fault: its arguments and the trace line
// (or the start of it) by which the driver names what it met.
struct MatrixCase {
  const char* name;
  Aim aim;
  bool hidesCommand;  // the controller never sees the attempt's command code
  std::vector<std::string> (*args)(const Target&);
  std::string (*trace)(const Target&);
};

struct ControllerFault {
  uint8_t id;  // the machine fuzzer's choice of the row: fixed, never reused
  const char* sub;
  std::vector<FaultArg> args;
  Arming arming;
  const char* endedBy;  // for the manual
  const char* effect;   // for the manual
  Outcome outcome;
  std::vector<MatrixCase> cases;  // empty when not in the matrix
  const char* whyNot;             // not in the matrix: the reason
  void (*apply)(board::Controller& controller, const ArgValues& args);
};

// Row ids lie below this; the fuzzer reads a row's id from one byte, modulo
// this, so that rows added later leave the choices of existing inputs be.
constexpr uint8_t kFaultIdSpace = 32;

const std::vector<ControllerFault>& faultCatalogue();
const ControllerFault* faultNamed(const std::string& sub);
const ControllerFault* faultWithId(uint8_t id);

// The words a Word or ByteOrWord argument takes.
std::vector<std::string> wordsOf(const FaultArg& arg);
// The arguments as the usage shows them: "N [CODE]".
std::string argsUsage(const ControllerFault& fault);
// Bounds on the number of argument words.
size_t minArgWords(const ControllerFault& fault);
size_t maxArgWords(const ControllerFault& fault);
// Reads the words after the subcommand; a ScriptError names a bad one.
ArgValues readArgs(const ControllerFault& fault, const std::vector<std::string>& words);

// The manual's table of the catalogue, as docs/scsim.md holds it.
std::string manualTable();

}  // namespace scsim
