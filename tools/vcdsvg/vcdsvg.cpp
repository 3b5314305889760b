// vcdsvg: draws the GPIO wires of an scsim capture as an SVG timing
// diagram, for the manual.
//
//   vcdsvg CAPTURE.vcd FROM_US TO_US > PICTURE.svg
//
// The capture must be one that `scsim --vcd` wrote: 1-bit wires named
// host_request, strobe, trdy, treq, data_out and d0 to d7. The data lines
// are drawn as one bus with the byte they carry.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Change {
  int64_t time;  // in the capture's ticks
  int value;
};

struct Capture {
  double ticksPerUs = 1;
  std::map<std::string, std::string> idOf;             // wire name -> identifier
  std::map<std::string, std::vector<Change>> changes;  // identifier -> changes
};

bool readCapture(std::istream& in, Capture* capture, std::string* error) {
  std::string word;
  int64_t now = 0;
  bool definitions = true;
  while (in >> word) {
    if (definitions) {
      if (word == "$timescale") {
        std::string amount, unit;
        in >> amount;
        // "100 ns" or "100ns".
        size_t unitAt = amount.find_first_not_of("0123456789");
        if (unitAt == std::string::npos) {
          in >> unit;
        } else {
          unit = amount.substr(unitAt);
        }
        double count = std::stod(amount.substr(0, unitAt));
        double ns = unit == "ns" ? count : unit == "us" ? count * 1000 : unit == "ps" ? count / 1000 : 0;
        if (ns <= 0) {
          *error = "unsupported timescale " + amount + " " + unit;
          return false;
        }
        capture->ticksPerUs = 1000 / ns;
      } else if (word == "$var") {
        std::string type, width, id, name;
        in >> type >> width >> id >> name;
        capture->idOf[name] = id;
      } else if (word == "$enddefinitions") {
        definitions = false;
      }
      continue;
    }
    if (word[0] == '#') {
      now = std::stoll(word.substr(1));
    } else if (word[0] == '0' || word[0] == '1') {
      capture->changes[word.substr(1)].push_back({now, word[0] - '0'});
    }
  }
  return true;
}

int valueAt(const std::vector<Change>& changes, int64_t time) {
  int value = 0;
  for (const Change& c : changes) {
    if (c.time > time) break;
    value = c.value;
  }
  return value;
}

struct Layout {
  double left = 150, width = 760, rowHeight = 46, swing = 22, top = 30;
  int64_t from = 0, to = 1;
  double x(int64_t t) const {
    return left + width * static_cast<double>(t - from) / static_cast<double>(to - from);
  }
  double y(int row, int level) const { return top + row * rowHeight + (level ? 0 : swing); }
};

void drawWire(std::ostream& svg, const Layout& l, int row, const std::string& label,
              const std::vector<Change>& changes) {
  svg << "<text x=\"8\" y=\"" << l.y(row, 0) << "\" class=\"label\">" << label << "</text>\n";
  int level = valueAt(changes, l.from);
  svg << "<polyline class=\"wire\" points=\"" << l.x(l.from) << ',' << l.y(row, level);
  for (const Change& c : changes) {
    if (c.time <= l.from || c.time >= l.to || c.value == level) continue;
    svg << ' ' << l.x(c.time) << ',' << l.y(row, level) << ' ' << l.x(c.time) << ',' << l.y(row, c.value);
    level = c.value;
  }
  svg << ' ' << l.x(l.to) << ',' << l.y(row, level) << "\"/>\n";
}

