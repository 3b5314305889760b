// mcgen: reads the driver's message-compiler source and writes, for the host
// build, the header of message identifiers that windmc writes for the target
// build, and the catalogue table of the simulated event log.
//
// usage: mcgen [-c] -h HEADER -t TABLE INPUT.mc
//   -c  set the customer flag (bit 29) in every identifier, as windmc -c does
//
// The accepted language is the part of the message-compiler syntax the
// catalogue uses: comment lines (';'), MessageIdTypedef, SeverityNames,
// FacilityNames, LanguageNames (one language) and messages made of
// MessageId, Severity, Facility, SymbolicName and Language followed by the
// text, which ends at a line holding only '.'. As with the message compiler,
// every text line ends in CR LF in the table and Severity and Facility carry
// over from the previous message. Texts must be ASCII: the table keeps them
// as bytes while the image carries them as UTF-16.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Message {
  std::string name;
  uint32_t id;
  std::string text;
};

// One line of the header, in source order: either a comment copied from the
// source or a definition.
struct HeaderItem {
  bool comment;
  std::string text;  // comment text, or the symbol of a definition
  uint32_t value;    // facility code or message identifier
  bool isMessage;
};

struct Catalogue {
  std::string typedefName;
  std::vector<HeaderItem> header;
  std::vector<Message> messages;
};

class Parser {
 public:
  Parser(std::string path, bool customer) : path_(std::move(path)), customer_(customer) {}

