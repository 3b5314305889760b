// The manual's pages against what the code does: the scsim reference
// against the script runner's command table and its output, the event
// page's data column against the entries the driver logs, the build page
// against the presets and the packages the test command installs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Script.h"
#include "source_text.h"

namespace {

const char kScsimPage[] = "docs/scsim.md";

// The forms of the script commands as `scsim --help` lists them, without
// the notes in parentheses: "registry set-binary NAME BYTE...".
std::vector<std::string> commandForms() {
  std::vector<std::string> forms;
  std::string usage = scsim::usageText();
  size_t start = usage.find("Commands:\n");
  EXPECT_NE(start, std::string::npos);
  for (const std::string& line : source::lines(usage.substr(start + 10))) {
    std::string form = source::trim(line);
    size_t note = form.find(" (");
    if (note != std::string::npos) form.resize(note);
    if (!form.empty()) forms.push_back(form);
  }
  EXPECT_GE(forms.size(), 40u);
  return forms;
}

// The commands the page's command tables give, each the backticked first
// cell of a row of a table headed "command".
std::vector<std::string> documentedForms() {
  std::vector<std::string> forms;
  for (const auto& row : source::table(kScsimPage, "command", true)) {
    std::string form = source::unquoted(row[0]);
    EXPECT_FALSE(form.empty()) << "a command row without a command: " << row[0];
    forms.push_back(form);
  }
  return forms;
}

TEST(ScsimPage, DocumentsEveryFormOfTheCommandTable) {
  std::vector<std::string> documented = documentedForms();
  std::set<std::string> onPage(documented.begin(), documented.end());
  for (const std::string& form : commandForms()) {
    EXPECT_EQ(onPage.count(form), 1u) << "'" << form << "' has no row in " << kScsimPage;
  }
}

TEST(ScsimPage, DocumentsNoCommandScsimDoesNotHave) {
  std::vector<std::string> forms = commandForms();
  std::set<std::string> known(forms.begin(), forms.end());
  std::set<std::string> seen;
  for (const std::string& form : documentedForms()) {
    EXPECT_EQ(known.count(form), 1u) << "'" << form << "' in " << kScsimPage << " is not a form scsim takes";
    EXPECT_TRUE(seen.insert(form).second) << "'" << form << "' has two rows";
  }
}

// Every script on the page runs to its end, and the output shown after it
// is what it prints: each line shown appears, in the order shown.
TEST(ScsimPage, ExamplesRunAndPrintWhatThePageShows) {
  auto blocks = source::codeBlocks(source::read(kScsimPage));
  int scripts = 0;
  int outputs = 0;
  std::string lastOutput;
  for (const auto& block : blocks) {
    if (block.info == "scsim") {
      scripts++;
      std::string err;
      EXPECT_EQ(scsim::runScript(block.body, &lastOutput, &err), 0)
          << "the script at line " << block.line << ":\n"
          << err;
      EXPECT_FALSE(lastOutput.empty()) << "line " << block.line;
    } else if (block.info == "scsim-output") {
      outputs++;
      auto printed = source::lines(lastOutput);
      size_t at = 0;
      for (const std::string& shown : source::lines(block.body)) {
        while (at < printed.size() && printed[at] != shown) at++;
        EXPECT_LT(at, printed.size()) << "line " << block.line << " shows '" << shown
                                      << "', which the script before it does not print there:\n"
                                      << lastOutput;
        if (at < printed.size()) at++;
      }
    }
  }
  EXPECT_GE(scripts, 4);
  EXPECT_GE(outputs, 4);
}

// Every channel the scenario transcripts hold is in the page's channel
// table.
TEST(ScsimPage, NamesEveryOutputChannel) {
  std::set<std::string> documented;
  for (const auto& row : source::table(kScsimPage, "channel")) documented.insert(source::unquoted(row[0]));
  std::map<std::string, std::string> used;  // channel, a scenario that prints it
  const std::string folder = std::string(TAMRIXSC_SOURCE_DIR) + "/tests/scenarios";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".out") continue;
    std::string name = "tests/scenarios/" + entry.path().filename().string();
    for (const std::string& line : source::lines(source::read(name))) {
      size_t colon = line.find(':');
      ASSERT_NE(colon, std::string::npos) << name << ": " << line;
      used.emplace(line.substr(0, colon + 1), name);
    }
  }
  EXPECT_GE(used.size(), 15u);
  for (const auto& [channel, where] : used) {
    EXPECT_EQ(documented.count(channel), 1u)
        << channel << " (printed in " << where << ") is not in " << kScsimPage;
  }
}

