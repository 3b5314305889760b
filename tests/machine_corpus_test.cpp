// The machine fuzzer's seeds keep their meaning: each decodes to a script
// that holds what its name says, and runs as the fuzzer runs it without a
// finding, its output showing that it reached what it exercises. A seed
// without a row here, or a row without its seed, fails.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "MachineScript.h"

namespace {

struct Seed {
  const char* name;
  std::vector<const char*> script;  // lines the script holds
  std::vector<const char*> output;  // parts of lines its run prints
};

const Seed kSeeds[] = {
    // Requests the driver refuses: sizes it does not take, codes it does not
    // know, no buffer.
    {"bad_requests",
     {"ioctl 0x222018 in=11 out=12 0x1 0x2 0x3", "ioctl 0x22204C in=0 out=71", "ioctl 0x222101 in=0",
      "ioctl 0x12345678 in=0", "ioctl 0x222044 in=12 out=0 nobuffer"},
     {"ioctl: code=0x222018 status=0xC000000D", "ioctl: code=0x22204C status=0xC000000D",
      "ioctl: code=0x222101 status=0xC0000010", "ioctl: code=0x12345678 status=0xC0000010",
      "ioctl: code=0x222044 status=0xC000000D"}},
    // Faults of the catalogue the driver meets in the poll and in requests.
    {"controller_faults",
     {"controller silent", "controller alive", "controller slots 0x3 0x3", "controller corrupt checksum",
      "controller treq-held", "controller unsolicited 0x0 0x1 0x2 0x3", "controller stuck-trdy"},
     {"CMessage::doSend() !!!!! WARNING Incomplete cycle", "Sanity poll failed", "ERROR Invalid checksum",
      "TREQ still asserted", "Message pending from 8051"}},
    // Every display request, refused while the Cardlan is being connected.
    {"display_requests",
     {"ioctl 0x222004 in=12", "ioctl 0x222008 in=12", "ioctl 0x22200C in=12", "ioctl 0x222010 in=12",
      "ioctl 0x222014 in=12", "ioctl 0x222018 in=12", "ioctl 0x22201C in=12", "ioctl 0x222020 in=12",
      "ioctl 0x222024 in=12", "ioctl 0x222028 in=12"},
     {"ioctl: code=0x222004 status=", "ioctl: code=0x222008 status=", "ioctl: code=0x22200C status=",
      "ioctl: code=0x222010 status=", "ioctl: code=0x222014 status=", "ioctl: code=0x222018 status=",
      "ioctl: code=0x22201C status=", "ioctl: code=0x222020 status=", "ioctl: code=0x222024 status=",
      "ioctl: code=0x222028 status=", "Cardlan operation in progress"}},
    // Kernel routines failing under a loaded driver: the registry read of a
    // connect request among them.
    {"kernel_failures",
     {"kernel fail IoAllocateErrorLogEntry", "kernel fail ExAllocatePoolWithTag",
      "kernel fail IoAllocateErrorLogEntry 0xC000009A", "kernel fail RtlQueryRegistryValues"},
     {"Invalid Cardlan request [CONNECT]", "load: status=0x00000000"}},
    // A board unlike the default one: GPIO block in memory space, two buses,
    // a clock set back.
    {"odd_board",
     {"superio space memory", "pci buses 2", "clock step -134152192 after 500"},
     {"load: status=0x00000000", "ioctl: code=0x222054 status=0x00000000"}},
    // The requests beside the display's.
    {"other_requests",
     {"ioctl 0x222048 in=12", "ioctl 0x222044 in=12", "ioctl 0x22204C in=0 out=72", "ioctl 0x222050 in=0",
      "ioctl 0x222054 in=0", "ioctl 0x222058 in=0", "ioctl 0x22205C in=4"},
     {"ioctl: code=0x222048 status=0x00000000",
      "ioctl: code=0x222044 status=", "ioctl: code=0x22204C status=0x00000000",
      "ioctl: code=0x222050 status=0x00000000", "ioctl: code=0x222054 status=0x00000000",
      "ioctl: code=0x222058 status=0x00000000", "ioctl: code=0x22205C status=0x00000000"}},
    // Registry values of the wrong type, read with and without the type check.
    {"registry_typed",
     {"registry set-typed DebugLevel 7 0x31 0x0 0x0 0x0", "registry set-typed CmdMaxRetries 11",
      "registry set-typed CardID 4 0x5 0x0", "kernel registry-typecheck off",
      "registry set-string DevTimeoutWatchdogMS"},
     {"load: status=0x00000000", "Invalid Cardlan request [DISCONNECT]"}},
    // Registry values out of range, loads over a loaded driver, a slow
    // controller.
    {"registry_values",
     {"registry set DebugLevel 0x7C", "registry set DevTimeoutPollS 0xC8F508", "registry set-binary CardID",
      "kernel fail MmMapIoSpace 0xC0001D1C 3", "controller latency 250816"},
     {"load: status=0x00000000", "load: status=0xC000010E", "Sanity poll failed"}},
    // The two steps that give the device its DACL, each failing a load.
    {"security_failures",
     {"kernel fail ObOpenObjectByPointer", "kernel fail ZwSetSecurityObject"},
     {"Function 'ObOpenObjectByPointer' failed", "Function 'ZwSetSecurityObject' failed",
      "load: status=0x00000000\nopen: status=0x00000000"}},
};

std::vector<uint8_t> readSeed(const std::string& name) {
  std::ifstream in(std::string(MACHINE_CORPUS) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> seedFiles() {
  std::set<std::string> names;
  DIR* dir = opendir(MACHINE_CORPUS);
  EXPECT_NE(dir, nullptr) << MACHINE_CORPUS;
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') names.insert(e->d_name);
  }
  closedir(dir);
  return names;
}

bool holdsLine(const std::string& script, const std::string& line) {
  return script.rfind(line, 0) == 0 || script.find("\n" + line) != std::string::npos;
}

TEST(MachineCorpus, EverySeedStillReachesWhatItsNameSays) {
  std::set<std::string> files = seedFiles();
  for (const Seed& seed : kSeeds) {
    SCOPED_TRACE(seed.name);
    EXPECT_EQ(files.erase(seed.name), 1u) << "no seed file";
    const std::vector<uint8_t> bytes = readSeed(seed.name);
    const std::string script = fuzz::machineScript(bytes.data(), bytes.size());
    for (const char* line : seed.script) EXPECT_TRUE(holdsLine(script, line)) << line << "\n" << script;
    std::string out;
    std::string err;
    EXPECT_EQ(fuzz::runMachineScript(script, &out, &err), 0) << script << err << out;
    for (const char* part : seed.output) EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
  }
  for (const std::string& name : files) ADD_FAILURE() << "seed " << name << " says nothing it must reach";
}

}  // namespace