  bool parse(const std::string& source, Catalogue* out) {
    splitLines(source);
    out_ = out;
    while (next_ < lines_.size()) {
      const std::string line = lines_[next_++];
      const std::string trimmed = trim(line);
      if (trimmed.empty()) continue;
      if (trimmed[0] == ';') {
        out_->header.push_back({true, trimmed.substr(1), 0, false});
        continue;
      }
      std::string key, value;
      if (!splitKeyword(trimmed, &key, &value)) return false;
      if (!keyword(key, value)) return false;
    }
    if (inMessage_) return fail("message " + current_.name + " has no text");
    if (out_->messages.empty()) return fail("no messages");
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  void splitLines(const std::string& source) {
    size_t start = 0;
    while (start < source.size()) {
      size_t end = source.find('\n', start);
      if (end == std::string::npos) end = source.size();
      std::string line = source.substr(start, end - start);
      // The source may carry either line ending; the table's is always CR LF.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(line);
      start = end + 1;
    }
  }

  static std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) b++;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) e--;
    return s.substr(b, e - b);
  }

  static std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }

  static bool isSymbol(const std::string& s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
    for (char c : s) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    }
    return true;
  }

  bool fail(const std::string& message) {
    error_ = path_ + ":" + std::to_string(next_) + ": " + message;
    return false;
  }

  bool number(const std::string& s, uint32_t max, uint32_t* value) {
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) return fail("not a number: " + s);
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (*end != '\0' || v > max) return fail("bad number: " + s);
    *value = static_cast<uint32_t>(v);
    return true;
  }

  bool splitKeyword(const std::string& line, std::string* key, std::string* value) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected keyword=value: " + line);
    *key = lower(trim(line.substr(0, eq)));
    *value = trim(line.substr(eq + 1));
    return true;
  }

  // The entries of a parenthesised list, which may run over several lines.
  bool list(std::string value, std::vector<std::string>* entries) {
    if (value.empty() || value[0] != '(') return fail("expected '(': " + value);
    value.erase(0, 1);
    while (value.find(')') == std::string::npos) {
      if (next_ >= lines_.size()) return fail("unterminated list");
      value += " " + lines_[next_++];
    }
    if (!trim(value.substr(value.find(')') + 1)).empty()) return fail("text after ')'");
    value.erase(value.find(')'));
    size_t pos = 0;
    while (true) {
      while (pos < value.size() && std::isspace(static_cast<unsigned char>(value[pos]))) pos++;
      if (pos >= value.size()) break;
      size_t end = pos;
      while (end < value.size() && !std::isspace(static_cast<unsigned char>(value[end]))) end++;
      entries->push_back(value.substr(pos, end - pos));
      pos = end;
    }
    return true;
  }

  // name=number[:symbol]
  bool listEntry(const std::string& entry, uint32_t max, std::string* name, uint32_t* value,
                 std::string* symbol) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos) return fail("expected name=value: " + entry);
    *name = lower(entry.substr(0, eq));
    std::string rest = entry.substr(eq + 1);
    size_t colon = rest.find(':');
    symbol->clear();
    if (colon != std::string::npos) {
      *symbol = rest.substr(colon + 1);
      rest.erase(colon);
      if (!isSymbol(*symbol)) return fail("bad symbol: " + *symbol);
    }
    if (!isSymbol(*name)) return fail("bad name: " + *name);
    return number(rest, max, value);
  }

  bool names(const std::string& value, uint32_t max, std::map<std::string, uint32_t>* table,
             bool defineSymbols) {
    std::vector<std::string> entries;
    if (!list(value, &entries)) return false;
    table->clear();
    for (const std::string& entry : entries) {
      std::string name, symbol;
      uint32_t v;
      if (!listEntry(entry, max, &name, &v, &symbol)) return false;
      (*table)[name] = v;
      if (!symbol.empty()) {
        if (!defineSymbols) return fail("symbolic names are not supported here: " + entry);
        out_->header.push_back({false, symbol, v, false});
      }
    }
    return true;
  }

  bool languages(const std::string& value) {
    std::vector<std::string> entries;
    if (!list(value, &entries)) return false;
    if (entries.size() != 1) return fail("exactly one language is supported");
    std::string name, file;
    uint32_t id;
    if (!listEntry(entries[0], 0xFFFF, &name, &id, &file)) return false;
    if (file.empty()) return fail("language without a file name: " + entries[0]);
    language_ = name;
    return true;
  }

  bool lookup(const std::map<std::string, uint32_t>& table, const std::string& value, uint32_t* out) {
    auto it = table.find(lower(value));
    if (it == table.end()) return fail("undeclared name: " + value);
    *out = it->second;
    return true;
  }

  bool keyword(const std::string& key, const std::string& value) {
    if (key == "messageid") {
      if (inMessage_) return fail("message " + current_.name + " has no text");
      inMessage_ = true;
      current_ = Message{};
      if (value.empty()) {
        if (!haveCode_) return fail("the first MessageId needs a value");
        code_++;
      } else if (!number(value, 0xFFFF, &code_)) {
        return false;
      }
      if (code_ > 0xFFFF) return fail("message code out of range");
      haveCode_ = true;
      return true;
    }
    if (key == "messageidtypedef") {
      if (!isSymbol(value)) return fail("bad type name: " + value);
      out_->typedefName = value;
      return true;
    }
    if (key == "severitynames") return names(value, 3, &severities_, false);
    if (key == "facilitynames") return names(value, 0xFFF, &facilities_, true);
    if (key == "languagenames") return languages(value);
    if (!inMessage_) return fail("keyword outside a message: " + key);
    if (key == "severity") return lookup(severities_, value, &severity_);
    if (key == "facility") return lookup(facilities_, value, &facility_);
    if (key == "symbolicname") {
      if (!isSymbol(value)) return fail("bad symbolic name: " + value);
      current_.name = value;
      return true;
    }
    if (key == "language") {
      if (lower(value) != language_) return fail("undeclared language: " + value);
      return text();
    }
    return fail("unsupported keyword: " + key);
  }

  bool text() {
    if (current_.name.empty()) return fail("message without SymbolicName");
    while (true) {
      if (next_ >= lines_.size()) return fail("text of " + current_.name + " does not end with '.'");
      const std::string& line = lines_[next_++];
      if (line == ".") break;
      for (char c : line) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80 || (u < 0x20 && c != '\t')) return fail("text is not plain ASCII");
      }
      current_.text += line + "\r\n";
    }
    current_.id = (severity_ << 30) | (customer_ ? 1u << 29 : 0u) | (facility_ << 16) | code_;
    for (const Message& m : out_->messages) {
      if (m.name == current_.name) return fail("duplicate name " + m.name);
      if (m.id == current_.id) return fail("duplicate identifier of " + current_.name);
    }
    out_->messages.push_back(current_);
    out_->header.push_back({false, current_.name, current_.id, true});
    inMessage_ = false;
    return true;
  }

  std::string path_;
  bool customer_;
  std::vector<std::string> lines_;
  size_t next_ = 0;
  Catalogue* out_ = nullptr;
  std::string error_;
  std::map<std::string, uint32_t> severities_;
  std::map<std::string, uint32_t> facilities_;
  std::string language_;
  bool inMessage_ = false;
  bool haveCode_ = false;
  uint32_t code_ = 0;
  uint32_t severity_ = 0;
  uint32_t facility_ = 0;
  Message current_;
};

