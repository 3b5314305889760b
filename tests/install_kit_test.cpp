// The install kit and the manual against what the code declares: the
// driver's registry table, its service name, the message catalogue, the
// public header and the control tool's help. A table that drifts from the
// code fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "RegistryValues.h"
#include "Script.h"
#include "catalogue.h"
#include "scctl.h"
#include "scioctl.h"
#include "source_text.h"
#include "tamrixsc_version.h"

namespace {

using source::lower;
using source::split;
using source::table;
using source::trim;

std::string readFile(const std::string& relative) { return source::read(relative); }

std::string narrow(PCWSTR text) {
  std::string out;
  for (; *text != 0; text++) out += static_cast<char>(*text);
  return out;
}

// An INF as sections of lines; `raw` keeps comment lines, `lines` has them
// and trailing comments removed.
struct Inf {
  std::map<std::string, std::vector<std::string>> raw;
  std::map<std::string, std::vector<std::string>> lines;

  explicit Inf(const std::string& text) {
    std::istringstream in(text);
    std::string line, section;
    while (std::getline(in, line)) {
      line = trim(line);
      if (!line.empty() && line[0] == '[') {
        section = lower(line.substr(1, line.find(']') - 1));
        lines[section];
        continue;
      }
      raw[section].push_back(line);
      bool quoted = false;
      size_t cut = std::string::npos;
      for (size_t i = 0; i < line.size() && cut == std::string::npos; i++) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted) cut = i;
      }
      std::string code = trim(line.substr(0, cut));
      if (!code.empty()) lines[section].push_back(code);
    }
  }

  bool has(const std::string& section) const { return lines.count(lower(section)) != 0; }

  // The value of KEY = VALUE in a section, or "".
  std::string value(const std::string& section, const std::string& key) const {
    auto found = lines.find(lower(section));
    if (found == lines.end()) return "";
    for (const std::string& line : found->second) {
      size_t eq = line.find('=');
      if (eq != std::string::npos && lower(trim(line.substr(0, eq))) == lower(key))
        return trim(line.substr(eq + 1));
    }
    return "";
  }
};

Inf inf() { return Inf(readFile("install/tamrixsc.inf")); }

// The service name is the key the driver's Parameters path sits under.
std::string serviceName() {
  std::string path = narrow(kParametersPath);
  const std::string services = "\\services\\";
  size_t start = lower(path).find(services);
  EXPECT_NE(start, std::string::npos) << path;
  start += services.size();
  return path.substr(start, path.find('\\', start) - start);
}

// The install sections as Setup picks them on 32-bit x86 Windows: the name
// given to InstallHinfSection with the platform's decoration.
const std::string kInstall = "DefaultInstall.NTx86";
const std::string kUninstall = "DefaultUninstall.NTx86";

// The file lists of a CopyFiles or DelFiles entry, each with its
// destination folder (a DIRID of DestinationDirs).
std::map<std::string, std::string> fileLists(const Inf& kit, const std::string& section,
                                             const std::string& key) {
  std::map<std::string, std::string> lists;
  for (const std::string& list : split(kit.value(section, key), ',')) {
    EXPECT_TRUE(kit.has(list)) << list;
    lists[list] = kit.value("DestinationDirs", list);
  }
  return lists;
}

TEST(InstallKit, ServiceIsTheLegacyKernelDriverTheDriverReadsItsKeyUnder) {
  Inf kit = inf();
  ASSERT_TRUE(kit.has(kInstall));
  auto add = split(kit.value(kInstall + ".Services", "AddService"), ',');
  ASSERT_EQ(add.size(), 4u);
  EXPECT_EQ(add[0], serviceName());
  const std::string service = add[2];
  EXPECT_EQ(kit.value(service, "ServiceType"), "1");   // SERVICE_KERNEL_DRIVER
  EXPECT_EQ(kit.value(service, "StartType"), "2");     // SERVICE_AUTO_START
  EXPECT_EQ(kit.value(service, "ErrorControl"), "1");  // SERVICE_ERROR_NORMAL
  EXPECT_EQ(lower(kit.value(service, "ServiceBinary")), "%12%\\tamrixsc.sys");

  // The image the service names is the one the install copies, to the
  // drivers folder (12), and the control tool goes beside the system's own
  // tools (11, System32), so that `scctl` runs from any command prompt.
  // Both come from the kit folder (disk 1).
  std::map<std::string, std::string> where;
  for (const auto& [list, dirid] : fileLists(kit, kInstall, "CopyFiles")) {
    for (const std::string& file : kit.lines.at(lower(list))) where[file] = dirid;
  }
  EXPECT_EQ(where, (std::map<std::string, std::string>{{"tamrixsc.sys", "12"}, {"scctl.exe", "11"}}));
  for (const auto& file : where) {
    EXPECT_EQ(split(kit.value("SourceDisksFiles", file.first), ',')[0], "1") << file.first;
  }
}

