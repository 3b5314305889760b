// The scsim script language: splitting lines into words, numbers, and how
// a script ends (its exit status, its errors and what still runs).
#include "Script.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "Machine.h"

namespace {

using Words = std::vector<std::string>;

Words split(const std::string& line) {
  Words words;
  std::string error;
  EXPECT_TRUE(scsim::splitLine(line, &words, &error)) << line << ": " << error;
  return words;
}

std::string splitError(const std::string& line) {
  Words words;
  std::string error;
  EXPECT_FALSE(scsim::splitLine(line, &words, &error)) << line;
  return error;
}

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(const std::string& text) {
  Outcome r;
  r.status = scsim::runScript(text, &r.out, &r.err);
  return r;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ScriptWords, BlanksCommentsAndQuotes) {
  EXPECT_EQ(split("  registry\tset  DebugLevel 5  "), (Words{"registry", "set", "DebugLevel", "5"}));
  EXPECT_EQ(split("time # what time is it"), (Words{"time"}));
  EXPECT_EQ(split("time# directly after a word"), (Words{"time"}));
  EXPECT_EQ(split("# only a comment"), Words{});
  EXPECT_EQ(split(""), Words{});
  EXPECT_EQ(split("load\r"), (Words{"load"}));
  EXPECT_EQ(split("controller version \"SC 8051 # 2\" x"),
            (Words{"controller", "version", "SC 8051 # 2", "x"}));
  EXPECT_EQ(split("a \"\" b"), (Words{"a", "", "b"}));
  EXPECT_EQ(split("pre\"fix word\"post"), (Words{"prefix wordpost"}));
}

TEST(ScriptWords, Escapes) {
  EXPECT_EQ(split(R"("a\\b")"), (Words{"a\\b"}));
  EXPECT_EQ(split(R"("say \"hi\"")"), (Words{"say \"hi\""}));
  EXPECT_EQ(split(R"("\x41\x7a\x00!")"), (Words{std::string("Az\0!", 4)}));
  EXPECT_EQ(split(R"("\xFF")"), (Words{"\xFF"}));
  // Outside quotes a backslash is an ordinary character.
  EXPECT_EQ(split(R"(a\b)"), (Words{"a\\b"}));

  EXPECT_TRUE(has(splitError("controller version \"open"), "not closed"));
  EXPECT_TRUE(has(splitError(R"("ends in a backslash\)"), "not closed"));
  EXPECT_TRUE(has(splitError(R"("\n")"), "unknown escape"));
  EXPECT_TRUE(has(splitError(R"("\x4")"), "two hex digits"));
  EXPECT_TRUE(has(splitError(R"("\xG1")"), "two hex digits"));
}

TEST(ScriptNumbers, DecimalAndHex) {
  int64_t v = 0;
  EXPECT_TRUE(scsim::parseNumber("0", &v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(scsim::parseNumber("1234", &v));
  EXPECT_EQ(v, 1234);
  EXPECT_TRUE(scsim::parseNumber("-3", &v));
  EXPECT_EQ(v, -3);
  EXPECT_TRUE(scsim::parseNumber("0x1f", &v));
  EXPECT_EQ(v, 0x1F);
  EXPECT_TRUE(scsim::parseNumber("0xC000009A", &v));
  EXPECT_EQ(v, 0xC000009ALL);
  EXPECT_TRUE(scsim::parseNumber("9223372036854775807", &v));
  EXPECT_EQ(v, INT64_MAX);
  EXPECT_TRUE(scsim::parseNumber("0x7FFFFFFFFFFFFFFF", &v));
  EXPECT_EQ(v, INT64_MAX);

  for (const char* bad : {"", "-", "+1", "0x", "0X10", "-0x10", "12a", "1 2", "0x1g", "9223372036854775808",
                          "0x8000000000000000", "--1"}) {
    EXPECT_FALSE(scsim::parseNumber(bad, &v)) << bad;
  }
}

TEST(ScriptRun, ErrorsNameTheLineAndStopTheScript) {
  Outcome r = run("# a comment\n\ntime\nfrobnicate now\ntime\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "time: 0 us\n");
  EXPECT_EQ(r.err, "scsim: line 4: unknown command 'frobnicate'\n");

  r = run("time\ncontroller version \"unclosed\nload\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "time: 0 us\n");
  EXPECT_TRUE(has(r.err, "line 2:")) << r.err;
}

TEST(ScriptRun, BadArgumentsAreScriptErrors) {
  const std::string tooLong(65, 'v');
  std::string manyData = "controller unsolicited 1";
  for (int i = 0; i < 65; i++) manyData += " 2";
  for (const std::string& line : Words{"registry",
                                       "registry set DebugLevel",
                                       "registry set DebugLevel 0x100000000",
                                       "registry set DebugLevel -2147483649",
                                       "registry set DebugLevel five",
                                       "registry set-string X",
                                       "registry rename X Y",
                                       "registry remove-key now",
                                       "pci bridge",
                                       "pci bridge 0x10000",
                                       "pci bridge 0x2410 bus",
                                       "pci bridge 0x2410 bus 256",
                                       "pci bridge 0x2410 slot 32",
                                       "pci bridge 0x2410 function 8",
                                       "pci bridge 0x2410 bus 1 bus 2",
                                       "pci bridge 0x2410 colour 1",
                                       "pci bridge none 1",
                                       "pci buses",
                                       "pci buses 257",
                                       "pci buses 1,,2",
                                       "pci buses 0,256",
                                       "pci buses 2,",
                                       "superio base 0x10000",
                                       "superio space disk",
                                       "resources conflict ram",
                                       "resources fail gpio",
                                       "resources fail gpio 0x100000000",
                                       "map fail now",
                                       "map",
                                       "clock increment 0",
                                       "clock increment",
                                       "kernel fail KeBugCheckEx",
                                       "kernel fail",
                                       "kernel fail IoCreateDevice 0 0",
                                       "kernel fail IoCreateDevice 0 1 2",
                                       "kernel panic",
                                       "kernel fail IoCreateDevice 259",
                                       "kernel fail IoCreateDevice 0",
                                       "kernel fail IoCreateDevice 0x40000001",
                                       "kernel fail MmMapIoSpace 0x80000005",
                                       "kernel registry-typecheck",
                                       "kernel registry-typecheck maybe",
                                       "registry set-binary",
                                       "registry set-binary X 256",
                                       "registry set-typed X",
                                       "registry set-typed X -1",
                                       "registry set-typed X 11 256",
                                       "clock step",
                                       "clock step soon",
                                       "clock step 1 after",
                                       "clock step 1 before 2",
                                       "clock step 1 after -1",
                                       "clock step 3162240000001",
                                       "advance 1000000000000",
                                       "controller",
                                       "controller post -1",
                                       "controller post 256",
                                       "controller version " + tooLong,
                                       "controller slots 1",
                                       "controller errors 1 2 3",
                                       "controller status 3",
                                       "controller status 3 abnormal",
                                       "controller corrupt length",
                                       "controller unsolicited",
                                       manyData,
                                       "controller no-reply",
                                       "controller no-reply 1 256",
                                       "controller silent now",
                                       "load now",
                                       "unload 1",
                                       "shutdown now",
                                       "open 1",
                                       "close 1",
                                       "time 1",
                                       "ioctl",
                                       "ioctl x",
                                       "ioctl IOCTL_SC_NO_SUCH_REQUEST",
                                       "ioctl 0x100000000",
                                       "ioctl 0x222010 256",
                                       "ioctl 0x222010 -1",
                                       "ioctl 0x222010 in=1 in=2",
                                       "ioctl 0x222010 out=x",
                                       "ioctl 0x222010 out=0x100001",
                                       "ioctl 0x222010 nobuffer nobuffer",
                                       "advance",
                                       "advance -1",
                                       "advance 1 2"}) {
    Outcome r = run(line + "\ntime\n");
    EXPECT_EQ(r.status, 2) << line;
    EXPECT_EQ(r.out, "") << line;
    EXPECT_TRUE(has(r.err, "scsim: line 1: ")) << line << ": " << r.err;
  }
}

TEST(ScriptRun, LimitsThatAreStillAccepted) {
  std::string data = "controller unsolicited 1";
  for (int i = 0; i < 64; i++) data += " 2";
  for (const std::string& line : Words{"controller version " + std::string(64, 'v'),
                                       data,
                                       "controller version \"\"",
                                       "registry set DebugLevel -2147483648",
                                       "registry set DebugLevel 0xFFFFFFFF",
                                       "pci buses 0",
                                       "pci buses 256",
                                       "pci buses 0,255",
                                       "pci bridge 0x24C0 bus 255 slot 31 function 7",
                                       "superio base 0xFFFF",
                                       "superio space io",
                                       "resources fail config -1",
                                       "clock increment 0xFFFFFFFF",
                                       "kernel fail HalTranslateBusAddress -5 0xFFFFFFFF",
                                       "controller no-reply 0",
                                       "controller status 0 normal",
                                       "advance 0",
                                       "note",
                                       "ioctl 0x222010 in=0x100000 out=0x100000 nobuffer",
                                       "registry set-binary X",
                                       "registry set-binary X 0 0xFF",
                                       "registry set-typed X 0",
                                       "registry set-typed X 0xFFFFFFFF 1 2 3",
                                       "kernel registry-typecheck off",
                                       "kernel registry-typecheck on",
                                       "clock step -3600000 after 5",
                                       "clock step 3600000",
                                       "kernel fail IoCreateDevice 0xC0000001",
                                       "ioctl IOCTL_SC_STATUS_LED_ON",
                                       "ioctl IOCTL_SC_DEBUG_LEVEL 2 0 0 0"}) {
    Outcome r = run(line + "\n");
    EXPECT_EQ(r.status, 0) << line << ": " << r.err;
    EXPECT_EQ(r.err, "") << line;
  }
}

// Virtual time stays inside its range: the advance that would leave it is
// refused as a script error, and nothing after it runs.
TEST(ScriptRun, AdvanceThatWouldOverflowTheClockIsRefused) {
  std::string text;
  for (int i = 0; i < 20; i++) text += "advance 100000000000\n";
  text += "time\n";
  Outcome r = run(text);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "scsim: line 10: advance: ")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(ScriptRun, BoardSetupOnlyBeforeLoad) {
  for (const std::string setup :
       {"pci bridge none", "pci buses 2", "superio base 0x600", "superio space memory",
        "resources conflict gpio", "resources fail config 1", "map fail", "clock increment 1000"}) {
    Outcome r = run(setup + "\nload\n" + setup + "\ntime\n");
    EXPECT_EQ(r.status, 2) << setup;
    EXPECT_TRUE(has(r.err, "line 3: ") && has(r.err, "before 'load'")) << setup << ": " << r.err;
    EXPECT_FALSE(has(r.out, "time:")) << setup;
  }
  // Also once a failed load has removed the driver again.
  Outcome r = run("kernel fail IoCreateDevice\nload\npci buses 2\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.out, "load: status=0xC000009A\n")) << r.out;
  EXPECT_TRUE(has(r.err, "line 3: ")) << r.err;
  // What may change at any time still may.
  r = run("load\nregistry set X 1\nkernel fail IoCreateDevice\ncontroller post 1\nadvance 1\n");
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(ScriptRun, ViolationsGiveExitOneAfterTheWholeScript) {
  std::ostringstream out;
  std::ostringstream err;
  std::istringstream in("time\nadvance 2\ntime\n");
  int status = 0;
  {
    scsim::Script script(out, err);
    script.machine().kernel.verifier.report(sim::Rule::StatusMismatch, "reported before the script ran");
    status = script.run(in);
  }
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out.str(),
            "verifier: STATUS_MISMATCH: reported before the script ran\ntime: 0 us\ntime: 2000 us\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(run("time\n").status, 0);
}

TEST(ScriptRun, DriverCommandsWithoutADriver) {
  Outcome r = run("unload\nshutdown\nopen\nclose\nioctl 0x222010 1 2 3\nnote \"two words\" more\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "unload: no driver\n"
            "shutdown: no device\n"
            "open: status=0xC0000034\n"
            "close: status=0xC0000034\n"
            "ioctl: code=0x222010 status=0xC0000034 info=0 out=[]\n"
            "note: two words more\n");
}

// The lines of `out` on one channel.
std::vector<std::string> channel(const std::string& out, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

TEST(ScriptRun, IoctlBuffersFromTheGivenBytes) {
  // The trace-level request answers with the old level only when exactly
  // four bytes go in and four are asked for: each line below checks how
  // the input was cut or padded and what the output length became.
  Outcome r =
      run("pci bridge 0x2410 slot 4\n"
          "load\n"
          "ioctl 0x22205C 3 0 0 0\n"              // four bytes, out defaults to 4
          "ioctl 0x22205C in=4 4\n"               // padded to four, out 4
          "ioctl 0x22205C in=4 2 0 0 0 0x55\n"    // cut to four
          "ioctl 0x22205C 2 0 0\n"                // three bytes: refused
          "ioctl 0x22205C in=4 out=8 2\n"         // no level back
          "ioctl 0x22205C in=4 out=4 nobuffer\n"  // no buffer: refused
          "ioctl 0x22205C out=4 2 0 0 0\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(channel(r.out, "ioctl:"), (Words{
                                          "ioctl: code=0x22205C status=0x00000000 info=4 out=[02 00 00 00]",
                                          "ioctl: code=0x22205C status=0x00000000 info=4 out=[03 00 00 00]",
                                          "ioctl: code=0x22205C status=0x00000000 info=4 out=[04 00 00 00]",
                                          "ioctl: code=0x22205C status=0xC000000D info=0 out=[]",
                                          "ioctl: code=0x22205C status=0x00000000 info=0 out=[]",
                                          "ioctl: code=0x22205C status=0xC000000D info=0 out=[]",
                                          "ioctl: code=0x22205C status=0x00000000 info=4 out=[02 00 00 00]",
                                      }));
}

TEST(ScriptRun, BoardAndRegistrySetupReachTheDriver) {
  // A second bridge command moves the bridge instead of adding one: the
  // supported bridge placed first is gone, the unsupported one is not found.
  Outcome r = run("pci bridge 0x24C0 slot 3\npci bridge 0x2411\nload\n");
  EXPECT_EQ(channel(r.out, "event:").size(), 1u);
  EXPECT_TRUE(has(r.out, "event: MSG_NO_LPC_CONTROLLER ")) << r.out;

  // A negative value is stored as its two's complement: -1 counts as
  // missing. After remove-key, a value set creates the key again.
  r = run("registry set DebugLevel -1\npci bridge none\nload\n");
  EXPECT_TRUE(has(r.out, "Key 'DebugLevel' not found in registry; reset to default")) << r.out;
  r = run("registry remove-key\nregistry set DebugLevel 5\npci bridge none\nload\n");
  EXPECT_TRUE(has(r.out, "Using debug level [5]")) << r.out;
  r = run("registry set DebugLevel 5\nregistry delete DebugLevel\npci bridge none\nload\n");
  EXPECT_TRUE(has(r.out, "Using debug level [2]")) << r.out;

  // A kernel failure is armed for one call by default, with
  // STATUS_INSUFFICIENT_RESOURCES; a second load while loaded is refused.
  r = run("pci bridge none\nkernel fail HalGetBusData\nload\nunload\nload\nload\n");
  EXPECT_EQ(channel(r.out, "event: MSG_NO_LPC_CONTROLLER ").size(), 2u);
  EXPECT_EQ(channel(r.out, "load:"),
            (Words{"load: status=0x00000000", "load: status=0x00000000", "load: status=0xC000010E"}));
  r = run("kernel fail IoCreateDevice\nload\nload\n");
  EXPECT_EQ(channel(r.out, "load:"), (Words{"load: status=0xC000009A", "load: status=0x00000000"}));
  r = run("kernel fail IoCreateDevice 0xC0000022 2\nload\nload\nload\n");
  EXPECT_EQ(channel(r.out, "load:"),
            (Words{"load: status=0xC0000022", "load: status=0xC0000022", "load: status=0x00000000"}));
}

}  // namespace
