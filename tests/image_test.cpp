// The loader of the 32-bit simulated kernel with the shipped image: where it
// maps it, what it refuses, and what a failed load leaves behind.
#include "sim/image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Machine.h"
#include "Script.h"

namespace {

std::vector<uint8_t> shippedImage() {
  std::ifstream in(TAMRIXSC_SYS, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

void put16(std::vector<uint8_t>* bytes, size_t offset, uint16_t value) {
  std::memcpy(bytes->data() + offset, &value, 2);
}

// Offsets of PE header fields the tests damage.
size_t fileHeader(const std::vector<uint8_t>& bytes) { return get32(bytes, 0x3C) + 4; }
size_t machineField(const std::vector<uint8_t>& bytes) { return fileHeader(bytes); }
size_t characteristicsField(const std::vector<uint8_t>& bytes) { return fileHeader(bytes) + 18; }
size_t subsystemField(const std::vector<uint8_t>& bytes) { return fileHeader(bytes) + 20 + 68; }

// Runs a script with the image loaded at `base`; returns what it printed.
std::string runWithImage(const std::vector<uint8_t>& image, const std::string& text, uint32_t base,
                         int* exitStatus = nullptr) {
  std::ostringstream out, err;
  scsim::Script script(out, err);
  script.machine().useImage(image, base);
  std::istringstream in(text);
  int status = script.run(in);
  if (exitStatus != nullptr) *exitStatus = status;
  return out.str() + err.str();
}

// The driver's trace lines alone.
std::string traceOf(const std::string& out) {
  std::istringstream lines(out);
  std::string trace;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("dbg: ", 0) == 0) trace += line + "\n";
  }
  return trace;
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image = shippedImage();
    ASSERT_GT(image.size(), 1024u) << "build the target preset first: " << TAMRIXSC_SYS;
  }

  // Loads `bytes` into a fresh machine and expects the loader to refuse it
  // with a message holding `cause`, leaving nothing mapped or registered.
  void expectRefused(const std::vector<uint8_t>& bytes, const std::string& cause) {
    std::string lines;
    scsim::Machine machine([&](const std::string& line) { lines += line + "\n"; });
    machine.useImage(bytes);
    EXPECT_EQ(machine.load(), STATUS_INVALID_IMAGE_FORMAT);
    EXPECT_NE(lines.find("loader: "), std::string::npos) << lines;
    EXPECT_NE(lines.find(cause), std::string::npos) << lines;
    EXPECT_FALSE(machine.driverLoaded());
    EXPECT_EQ(sim::DriverImage::mappedCount(), 0u);
    EXPECT_EQ(machine.kernel.names.of(machine.kernel.io.driver()), "");
  }

  std::vector<uint8_t> image;
};

constexpr const char* kSession =
    "load\nopen\nioctl 0x22204C out=72\nioctl 0x222010 0 0 0 0 0 0 0 0 0 0 0 0\n"
    "advance 1500\nclose\nunload\n";

TEST_F(ImageTest, RunsTheSameAtAnyBase) {
  std::string atDefault = runWithImage(image, kSession, sim::DriverImage::kDefaultBase);
  std::string elsewhere = runWithImage(image, kSession, 0x61230000u);
  EXPECT_NE(atDefault.find("load: status=0x00000000"), std::string::npos) << atDefault;
  EXPECT_NE(atDefault.find("ioctl: code=0x22204C status=0x00000000 info=72"), std::string::npos) << atDefault;
  EXPECT_EQ(atDefault, elsewhere);
  EXPECT_EQ(sim::DriverImage::mappedCount(), 0u);
}