// DriverVer = MM/DD/YYYY,VERSION: the version is the build's, which the
// image and scctl.exe carry in their version resources (target_image_version,
// scctl_image).
TEST(InstallKit, DriverVerIsTheBuildsVersion) {
  auto driverVer = split(inf().value("Version", "DriverVer"), ',');
  ASSERT_EQ(driverVer.size(), 2u);
  EXPECT_EQ(driverVer[1], TAMRIXSC_VERSION_TEXT);
  auto date = split(driverVer[0], '/');
  ASSERT_EQ(date.size(), 3u) << driverVer[0];
  EXPECT_TRUE(date[0].size() == 2 && date[1].size() == 2 && date[2].size() == 4) << driverVer[0];
}

TEST(InstallKit, UninstallTakesAwayWhatInstallAdds) {
  Inf kit = inf();
  EXPECT_EQ(fileLists(kit, kUninstall, "DelFiles"), fileLists(kit, kInstall, "CopyFiles"));
  auto del = split(kit.value(kUninstall + ".Services", "DelService"), ',');
  ASSERT_EQ(del.size(), 2u);
  EXPECT_EQ(del[0], serviceName());
  unsigned long flags = std::strtoul(del[1].c_str(), nullptr, 0);
  EXPECT_TRUE(flags & 0x200) << "SPSVCINST_STOPSERVICE: stop the driver before deleting it";
  EXPECT_TRUE(flags & 0x4) << "SPSVCINST_DELETEEVENTLOGENTRY: remove the event source";
}

// Setup takes the section named on its command line decorated for its own
// platform (.NTx86, .NTamd64, ...), else decorated .NT, else undecorated;
// the .Services section goes with the name it found. Only x86 has one, so
// 64-bit Setup, where the 32-bit image cannot load, installs nothing.
TEST(InstallKit, SectionsExistForX86Only) {
  Inf kit = inf();
  for (const std::string name : {"DefaultInstall", "DefaultUninstall"}) {
    EXPECT_TRUE(kit.has(name + ".NTx86")) << name;
    EXPECT_TRUE(kit.has(name + ".NTx86.Services")) << name;
    for (const std::string other : {"", ".NT", ".NTamd64", ".NTia64", ".NTarm", ".NTarm64"}) {
      EXPECT_FALSE(kit.has(name + other)) << name + other << " would install on another platform";
      EXPECT_FALSE(kit.has(name + other + ".Services")) << name + other + ".Services";
    }
  }
}

// Every InstallHinfSection command the kit shows names the section
// undecorated (Setup decorates it; a decorated name would be taken on any
// platform) and the INF by a full path: a bare name is looked for in the
// Windows INF folder, not in the folder the command runs in.
TEST(InstallKit, SetupCommandsNameTheUndecoratedSectionAndAFullPath) {
  int commands = 0;
  for (const std::string file : {"install/tamrixsc.inf", "install/README.md"}) {
    for (const std::string& line : source::lines(readFile(file))) {
      const std::string verb = "setupapi.dll,InstallHinfSection ";
      size_t at = line.find(verb);
      if (at == std::string::npos) continue;
      commands++;
      auto words = split(trim(line.substr(at + verb.size())), ' ');
      ASSERT_EQ(words.size(), 3u) << file << ": " << line;
      EXPECT_TRUE(words[0] == "DefaultInstall" || words[0] == "DefaultUninstall") << file << ": " << line;
      EXPECT_EQ(words[1], "132") << file
                                 << ": 128, the INF's own folder is the source, and 4, ask before a reboot";
      EXPECT_EQ(words[2], "%CD%\\tamrixsc.inf") << file << ": " << line;
    }
  }
  EXPECT_GE(commands, 4);
}

