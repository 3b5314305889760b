// The scsim script language: lines of words that set up the board, drive
// the machine and print what the driver and the board did.
//
// A script is read line by line and each line runs before the next one is
// read, so a script on standard input behaves the same as one in a file.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace scsim {

// Splits one line into words: blanks separate words, `#` outside quotes
// ends the line, and a double-quoted part of a word may hold blanks and the
// escapes \\, \" and \xHH. False, with the reason in *error, for a line that
// cannot be split (an open quote, an unknown escape).
bool splitLine(const std::string& line, std::vector<std::string>* words, std::string* error);

// A number as scripts write it: decimal with an optional leading `-`, or
// `0x` and hex digits. False for anything else, or beyond 64 bits.
bool parseNumber(const std::string& word, int64_t* value);

// A script line that cannot run: the message says why; the runner names the
// line.
class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A number of a script between `min` and `max`; a ScriptError that names
// `what` otherwise.
int64_t scriptNumber(const std::string& word, int64_t min, int64_t max, const std::string& what);

// The kernel and HAL routines a script can make fail, each with the number
// the machine fuzzer chooses it by: fixed, never reused.
struct FailableRoutine {
  uint8_t id;
  const char* name;
};
const std::vector<FailableRoutine>& failableRoutines();
// The fuzzer reads a routine's id from one byte, modulo this.
constexpr uint8_t kFailableIdSpace = 32;

class Interpreter;
class Machine;

class Script {
 public:
  // Machine lines go to `out`; script errors go to `err`.
  Script(std::ostream& out, std::ostream& err);
  ~Script();
  Script(const Script&) = delete;
  Script& operator=(const Script&) = delete;

  // Runs every line of `in` and returns the exit status: 0 when the script
  // ran to its end, 1 when the verifier reported a violation, 2 on a script
  // error (nothing after the failing line runs).
  int run(std::istream& in);

  // The machine the script drives, for a test that reaches past the
  // script language.
  Machine& machine();

 private:
  std::unique_ptr<Interpreter> interpreter_;
};

// The usage of scsim and a summary of the script commands, as --help
// prints it.
std::string usageText();

// Runs a whole script held in a string; what it printed lands in *out and
// *err.
int runScript(const std::string& text, std::string* out, std::string* err);

}  // namespace scsim
