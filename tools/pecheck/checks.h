// pecheck's checks of an image the PE reader (pe/pe_image.h) has read: a
// driver image for the 32-bit target, or a console program that runs on any
// Windows installation, and the allow list of imported routines.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "pe_image.h"

namespace pecheck {

// One line of text: backslash, CR, LF, tab and other control characters
// written as C escapes.
std::string escapeText(const std::string& text);

// The findings of the driver-image checks; empty when the image passes.
std::vector<std::string> checkDriverImage(const pe::PeImage& image);

// The findings of the console-program checks (PE32, i386, console
// subsystem, imports only from DLLs every Windows installation has); empty
// when the program passes.
std::vector<std::string> checkConsoleProgram(const pe::PeImage& image);

// An allow list of imported routines: one per line, either "Function"
// (from any permitted module) or "module!Function" (module compared without
// case). '#' starts a comment.
class ImportAllowList {
 public:
  bool loadFile(const std::string& path, std::string* error);
  void parse(const std::string& text);
  bool allows(const pe::Import& import) const;
  // Listed routines (module!Routine entries) that `imports` lacks.
  std::vector<std::string> missing(const std::vector<pe::Import>& imports) const;

 private:
  std::set<std::string> functions_;
  std::set<std::string> qualified_;  // module lower-cased
};

}  // namespace pecheck