// The kit is edited and imported on Windows, whose editors of the board's
// era show a file with bare line feeds as one line.
TEST(InstallKit, KitFilesHaveCrlfLineEnds) {
  for (const std::string file : {"install/tamrixsc.inf", "install/tamrixsc-timing.reg"}) {
    std::string text = readFile(file);
    ASSERT_FALSE(text.empty()) << file;
    EXPECT_EQ(text.back(), '\n') << file;
    size_t bare = 0;
    for (size_t i = 0; i < text.size(); i++) {
      if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) bare++;
    }
    EXPECT_EQ(bare, 0u) << file << " has line feeds without a carriage return: see .gitattributes";
  }
}

TEST(InstallKit, ParametersListEveryValueTheDriverReadsWithItsDefault) {
  Inf kit = inf();
  auto add = split(kit.value(kInstall + ".Services", "AddService"), ',');
  ASSERT_EQ(add.size(), 4u);
  std::string section = kit.value(add[2], "AddReg");
  ASSERT_TRUE(kit.has(section));
  // The key itself, empty (FLG_ADDREG_KEYONLY).
  const auto& lines = kit.lines.at(lower(section));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "HKR,Parameters,,0x00000010"), lines.end());
  EXPECT_EQ(lines.size(), 1u) << "values are installed only where the administrator removes the ';'";

  // Each value: ;HKR,Parameters,NAME,0x00010001,VALUE ; UNIT ...
  std::map<std::string, std::pair<std::string, std::string>> listed;
  const std::string lead = ";HKR,Parameters,";
  for (const std::string& line : kit.raw.at(lower(section))) {
    if (line.rfind(lead, 0) != 0) continue;
    std::string entry = line.substr(lead.size());
    size_t comment = entry.find(';');
    ASSERT_NE(comment, std::string::npos) << line;
    auto fields = split(entry.substr(0, comment), ',');
    ASSERT_EQ(fields.size(), 3u) << line;
    EXPECT_EQ(fields[1], "0x00010001") << line;  // REG_DWORD
    std::string note = trim(entry.substr(comment + 1));
    std::string unit = note.substr(0, note.find(' '));
    EXPECT_EQ(listed.count(fields[0]), 0u) << fields[0] << " listed twice";
    listed[fields[0]] = {fields[2], unit};
  }
  std::set<std::string> expected;
  for (const RegistryValue& v : kRegistryValues) {
    std::string name = narrow(v.name);
    expected.insert(name);
    auto found = listed.find(name);
    ASSERT_NE(found, listed.end()) << name << " is not in the INF";
    if (v.hasDefault) {
      EXPECT_EQ(found->second.first, std::to_string(v.defaultValue)) << name;
    }
    EXPECT_EQ(found->second.second, *v.unit ? v.unit : "-") << name;
  }
  for (const auto& l : listed) EXPECT_EQ(expected.count(l.first), 1u) << l.first << " is read by no one";
}

// The eight timing values, which the driver takes only together: the rows
// of its table from DevTimeoutCommMS to TimerPollNormalMS.
std::vector<RegistryValue> timingGroup() {
  std::vector<RegistryValue> group;
  bool inside = false;
  for (const RegistryValue& v : kRegistryValues) {
    inside = inside || narrow(v.name) == narrow(kRegDevTimeoutComm);
    if (inside) group.push_back(v);
    if (narrow(v.name) == narrow(kRegTimerPollNormal)) break;
  }
  EXPECT_EQ(group.size(), 8u);
  return group;
}