void drawBus(std::ostream& svg, const Layout& l, int row, const Capture& capture) {
  std::vector<int64_t> times = {l.from};
  for (int bit = 0; bit < 8; bit++) {
    auto found = capture.changes.find(capture.idOf.at("d" + std::to_string(bit)));
    if (found == capture.changes.end()) continue;
    for (const Change& c : found->second) {
      if (c.time > l.from && c.time < l.to) times.push_back(c.time);
    }
  }
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  times.push_back(l.to);
  auto byteAt = [&](int64_t t) {
    int value = 0;
    for (int bit = 0; bit < 8; bit++) {
      auto found = capture.changes.find(capture.idOf.at("d" + std::to_string(bit)));
      if (found != capture.changes.end()) value |= valueAt(found->second, t) << bit;
    }
    return value;
  };
  svg << "<text x=\"8\" y=\"" << l.y(row, 0) << "\" class=\"label\">d0..d7</text>\n";
  double hi = l.y(row, 1), lo = l.y(row, 0), mid = (hi + lo) / 2;
  for (size_t i = 0; i + 1 < times.size(); i++) {
    double a = l.x(times[i]), b = l.x(times[i + 1]);
    double e = std::min(3.0, (b - a) / 2);
    svg << "<polygon class=\"bus\" points=\"" << a << ',' << mid << ' ' << a + e << ',' << hi << ' ' << b - e
        << ',' << hi << ' ' << b << ',' << mid << ' ' << b - e << ',' << lo << ' ' << a + e << ',' << lo
        << "\"/>\n";
    if (b - a >= 18) {
      char text[8];
      std::snprintf(text, sizeof(text), "%02X", byteAt(times[i]));
      svg << "<text x=\"" << (a + b) / 2 << "\" y=\"" << mid + 4 << "\" class=\"byte\">" << text
          << "</text>\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: vcdsvg CAPTURE.vcd FROM_US TO_US > PICTURE.svg\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "vcdsvg: cannot open " << argv[1] << '\n';
    return 1;
  }
  Capture capture;
  std::string error;
  if (!readCapture(in, &capture, &error)) {
    std::cerr << "vcdsvg: " << argv[1] << ": " << error << '\n';
    return 1;
  }
  const std::vector<std::pair<std::string, std::string>> wires = {
      {"host_request", "host request"}, {"strobe", "strobe"}, {"trdy", "TRDY"}, {"treq", "TREQ"},
      {"data_out", "host drives data"},
  };
  for (const auto& w : wires) {
    if (capture.idOf.count(w.first) == 0) {
      std::cerr << "vcdsvg: " << argv[1] << ": no wire " << w.first << '\n';
      return 1;
    }
  }
  for (int bit = 0; bit < 8; bit++) {
    if (capture.idOf.count("d" + std::to_string(bit)) == 0) {
      std::cerr << "vcdsvg: " << argv[1] << ": no wire d" << bit << '\n';
      return 1;
    }
  }

  Layout l;
  l.from = static_cast<int64_t>(std::stod(argv[2]) * capture.ticksPerUs);
  l.to = static_cast<int64_t>(std::stod(argv[3]) * capture.ticksPerUs);
  if (l.to <= l.from) {
    std::cerr << "vcdsvg: the window must end after it starts\n";
    return 2;
  }
  int rows = static_cast<int>(wires.size()) + 1;
  double height = l.top + rows * l.rowHeight + 46;

  std::ostream& svg = std::cout;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << l.left + l.width + 20 << "\" height=\""
      << height << "\" font-family=\"monospace\" font-size=\"12\">\n"
      << "<style>.wire{fill:none;stroke:#1a5fb4;stroke-width:1.5}.bus{fill:#f6f5f4;stroke:#1a5fb4}"
         ".label{fill:#000}.byte{fill:#000;text-anchor:middle}.tick{stroke:#c0bfbc;stroke-width:0.5}"
         ".time{fill:#5e5c64;text-anchor:middle}</style>\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
  // A tick every 10 us, the time relative to the window's start.
  int64_t tick = static_cast<int64_t>(10 * capture.ticksPerUs);
  for (int64_t t = l.from; t <= l.to; t += tick) {
    svg << "<line class=\"tick\" x1=\"" << l.x(t) << "\" y1=\"" << l.top - 8 << "\" x2=\"" << l.x(t)
        << "\" y2=\"" << l.top + rows * l.rowHeight << "\"/>\n"
        << "<text class=\"time\" x=\"" << l.x(t) << "\" y=\"" << l.top + rows * l.rowHeight + 16 << "\">"
        << static_cast<int64_t>(static_cast<double>(t - l.from) / capture.ticksPerUs) << " us</text>\n";
  }
  svg << "<text class=\"label\" x=\"8\" y=\"" << height - 8
      << "\">host request, strobe, TRDY and TREQ are active low: the lower level is asserted</text>\n";
  int row = 0;
  for (const auto& w : wires) drawWire(svg, l, row++, w.second, capture.changes[capture.idOf[w.first]]);
  drawBus(svg, l, row, capture);
  svg << "</svg>\n";
  return 0;
}
