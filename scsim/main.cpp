// scsim [--image DRIVER.sys] [--vcd WAVES.vcd] [FILE]: runs a board script
// (FILE, or standard input when FILE is absent or "-") on the simulated
// machine with the driver loaded into it: the driver compiled into scsim,
// or the given image. --vcd records the GPIO wires over virtual time.
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "Machine.h"
#include "Script.h"
#include "Vcd.h"
#include "sim/image.h"

namespace {
int usageError(const std::string& why = "") {
  if (!why.empty()) std::cerr << "scsim: " << why << '\n';
  std::cerr << scsim::usageText();
  return 2;
}

bool readFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}
}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::cout << scsim::usageText();
    return 0;
  }
  std::string path = "-";
  std::string imagePath;
  std::string vcdPath;
  bool havePath = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--image" || arg == "--vcd") {
      std::string& value = arg == "--image" ? imagePath : vcdPath;
      if (i + 1 >= argc || !value.empty()) return usageError(arg + " needs one file");
      value = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option " + arg);
    } else if (!havePath) {
      path = arg;
      havePath = true;
    } else {
      return usageError();
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