// The kit's .reg file is the way to change a timing value: it sets all
// eight, under the key the driver reads, each at the driver's default, and
// the decimal in the comment above each is the value itself.
TEST(InstallKit, TimingFileSetsTheEightValuesAtTheDriversDefaults) {
  auto text = source::lines(readFile("install/tamrixsc-timing.reg"));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], "Windows Registry Editor Version 5.00");
  std::string key = narrow(kParametersPath);
  const std::string machine = "\\REGISTRY\\Machine\\";
  ASSERT_EQ(lower(key.substr(0, machine.size())), lower(machine));
  key = "[HKEY_LOCAL_MACHINE\\" + key.substr(machine.size()) + "]";

  std::vector<std::pair<std::string, long>> set;
  std::string comment;
  bool underKey = false;
  for (const std::string& line : text) {
    if (!line.empty() && line[0] == '[') underKey = lower(line) == lower(key);
    if (line.rfind("; ", 0) == 0) comment = line.substr(2);
    const std::string dword = "\"=dword:";
    size_t at = line.find(dword);
    if (line.empty() || line[0] != '"' || at == std::string::npos) continue;
    EXPECT_TRUE(underKey) << line << " is not under " << key;
    long value = std::stol(line.substr(at + dword.size()), nullptr, 16);
    set.push_back({line.substr(1, at - 1), value});
    EXPECT_EQ(std::atol(comment.c_str()), value) << line << ": the comment above says " << comment;
  }
  std::vector<std::pair<std::string, long>> expected;
  for (const RegistryValue& v : timingGroup()) expected.push_back({narrow(v.name), v.defaultValue});
  EXPECT_EQ(set, expected);
}

// Markdown pages of the manual and the kit, and the kit's INF.
std::vector<std::string> pages() {
  std::vector<std::string> found = {"README.md", "CHANGELOG.md", "install/README.md", "install/tamrixsc.inf"};
  for (const auto& entry : std::filesystem::directory_iterator(std::string(TAMRIXSC_SOURCE_DIR) + "/docs")) {
    if (entry.path().extension() == ".md") found.push_back("docs/" + entry.path().filename().string());
  }
  return found;
}

// Text as a reader sees it: comment marks at line starts and line breaks
// are gone, runs of blanks are one blank.
std::string prose(const std::string& text) {
  std::string out;
  bool blank = false;
  for (const std::string& line : source::lines(text)) {
    std::string l = line.rfind(";", 0) == 0 ? line.substr(1) : line;
    for (char c : l + " ") {
      bool isBlank = c == ' ' || c == '\t';
      if (isBlank && blank) continue;
      out += isBlank ? ' ' : c;
      blank = isBlank;
    }
  }
  return out;
}

// A page that names one of the eight says that they count only together.
TEST(Manual, EveryPageThatNamesATimingValueSaysTheyCountTogether) {
  const std::string rule = "all eight keep their defaults";
  for (const std::string& page : pages()) {
    std::string text = readFile(page);
    for (const RegistryValue& v : timingGroup()) {
      if (text.find(narrow(v.name)) == std::string::npos) continue;
      EXPECT_NE(prose(text).find(rule), std::string::npos)
          << page << " names " << narrow(v.name) << " but does not say '" << rule << "'";
      break;
    }
  }
}

// An example that changes one of the eight changes all eight: one alone
// would change nothing.
TEST(Manual, EveryTuningExampleSetsAllEight) {
  std::vector<std::pair<std::string, std::string>> examples;  // where, text
  for (const std::string& page : pages()) {
    if (page.rfind(".md") != page.size() - 3) continue;
    for (const auto& block : source::examples(readFile(page))) {
      examples.push_back({page + ":" + std::to_string(block.line), block.body});
    }
  }
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(TAMRIXSC_SOURCE_DIR) + "/examples")) {
    std::string name = "examples/" + entry.path().filename().string();
    examples.push_back({name, readFile(name)});
  }
  examples.push_back({"install/tamrixsc-timing.reg", readFile("install/tamrixsc-timing.reg")});
  int tuning = 0;
  for (const auto& [where, text] : examples) {
    std::vector<std::string> missing;
    for (const RegistryValue& v : timingGroup()) {
      const std::string name = narrow(v.name);
      bool sets = false;
      for (const std::string& line : source::lines(text)) {
        std::string l = trim(line);
        sets = sets || l.rfind("registry set " + name + " ", 0) == 0 ||
               l.find("/v " + name + " ") != std::string::npos || l.rfind("\"" + name + "\"=", 0) == 0;
      }
      if (!sets) missing.push_back(name);
    }
    if (missing.size() == 8) continue;
    tuning++;
    EXPECT_TRUE(missing.empty()) << where << " sets some of the eight timing values but not "
                                 << ::testing::PrintToString(missing);
  }
  EXPECT_GE(tuning, 1);
}