// Two mappings differ exactly at the relocated addresses, each by the
// distance between the bases; the import tables hold the kernel's routines.
TEST_F(ImageTest, RelocationsMoveEveryAddressByTheBaseDistance) {
  std::string error;
  auto a = sim::DriverImage::map(image, &error, 0x50000000u);
  ASSERT_TRUE(a) << error;
  auto b = sim::DriverImage::map(image, &error, 0x53000000u);
  ASSERT_TRUE(b) << error;
  ASSERT_EQ(a->base(), 0x50000000u);
  ASSERT_EQ(b->base(), 0x53000000u);
  EXPECT_NE(a->preferredBase(), a->base());
  EXPECT_GT(a->relocationsApplied(), 100u);
  EXPECT_EQ(a->relocationsApplied(), b->relocationsApplied());
  EXPECT_EQ(sim::DriverImage::mappedCount(), 2u);

  const uint8_t* pa = reinterpret_cast<const uint8_t*>(a->base());
  const uint8_t* pb = reinterpret_cast<const uint8_t*>(b->base());
  auto word = [](const uint8_t* p, uint32_t at) {
    uint32_t v;
    std::memcpy(&v, p + at, 4);
    return v;
  };
  // Each differing byte must lie in a 32-bit word that moved by the
  // distance; such a word starts at most three bytes before it.
  uint32_t moved = 0;
  uint32_t coveredUntil = 0;
  for (uint32_t at = 0; at < a->size(); at++) {
    if (pa[at] == pb[at] || at < coveredUntil) continue;
    bool found = false;
    for (uint32_t start = at >= 3 ? at - 3 : 0; start <= at && start + 4 <= a->size(); start++) {
      if (word(pb, start) - word(pa, start) == 0x03000000u) {
        coveredUntil = start + 4;
        moved++;
        found = true;
        break;
      }
    }
    ASSERT_TRUE(found) << "byte at RVA " << at << " differs but is no relocated address";
  }
  EXPECT_EQ(moved, a->relocationsApplied());
}

TEST_F(ImageTest, EveryImportIsBoundToTheKernel) {
  std::string error;
  auto mapped = sim::DriverImage::map(image, &error);
  ASSERT_TRUE(mapped) << error;
  // One bound slot for each routine the import list names.
  std::ifstream list(DRIVER_IMPORTS);
  uint32_t listed = 0;
  for (std::string line; std::getline(list, line);) {
    if (!line.empty() && line[0] != '#') listed++;
  }
  EXPECT_GT(listed, 30u);
  EXPECT_EQ(mapped->importsBound(), listed);
  ASSERT_NE(sim::findExport("HAL.DLL", "KfRaiseIrql"), nullptr);
  EXPECT_EQ(sim::findExport("ntoskrnl.exe", "KfRaiseIrql"), nullptr);
}

TEST_F(ImageTest, AMissingImportIsNamed) {
  const char kName[] = "KeSetTimerEx";
  auto it = std::search(image.begin(), image.end(), kName, kName + sizeof(kName));
  ASSERT_NE(it, image.end());
  it[5] = 'X';  // KeSetXimerEx
  expectRefused(image, "imports ntoskrnl.exe!KeSetXimerEx, which the kernel does not export");
}

TEST_F(ImageTest, AnImportFromTheWrongModuleIsRefused) {
  const char kName[] = "HAL.dll";
  auto it = std::search(image.begin(), image.end(), kName, kName + sizeof(kName));
  ASSERT_NE(it, image.end());
  std::memcpy(&*it, "XAL.dll", 7);
  expectRefused(image, "imports XAL.dll!");
}

TEST_F(ImageTest, TruncatedImagesAreRefused) {
  expectRefused(std::vector<uint8_t>(image.begin(), image.begin() + image.size() / 2),
                "runs past the end of the file");
  expectRefused(std::vector<uint8_t>(image.begin(), image.begin() + 0x90), "truncated");
  expectRefused(std::vector<uint8_t>(image.begin(), image.begin() + 2), "truncated DOS header");
  expectRefused({}, "no MZ header");
}