// The event page's data column says what the unique value of each entry
// holds: 0, a status (an error NTSTATUS) or a count (1 to 255). Every entry
// the scenario scripts make holds what the page says.
TEST(EventPage, DataColumnIsWhatTheDriverLogs) {
  std::map<std::string, std::string> data;
  for (const auto& row : source::table("docs/events.md", "name")) data[row[0]] = row[5];
  std::map<std::string, int> seen;
  const std::string folder = std::string(TAMRIXSC_SOURCE_DIR) + "/tests/scenarios";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".out") continue;
    std::string name = "tests/scenarios/" + entry.path().filename().string();
    for (const std::string& line : source::lines(source::read(name))) {
      // event: MSG_NAME id=... object=... unique=0xXXXXXXXX ...
      const std::string lead = "event: ";
      const std::string key = " unique=0x";
      size_t at = line.find(key);
      if (line.rfind(lead, 0) != 0 || at == std::string::npos) continue;
      const std::string event = line.substr(lead.size(), line.find(' ', lead.size()) - lead.size());
      ASSERT_EQ(data.count(event), 1u) << event << " is not on the event page";
      const std::string& kind = data[event];
      unsigned long unique = std::strtoul(line.substr(at + key.size(), 8).c_str(), nullptr, 16);
      seen[event]++;
      if (kind == "0") {
        EXPECT_EQ(unique, 0u) << name << ": " << line;
      } else if (kind == "the status") {
        EXPECT_EQ(unique >> 30, 3u) << name << ": " << line;
      } else if (kind == "the count") {
        EXPECT_TRUE(unique >= 1 && unique <= 255) << name << ": " << line;
      } else {
        ADD_FAILURE() << event << ": the data column says '" << kind
                      << "'; it is '0', 'the status' or 'the count'";
      }
    }
  }
  EXPECT_EQ(seen.size(), data.size()) << "some entries are logged by no scenario";
}

// The build page names every configure preset and every package the test
// command installs.
TEST(BuildingPage, NamesEveryPresetAndEveryPackage) {
  std::string page = source::read("docs/building.md");
  std::string presets = source::read("CMakePresets.json");
  // Each configure preset: "name" right before its "displayName".
  int found = 0;
  const std::string key = "\"name\": \"";
  for (size_t at = presets.find(key); at != std::string::npos; at = presets.find(key, at + 1)) {
    size_t start = at + key.size();
    std::string name = presets.substr(start, presets.find('"', start) - start);
    size_t next = presets.find_first_not_of(" \t\r\n,", presets.find('"', start) + 1);
    const std::string display = "\"displayName\"";
    if (next == std::string::npos || presets.compare(next, display.size(), display) != 0) continue;
    found++;
    EXPECT_NE(page.find("`" + name + "`"), std::string::npos) << "preset " << name;
  }
  EXPECT_GE(found, 4);

  std::string script = source::read("scripts/test.sh");
  size_t start = script.find("packages=(");
  ASSERT_NE(start, std::string::npos);
  size_t end = script.find(')', start);
  std::istringstream lines(script.substr(start + 10, end - start - 10));
  std::string line;
  int packages = 0;
  while (std::getline(lines, line)) {
    std::istringstream words(line.substr(0, line.find('#')));  // comments are no packages
    std::string word;
    while (words >> word) {
      packages++;
      EXPECT_NE(page.find("`" + word + "`"), std::string::npos) << "package " << word;
    }
  }
  EXPECT_GE(packages, 10);
}

}  // namespace