// The range the registry page gives a timing value is the one the driver
// keeps it to: the upper bound is taken as it is, one more is brought down
// to it with a warning naming both, and one below a lower bound above 0 is
// brought up to it.
TEST(Manual, RegistryRangesAreWhatTheDriverDoes) {
  std::map<std::string, std::string> ranges;
  for (const auto& row : table("docs/registry.md", "value")) {
    ASSERT_GE(row.size(), 4u);
    ranges[row[0]] = row[3];
  }
  auto run = [](const std::string& name, long long value) {
    std::string script;
    for (const RegistryValue& v : timingGroup()) {
      const std::string n = narrow(v.name);
      script += "registry set " + n + " " + std::to_string(n == name ? value : v.defaultValue) + "\n";
    }
    std::string out, err;
    EXPECT_EQ(scsim::runScript(script + "load\nunload\n", &out, &err), 0) << err;
    return out;
  };
  int checked = 0;
  for (const RegistryValue& v : timingGroup()) {
    const std::string name = narrow(v.name);
    unsigned long long low = 0, high = 0;
    char rest = 0;
    if (sscanf(ranges[name].c_str(), "%llu to %llu%c", &low, &high, &rest) != 2) continue;
    checked++;
    std::string atHigh = run(name, static_cast<long long>(high));
    EXPECT_EQ(atHigh.find("is above the limit"), std::string::npos) << name << " " << high << ":\n" << atHigh;
    EXPECT_EQ(atHigh.find("is below the limit"), std::string::npos) << name << " " << high << ":\n" << atHigh;
    std::string above = run(name, static_cast<long long>(high + 1));
    EXPECT_NE(above.find("[" + std::to_string(high + 1) + "] is above the limit; using [" +
                         std::to_string(high) + "]"),
              std::string::npos)
        << name << " " << high + 1 << ":\n"
        << above;
    if (low > 0) {
      std::string below = run(name, static_cast<long long>(low - 1));
      EXPECT_NE(below.find("[" + std::to_string(low - 1) + "] is below the limit; using [" +
                           std::to_string(low) + "]"),
                std::string::npos)
          << name << " " << low - 1 << ":\n"
          << below;
    }
  }
  EXPECT_GE(checked, 6);
}

TEST(InstallKit, EventSourceNamesTheImageAndEverySeverityOfTheCatalogue) {
  Inf kit = inf();
  auto add = split(kit.value(kInstall + ".Services", "AddService"), ',');
  ASSERT_EQ(add.size(), 4u);
  std::string section = kit.value(add[3], "AddReg");
  ASSERT_TRUE(kit.has(section));
  std::string file, types;
  for (const std::string& line : kit.lines.at(lower(section))) {
    auto f = split(line, ',');
    if (f.size() >= 5 && f[2] == "EventMessageFile") {
      EXPECT_EQ(f[3], "0x00020000");  // REG_EXPAND_SZ
      file = f[4];
    }
    if (f.size() >= 5 && f[2] == "TypesSupported") {
      EXPECT_EQ(f[3], "0x00010001");
      types = f[4];
    }
  }
  EXPECT_NE(lower(file).find("%%systemroot%%\\system32\\drivers\\tamrixsc.sys"), std::string::npos) << file;
  // The event types of the severities the catalogue uses: error 1,
  // warning 2, informational 4.
  unsigned long supported = std::strtoul(types.c_str(), nullptr, 0);
  for (size_t i = 0; i < sim::kCatalogueSize; i++) {
    unsigned severity = sim::kCatalogue[i].id >> 30;
    unsigned type = severity == 3 ? 1 : severity == 2 ? 2 : 4;
    EXPECT_TRUE(supported & type) << sim::kCatalogue[i].name;
  }
}

