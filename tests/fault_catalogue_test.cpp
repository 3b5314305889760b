// The fault catalogue against what reads it: the script table and its
// usage, the manual's list, and the fuzzer's choice of rows by id.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "FaultCatalogue.h"
#include "Machine.h"
#include "Script.h"

namespace {

std::string readSource(const std::string& relative) {
  std::ifstream in(std::string(TAMRIXSC_SOURCE_DIR) + "/" + relative);
  EXPECT_TRUE(in.good()) << relative;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(const std::string& text) {
  Outcome r{};
  r.status = scsim::runScript(text, &r.out, &r.err);
  return r;
}

// Ids are the fuzzer's: one per row, inside the space a byte picks from.
TEST(FaultCatalogue, EveryRowHasItsOwnIdAndName) {
  std::set<uint8_t> ids;
  std::set<std::string> names;
  for (const scsim::ControllerFault& f : scsim::faultCatalogue()) {
    EXPECT_LT(f.id, scsim::kFaultIdSpace) << f.sub;
    EXPECT_TRUE(ids.insert(f.id).second) << "id " << int(f.id) << " twice";
    EXPECT_TRUE(names.insert(f.sub).second) << f.sub << " twice";
    EXPECT_EQ(scsim::faultWithId(f.id), &f);
    EXPECT_EQ(scsim::faultNamed(f.sub), &f);
    // A row is in the matrix with at least one case, or says why not.
    EXPECT_EQ(f.outcome == scsim::Outcome::NotInMatrix, f.cases.empty()) << f.sub;
    EXPECT_EQ(f.outcome == scsim::Outcome::NotInMatrix, f.whyNot != nullptr) << f.sub;
    ASSERT_NE(f.apply, nullptr) << f.sub;
  }
  std::set<uint8_t> routineIds;
  for (const scsim::FailableRoutine& r : scsim::failableRoutines()) {
    EXPECT_LT(r.id, scsim::kFailableIdSpace) << r.name;
    EXPECT_TRUE(routineIds.insert(r.id).second) << r.name;
  }
}

// Each row is a command of the script language with its usage in --help,
// and a line of the usage is accepted as written.
TEST(FaultCatalogue, EveryRowIsAScriptCommand) {
  const std::string help = scsim::usageText();
  for (const scsim::ControllerFault& f : scsim::faultCatalogue()) {
    std::string usage = std::string("controller ") + f.sub;
    if (!f.args.empty()) usage += " " + scsim::argsUsage(f);
    EXPECT_NE(help.find("  " + usage + "\n"), std::string::npos) << usage;
  }
  EXPECT_NE(help.find("  controller no-reply N [CODE]\n"), std::string::npos);
  EXPECT_NE(help.find("  controller unsolicited STATUS [DATA...] (at most 64 data bytes)\n"),
            std::string::npos);
  EXPECT_NE(help.find("  controller trdy-lost host|reply K\n"), std::string::npos);
}

// The arguments as the rows declare them: range, words, optional parts and
// counts, each refusal naming the command.
TEST(FaultCatalogue, ArgumentsAreReadAsTheRowsDeclareThem) {
  for (const char* line :
       {"controller trdy-lost sideways 1", "controller trdy-lost host 256", "controller corrupt length",
        "controller status 3 abnormal", "controller reply-length -1", "controller latency 0x100000000",
        "controller treq-held now", "controller reply-data 1 256"}) {
    Outcome r = run(std::string(line) + "\n");
    EXPECT_EQ(r.status, 2) << line;
    const std::string command = std::string(line).substr(0, std::string(line).find(' ', 11));
    EXPECT_EQ(r.err.rfind("scsim: line 1: ", 0), 0u) << line << ": " << r.err;
    EXPECT_NE(r.err.find(command), std::string::npos) << line << ": " << r.err;
  }
  EXPECT_EQ(run("controller trdy-lost sideways 1\n").err,
            "scsim: line 1: controller trdy-lost SIDE: 'sideways' is not host or reply\n");
  EXPECT_EQ(run("controller corrupt length\n").err,
            "scsim: line 1: controller corrupt: 'length' is not checksum\n");

  std::ostringstream out, err;
  scsim::Script script(out, err);
  scsim::Machine* machine = &script.machine();
  std::istringstream in(
      "controller no-reply 2\ncontroller trdy-lost reply 4\ncontroller status 14 0x44\n"
      "controller reply-data\ncontroller latency 30 7\n");
  ASSERT_EQ(script.run(in), 0) << err.str();
  auto& c = machine->board.controller;
  EXPECT_EQ(c.faults().noReplyCount, 2u);
  EXPECT_FALSE(c.faults().noReplyCode.has_value());
  EXPECT_EQ(c.faults().trdyLostReplyByte, 4);
  EXPECT_EQ(c.faults().trdyLostHostByte, -1);
  EXPECT_EQ(c.firmware().statusOverride.at(14), 0x44);
  ASSERT_TRUE(c.faults().replyData.has_value());
  EXPECT_TRUE(c.faults().replyData->empty());
  std::istringstream more("controller no-reply 1 7\ncontroller status 14 normal\n");
  ASSERT_EQ(script.run(more), 0) << err.str();
  EXPECT_EQ(c.faults().noReplyCode, std::optional<uint8_t>(7));
  EXPECT_EQ(c.firmware().statusOverride.count(14), 0u);
}

// The manual lists the catalogue: its table in docs/scsim.md is the one the
// catalogue draws.
TEST(Manual, ControllerFaultsAreTheCatalogue) {
  const std::string page = readSource("docs/scsim.md");
  const std::string table = scsim::manualTable();
  EXPECT_NE(page.find("\n" + table), std::string::npos)
      << "docs/scsim.md must hold the fault catalogue's table as it is now:\n"
      << table;
}

}  // namespace
