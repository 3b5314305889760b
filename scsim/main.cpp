// scsim [--vcd WAVES.vcd] [FILE]: runs a board script (FILE, or standard
// input when FILE is absent or "-") on the simulated machine with the
// driver loaded into it.
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "Script.h"
#include "Vcd.h"

namespace {
int usageError() {
  std::cerr << scsim::usageText();
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::cout << scsim::usageText();
    return 0;
  }
  std::string path = "-";
  std::string vcdPath;
  bool havePath = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--vcd") {
      if (i + 1 >= argc || !vcdPath.empty()) return usageError();
      vcdPath = argv[++i];
    } else if (!havePath && (arg == "-" || arg.empty() || arg[0] != '-')) {
      path = arg;
      havePath = true;
    } else {
      return usageError();
    }
  }
  std::ifstream file;
  if (path != "-") {
    file.open(path);
    if (!file) {
      std::cerr << "scsim: cannot open " << path << '\n';
      return 2;
    }
  }
  std::ios::sync_with_stdio(false);
  scsim::Script script(std::cout, std::cerr);
  std::unique_ptr<scsim::VcdWriter> vcd;
  if (!vcdPath.empty()) {
    vcd = std::make_unique<scsim::VcdWriter>(vcdPath, script.machine());
    if (!vcd->good()) {
      std::cerr << "scsim: cannot write " << vcdPath << '\n';
      return 2;
    }
  }
  int status = script.run(path == "-" ? std::cin : file);
  std::cout.flush();
  return status;
}