TEST(Manual, RegistryTableIsTheDriversTable) {
  auto rows = table("docs/registry.md", "value");
  ASSERT_EQ(rows.size(), sizeof(kRegistryValues) / sizeof(kRegistryValues[0]));
  for (size_t i = 0; i < rows.size(); i++) {
    const RegistryValue& v = kRegistryValues[i];
    EXPECT_EQ(rows[i][0], narrow(v.name));
    EXPECT_EQ(rows[i][1], v.hasDefault ? std::to_string(v.defaultValue) : "none") << rows[i][0];
    EXPECT_EQ(rows[i][2], *v.unit ? v.unit : "-") << rows[i][0];
  }
}

TEST(Manual, EventTableIsTheCatalogue) {
  auto rows = table("docs/events.md", "name");
  ASSERT_EQ(rows.size(), sim::kCatalogueSize);
  const char* severities[] = {"success", "informational", "warning", "error"};
  for (size_t i = 0; i < rows.size(); i++) {
    const sim::CatalogueEntry& e = sim::kCatalogue[i];
    char id[16];
    snprintf(id, sizeof(id), "0x%08X", e.id);
    std::string text = e.text;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
    EXPECT_EQ(rows[i][0], e.name);
    EXPECT_EQ(rows[i][1], id) << e.name;
    EXPECT_EQ(rows[i][2], std::to_string(e.id & 0xFFFF)) << e.name;
    EXPECT_EQ(rows[i][3], severities[e.id >> 30]) << e.name;
    EXPECT_EQ(rows[i][4], text) << e.name;
  }
}

// An Event ID a page gives by hand belongs to the entry the same paragraph
// names, by its MSG_ name or its text; 7000 is the service manager's.
TEST(Manual, EventIdsInThePagesAreTheCatalogues) {
  int checked = 0;
  for (const std::string& page : pages()) {
    std::string paragraph;
    auto check = [&] {
      const std::string key = "Event ID ";
      for (size_t at = paragraph.find(key); at != std::string::npos; at = paragraph.find(key, at + 1)) {
        if (!std::isdigit(static_cast<unsigned char>(paragraph[at + key.size()])))
          continue;  // a table's header
        unsigned long id = std::strtoul(paragraph.c_str() + at + key.size(), nullptr, 10);
        if (id == 7000) continue;
        checked++;
        bool named = false;
        for (size_t i = 0; i < sim::kCatalogueSize && !named; i++) {
          const sim::CatalogueEntry& e = sim::kCatalogue[i];
          std::string text = e.text;
          text = text.substr(0, text.find_first_of("%\r"));
          named = (e.id & 0xFFFF) == id && (paragraph.find(e.name) != std::string::npos ||
                                            (text.size() > 10 && paragraph.find(text) != std::string::npos));
        }
        EXPECT_TRUE(named) << page << ": Event ID " << id
                           << " does not belong to an entry this paragraph names:\n"
                           << paragraph;
      }
      paragraph.clear();
    };
    for (const std::string& line : source::lines(readFile(page))) {
      if (trim(line).empty()) check();
      paragraph += (paragraph.empty() ? "" : " ") + trim(line);
    }
    check();
  }
  EXPECT_GE(checked, 2);
}

