// Reading the repository's own text files (the manual, the install kit, the
// scenario transcripts) for the tests that hold them to the code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace source {

// A file of the source tree, byte for byte (no line-end translation).
inline std::string read(const std::string& relative) {
  std::ifstream in(std::string(TAMRIXSC_SOURCE_DIR) + "/" + relative, std::ios::binary);
  EXPECT_TRUE(in.good()) << relative;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  size_t b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

inline std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

inline std::vector<std::string> split(const std::string& s, char by) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, by)) parts.push_back(trim(part));
  if (!s.empty() && s.back() == by) parts.push_back("");
  return parts;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

// The cells of a Markdown table row, trimmed; `\|` inside a cell is a
// pipe of its text.
inline std::vector<std::string> cells(const std::string& row) {
  std::vector<std::string> out;
  std::string cell;
  for (size_t i = 1; i + 1 < row.size(); i++) {
    if (row[i] == '\\' && row[i + 1] == '|') {
      cell += '|';
      i++;
    } else if (row[i] == '|') {
      out.push_back(trim(cell));
      cell.clear();
    } else {
      cell += row[i];
    }
  }
  out.push_back(trim(cell));
  return out;
}

// Rows of a Markdown table as cells: the first table in the file whose
// header row starts with `first`, or every such table when `all` is set.
inline std::vector<std::vector<std::string>> table(const std::string& relative, const std::string& first,
                                                   bool all = false) {
  std::vector<std::vector<std::string>> rows;
  bool inside = false;
  bool seen = false;
  const auto text = lines(read(relative));
  for (size_t i = 0; i < text.size(); i++) {
    const std::string& line = text[i];
    if (line.rfind("| " + first + " |", 0) == 0 && (all || !seen)) {
      inside = true;
      seen = true;
      i++;  // the rule under the header
      continue;
    }
    if (!inside) continue;
    if (line.empty() || line[0] != '|') {
      inside = false;
      continue;
    }
    rows.push_back(cells(line));
  }
  EXPECT_FALSE(rows.empty()) << "no table headed '" << first << "' in " << relative;
  return rows;
}

// A fenced code block of a Markdown page: the word after the opening
// fence, and the lines between the fences.
struct CodeBlock {
  std::string info;
  std::string body;
  size_t line;  // of the opening fence, from 1
};

inline std::vector<CodeBlock> codeBlocks(const std::string& text) {
  std::vector<CodeBlock> blocks;
  const auto all = lines(text);
  for (size_t i = 0; i < all.size(); i++) {
    if (all[i].rfind("```", 0) != 0) continue;
    CodeBlock block{trim(all[i].substr(3)), "", i + 1};
    for (i++; i < all.size() && all[i].rfind("```", 0) != 0; i++) block.body += all[i] + "\n";
    blocks.push_back(block);
  }
  return blocks;
}

// The examples of a page: its fenced code blocks, and each run of lines
// indented by four blanks outside them (Markdown's other code block).
inline std::vector<CodeBlock> examples(const std::string& text) {
  std::vector<CodeBlock> blocks = codeBlocks(text);
  const auto all = lines(text);
  bool fenced = false;
  for (size_t i = 0; i < all.size(); i++) {
    if (all[i].rfind("```", 0) == 0) fenced = !fenced;
    if (fenced || all[i].rfind("    ", 0) != 0) continue;
    CodeBlock block{"", "", i + 1};
    for (; i < all.size() && all[i].rfind("    ", 0) == 0; i++) block.body += all[i].substr(4) + "\n";
    blocks.push_back(block);
    i--;  // the line that ended the run is looked at again
  }
  return blocks;
}

// The text between backticks of a table cell: "`load`" gives "load".
inline std::string unquoted(const std::string& cell) {
  if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`') return cell.substr(1, cell.size() - 2);
  return "";
}

}  // namespace source