std::string hex(uint32_t value, bool upper) {
  char buf[16];
  std::snprintf(buf, sizeof buf, upper ? "0x%08X" : "0x%08x", value);
  return buf;
}

// The definitions take windmc's form, so that both builds see the same
// tokens.
std::string headerText(const Catalogue& c, const std::string& input) {
  std::string s = "// Generated by mcgen from " + input + "; do not edit.\n\n";
  for (const HeaderItem& item : c.header) {
    if (item.comment) {
      s += item.text + "\n";
    } else if (!item.isMessage) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%x", item.value);
      s += "#define " + item.text + " " + buf + "\n";
    } else {
      std::string cast = c.typedefName.empty() ? "" : "(" + c.typedefName + ") ";
      s += "\n//\n// MessageId: " + item.text + "\n//\n";
      s += "#define " + item.text + " " + cast + hex(item.value, false) + "\n";
    }
  }
  return s;
}

std::string cString(const std::string& text) {
  std::string s = "\"";
  for (char c : text) {
    switch (c) {
      case '\\': s += "\\\\"; break;
      case '"': s += "\\\""; break;
      case '\r': s += "\\r"; break;
      case '\n': s += "\\n"; break;
      case '\t': s += "\\t"; break;
      default: s += c;
    }
  }
  return s + "\"";
}

std::string tableText(const Catalogue& c, const std::string& input) {
  std::string s = "// Generated by mcgen from " + input + "; do not edit.\n";
  s += "#include \"catalogue.h\"\n\nnamespace sim {\n\nconst CatalogueEntry kCatalogue[] = {\n";
  for (const Message& m : c.messages) {
    s += "    {" + hex(m.id, true) + "u, \"" + m.name + "\", " + cString(m.text) + "},\n";
  }
  s += "};\n\nconst size_t kCatalogueSize = sizeof(kCatalogue) / sizeof(kCatalogue[0]);\n\n}  // namespace "
       "sim\n";
  return s;
}

bool readFile(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool writeFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  return ok;
}

std::string baseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  bool customer = false;
  std::string headerPath, tablePath, input;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "-c") {
      customer = true;
    } else if (arg == "-h" && i + 1 < argc) {
      headerPath = argv[++i];
    } else if (arg == "-t" && i + 1 < argc) {
      tablePath = argv[++i];
    } else if (input.empty() && !arg.empty() && arg[0] != '-') {
      input = arg;
    } else {
      input.clear();
      break;
    }
  }
  if (input.empty() || headerPath.empty() || tablePath.empty()) {
    std::fprintf(stderr, "usage: mcgen [-c] -h HEADER -t TABLE INPUT.mc\n");
    return 2;
  }

  std::string source;
  if (!readFile(input, &source)) {
    std::fprintf(stderr, "mcgen: cannot read %s: %s\n", input.c_str(), std::strerror(errno));
    return 1;
  }
  Catalogue catalogue;
  Parser parser(input, customer);
  if (!parser.parse(source, &catalogue)) {
    std::fprintf(stderr, "mcgen: %s\n", parser.error().c_str());
    return 1;
  }
  const std::string name = baseName(input);
  if (!writeFile(headerPath, headerText(catalogue, name))) {
    std::fprintf(stderr, "mcgen: cannot write %s\n", headerPath.c_str());
    return 1;
  }
  if (!writeFile(tablePath, tableText(catalogue, name))) {
    std::fprintf(stderr, "mcgen: cannot write %s\n", tablePath.c_str());
    return 1;
  }
  return 0;
}