// The public header's request table, one row a request.
struct RequestRow {
  const char* name;
  uint32_t code;
  uint32_t input;
  uint32_t output;
  uint32_t path;
  uint32_t reply;
};
#define SC_ROW(name, function, subject, input, output, path, reply) \
  {"IOCTL_SC_" #name, IOCTL_SC_##name, input, output, path, reply},
const RequestRow kRequestRows[] = {SC_REQUESTS(SC_ROW)};
#undef SC_ROW

std::string lengthCell(uint32_t length) { return length == SC_ANY_LEN ? "any" : std::to_string(length); }

TEST(Manual, DeviceControlTableIsTheRequestTable) {
  auto rows = table("docs/device-control.md", "code");
  ASSERT_EQ(sizeof(kRequestRows) / sizeof(kRequestRows[0]), static_cast<size_t>(SC_REQUEST_COUNT));
  std::map<std::string, std::vector<std::string>> documented;
  for (const auto& row : rows) {
    ASSERT_GE(row.size(), 6u);
    EXPECT_EQ(documented.count(row[0]), 0u) << row[0] << " documented twice";
    documented[row[0]] = row;
  }
  for (const RequestRow& r : kRequestRows) {
    auto found = documented.find(r.name);
    ASSERT_NE(found, documented.end()) << r.name << " has no line in docs/device-control.md";
    const auto& cells = found->second;
    char code[16];
    snprintf(code, sizeof(code), "0x%06X", r.code);
    EXPECT_EQ(cells[1], code) << r.name;
    EXPECT_EQ(cells[2], lengthCell(r.input)) << r.name;
    std::string output = r.reply == SC_REPLY_NONE       ? "any"
                         : r.reply == SC_REPLY_IF_EXACT ? lengthCell(r.output) + " or other"
                                                        : lengthCell(r.output);
    EXPECT_EQ(cells[3], output) << r.name;
    EXPECT_EQ(cells[4], r.path == SC_QUEUED ? "queued" : "at once") << r.name;
    documented.erase(found);
  }
  for (const auto& extra : documented) ADD_FAILURE() << extra.first << " is documented but not in the header";
}

TEST(Manual, CardlanStatesAreTheHeaders) {
  const std::pair<const char*, int> states[] = {
      {"CL_NONE", CL_NONE},
      {"CL_DISCONNECTED", CL_DISCONNECTED},
      {"CL_CONNECTING", CL_CONNECTING},
      {"CL_ACTIVE_PRIMARY", CL_ACTIVE_PRIMARY},
      {"CL_ACTIVE_SECONDARY", CL_ACTIVE_SECONDARY},
      {"CL_ACTIVE", CL_ACTIVE},
  };
  auto rows = table("docs/operation.md", "state");
  ASSERT_EQ(rows.size(), sizeof(states) / sizeof(states[0]));
  for (size_t i = 0; i < rows.size(); i++) {
    EXPECT_EQ(rows[i][1], "`" + std::string(states[i].first) + "` " + std::to_string(states[i].second));
  }
}

// scctl's page and the device-control reference name the event of a
// driver that found no board by the number the System log shows.
TEST(Manual, ScctlNamesTheNoBoardEventByItsNumber) {
  const sim::CatalogueEntry* noBoard = nullptr;
  for (size_t i = 0; i < sim::kCatalogueSize; i++) {
    if (std::string(sim::kCatalogue[i].name) == "MSG_NO_LPC_CONTROLLER") noBoard = &sim::kCatalogue[i];
  }
  ASSERT_NE(noBoard, nullptr);
  std::string event = "event " + std::to_string(noBoard->id & 0xFFFF);
  std::string page = readFile("docs/scctl.md");
  EXPECT_NE(page.find(event + ", MSG_NO_LPC_CONTROLLER"), std::string::npos) << event;
  EXPECT_NE(page.find(event + " from TAMRIXSC, MSG_NO_LPC_CONTROLLER"), std::string::npos) << event;
  EXPECT_NE(readFile("docs/device-control.md").find(event + " (MSG_NO_LPC_CONTROLLER)"), std::string::npos)
      << event;
}

class NoDevice : public scctl::Device {
 public:
  scctl::OpenResult open(std::string*) override {
    ADD_FAILURE() << "help opened the device";
    return scctl::OpenResult::Failed;
  }
  scctl::Completion control(uint32_t, std::vector<uint8_t>*, uint32_t, uint32_t) override { return {}; }
};

TEST(Manual, ScctlHelpIsWhatTheToolPrints) {
  NoDevice device;
  std::ostringstream out, err;
  EXPECT_EQ(scctl::run({"--help"}, device, out, err), scctl::kExitSuccess);
  EXPECT_EQ(err.str(), "");
  std::string doc = readFile("docs/scctl.md");
  size_t start = doc.find("```\n");
  ASSERT_NE(start, std::string::npos);
  start += 4;
  size_t end = doc.find("```\n", start);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(doc.substr(start, end - start), out.str());
}

}  // namespace
