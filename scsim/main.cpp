// scsim [--image DRIVER.sys] [FILE]: runs a board script (FILE, or standard
// input when FILE is absent or "-") on the simulated machine with the driver
// loaded into it: the driver compiled into scsim, or the given image.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "Machine.h"
#include "Script.h"
#include "sim/image.h"

namespace {
bool readFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}
}  // namespace

int main(int argc, char** argv) {
  std::string path = "-";
  std::string imagePath;
  bool havePath = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" && argc == 2) {
      std::cout << scsim::usageText();
      return 0;
    } else if (arg == "--image" && i + 1 < argc) {
      imagePath = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::cerr << "scsim: unknown option " << arg << '\n' << scsim::usageText();
      return 2;
    } else if (!havePath) {
      path = arg;
      havePath = true;
    } else {
      std::cerr << scsim::usageText();
      return 2;
    }
  }
  std::vector<uint8_t> image;
  if (!imagePath.empty()) {
    if (!sim::kRunsImages) {
      std::cerr
          << "scsim: --image needs the 32-bit build of scsim (CMake preset host32, build/host32/scsim); "
             "this build runs only the driver compiled into it\n";
      return 2;
    }
    if (!readFile(imagePath, &image) || image.empty()) {
      std::cerr << "scsim: cannot read " << imagePath << '\n';
      return 2;
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
  if (!image.empty()) script.machine().useImage(std::move(image));
  int status = script.run(path == "-" ? std::cin : file);
  std::cout.flush();
  return status;
}