TEST_F(ImageTest, ForeignImagesAreRefused) {
  std::vector<uint8_t> amd64 = image;
  put16(&amd64, machineField(amd64), 0x8664);
  expectRefused(amd64, "machine 0x8664 is not i386");

  std::vector<uint8_t> windowsGui = image;
  put16(&windowsGui, subsystemField(windowsGui), 2);
  expectRefused(windowsGui, "subsystem 2 is not native");

  std::vector<uint8_t> fixed = image;
  put16(&fixed, characteristicsField(fixed),
        static_cast<uint16_t>(get32(fixed, characteristicsField(fixed)) | 1));
  expectRefused(fixed, "no base relocations");

  std::vector<uint8_t> text(4096, 'A');
  expectRefused(text, "no MZ header");
}

// A failing DriverEntry leaves no driver, no name and no mapping behind,
// and the next load maps a fresh copy that starts over.
TEST_F(ImageTest, AFailingDriverEntryLeavesNothingBehind) {
  int exitStatus = -1;
  std::string out =
      runWithImage(image, "kernel fail IoCreateDevice\nload\nunload\nload\nopen\nclose\nunload\n",
                   sim::DriverImage::kDefaultBase, &exitStatus);
  EXPECT_EQ(exitStatus, 0) << out;
  EXPECT_NE(out.find("load: status=0xC000009A\nunload: no driver\n"), std::string::npos) << out;
  EXPECT_NE(out.find("load: status=0x00000000\nopen: status=0x00000000"), std::string::npos) << out;
  EXPECT_EQ(out.find("verifier:"), std::string::npos) << out;
  EXPECT_EQ(sim::DriverImage::mappedCount(), 0u);
}

TEST_F(ImageTest, EachLoadStartsFromTheFilesData) {
  // The trace level set through a request lives in the image's data; were
  // it kept, the next DriverEntry would trace its registry query in detail
  // before reading the level again.
  std::string out = runWithImage(image,
                                 "load\nunload\nnote raise\nload\nopen\nioctl 0x22205C in=4 out=4 5\n"
                                 "close\nunload\nnote again\nload\nunload\n",
                                 sim::DriverImage::kDefaultBase);
  size_t raise = out.find("note: raise\n");
  size_t again = out.find("note: again\n");
  ASSERT_NE(again, std::string::npos) << out;
  EXPECT_NE(out.find("Exit", raise), std::string::npos) << "level 5 traces exits:\n" << out;
  EXPECT_EQ(traceOf(out.substr(0, raise)), traceOf(out.substr(again + 12))) << out;
}

// The image asks for deferred start-I/O: three hundred requests queued
// behind one served elsewhere run one after another, each run of its
// start-I/O routine returning before the next begins.
TEST_F(ImageTest, QueuedRequestsRunOneStartIoFrameDeep) {
  std::vector<NTSTATUS> statuses;
  scsim::Machine machine([](const std::string&) {});
  machine.useImage(image);
  ASSERT_EQ(machine.load(), STATUS_SUCCESS);
  PDEVICE_OBJECT device = machine.kernel.io.lookup(scsim::Machine::kLinkName);
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(machine.kernel.io.startIoDeferred(device));
  IRP elsewhere = {};
  device->CurrentIrp = &elsewhere;
  for (int i = 0; i < 300; i++) {
    machine.ioctl(0x222058, {}, 0, 0, false,  // IOCTL_SC_STATUS_LED_OFF
                  [&statuses](const scsim::Machine::IoctlResult& r) { statuses.push_back(r.status); });
  }
  EXPECT_EQ(machine.kernel.io.queued(device), 300u);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  IoStartNextPacket(device, FALSE);
  KfLowerIrql(old);
  EXPECT_EQ(statuses, std::vector<NTSTATUS>(300, STATUS_SUCCESS));
  EXPECT_EQ(machine.kernel.io.deepestStartIo(), 1);
  EXPECT_TRUE(machine.unload());
  EXPECT_FALSE(machine.violated());
}

}  // namespace
