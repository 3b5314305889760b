// The install kit and the manual against what the code declares: the
// driver's registry table, its service name, the message catalogue, the
// public header and the control tool's help. A table that drifts from the
// code fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "RegistryValues.h"
#include "catalogue.h"
#include "scctl.h"
#include "scioctl.h"
#include "tamrixsc_version.h"

namespace {

std::string readFile(const std::string& relative) {
  std::ifstream in(std::string(TAMRIXSC_SOURCE_DIR) + "/" + relative);
  EXPECT_TRUE(in.good()) << relative;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string narrow(PCWSTR text) {
  std::string out;
  for (; *text != 0; text++) out += static_cast<char>(*text);
  return out;
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  size_t b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> split(const std::string& s, char by) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, by)) parts.push_back(trim(part));
  if (!s.empty() && s.back() == by) parts.push_back("");
  return parts;
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

TEST(InstallKit, ServiceIsTheLegacyKernelDriverTheDriverReadsItsKeyUnder) {
  Inf kit = inf();
  ASSERT_TRUE(kit.has("DefaultInstall"));
  auto add = split(kit.value("DefaultInstall.Services", "AddService"), ',');
  ASSERT_EQ(add.size(), 4u);
  EXPECT_EQ(add[0], serviceName());
  const std::string service = add[2];
  EXPECT_EQ(kit.value(service, "ServiceType"), "1");   // SERVICE_KERNEL_DRIVER
  EXPECT_EQ(kit.value(service, "StartType"), "2");     // SERVICE_AUTO_START
  EXPECT_EQ(kit.value(service, "ErrorControl"), "1");  // SERVICE_ERROR_NORMAL
  EXPECT_EQ(lower(kit.value(service, "ServiceBinary")), "%12%\\tamrixsc.sys");

  // The image the service names is the one the install copies, to the
  // drivers folder (12), from the distribution.
  std::string files = kit.value("DefaultInstall", "CopyFiles");
  ASSERT_FALSE(files.empty());
  EXPECT_EQ(kit.value("DestinationDirs", files), "12");
  ASSERT_TRUE(kit.has(files));
  EXPECT_EQ(kit.lines.at(lower(files)), std::vector<std::string>{"tamrixsc.sys"});
  EXPECT_EQ(split(kit.value("SourceDisksFiles", "tamrixsc.sys"), ',')[0], "1");
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
  EXPECT_EQ(kit.value("DefaultUninstall", "DelFiles"), kit.value("DefaultInstall", "CopyFiles"));
  auto del = split(kit.value("DefaultUninstall.Services", "DelService"), ',');
  ASSERT_EQ(del.size(), 2u);
  EXPECT_EQ(del[0], serviceName());
  unsigned long flags = std::strtoul(del[1].c_str(), nullptr, 0);
  EXPECT_TRUE(flags & 0x200) << "SPSVCINST_STOPSERVICE: stop the driver before deleting it";
  EXPECT_TRUE(flags & 0x4) << "SPSVCINST_DELETEEVENTLOGENTRY: remove the event source";
}

TEST(InstallKit, ParametersListEveryValueTheDriverReadsWithItsDefault) {
  Inf kit = inf();
  auto add = split(kit.value("DefaultInstall.Services", "AddService"), ',');
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

TEST(InstallKit, EventSourceNamesTheImageAndEverySeverityOfTheCatalogue) {
  Inf kit = inf();
  auto add = split(kit.value("DefaultInstall.Services", "AddService"), ',');
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

// Rows of the first table in a Markdown file whose header starts with
// `first`, as cells.
std::vector<std::vector<std::string>> table(const std::string& relative, const std::string& first) {
  std::istringstream in(readFile(relative));
  std::string line;
  std::vector<std::vector<std::string>> rows;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind("| " + first + " |", 0) == 0) {
      inside = true;
      std::getline(in, line);  // the rule under the header
      continue;
    }
    if (!inside) continue;
    if (line.empty() || line[0] != '|') break;
    auto cells = split(line.substr(1, line.size() - 2), '|');
    rows.push_back(cells);
  }
  EXPECT_FALSE(rows.empty()) << "no table headed '" << first << "' in " << relative;
  return rows;
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
