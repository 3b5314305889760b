// The scsim script language: lines of words that set up the board, drive
// the machine and print what the driver and the board did.
//
// A script is read line by line and each line runs before the next one is
// read, so a script on standard input behaves the same as one in a file.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
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
