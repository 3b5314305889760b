// scsim [FILE]: runs a board script (FILE, or standard input when FILE is
// absent or "-") on the simulated machine with the driver loaded into it.
#include <fstream>
#include <iostream>
#include <string>

#include "Script.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::cout << scsim::usageText();
    return 0;
  }
  if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0')) {
    std::cerr << scsim::usageText();
    return 2;
  }
  std::string path = argc == 2 ? argv[1] : "-";
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
  int status = script.run(path == "-" ? std::cin : file);
  std::cout.flush();
  return status;
}
