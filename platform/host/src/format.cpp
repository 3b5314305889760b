// The kernel's printf dialect, for DbgPrint on the simulated machine.
//
// Differences from the C library that matter here: WCHAR is 16 bits, %ls,
// %ws and %S take wide text, %hs and %hS narrow text, and %Z/%wZ take
// counted strings. Wide text is shown as Latin-1, which covers every text
// the driver prints.
#include <cstdio>
#include <string>

#include "platform.h"
#include "sim/kernel.h"

namespace sim {
namespace {

struct Conversion {
  std::string flags;
  int width = -1;
  int precision = -1;
  char size = 0;  // 'h', 'l', 'L' (ll, I64), 'w'
  char conv = 0;
};

std::string narrowOf(const WCHAR* text, size_t maxUnits) {
  std::string out;
  if (text == nullptr) {
    return "(null)";
  }
  for (size_t i = 0; i < maxUnits && text[i] != 0; i++) {
    out += text[i] < 0x100 ? static_cast<char>(text[i]) : '?';
  }
  return out;
}

std::string pad(std::string body, const Conversion& spec) {
  if (spec.width < 0 || static_cast<int>(body.size()) >= spec.width) {
    return body;
  }
  std::string fill(spec.width - body.size(), ' ');
  return spec.flags.find('-') != std::string::npos ? body + fill : fill + body;
}

std::string integer(const Conversion& spec, va_list& args) {
  bool isSigned = spec.conv == 'd' || spec.conv == 'i';
  unsigned long long magnitude;
  bool negative = false;
  if (spec.size == 'L') {
    long long v = va_arg(args, long long);
    negative = isSigned && v < 0;
    magnitude = negative ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  } else {
    // LONG and ULONG are 32 bits on the target and here.
    unsigned int v = va_arg(args, unsigned int);
    if (spec.size == 'h') {
      v &= 0xFFFF;
    }
    negative = isSigned && static_cast<int>(v) < 0;
    magnitude = negative ? 0ULL - static_cast<unsigned long long>(static_cast<int>(v)) : v;
  }
  char conv = isSigned ? 'u' : spec.conv;
  char fmt[16];
  snprintf(fmt, sizeof(fmt), "%%.%dll%c", spec.precision < 0 ? 1 : spec.precision, conv);
  char digits[64];
  snprintf(digits, sizeof(digits), fmt, magnitude);
  std::string sign = negative ? "-" : (isSigned && spec.flags.find('+') != std::string::npos ? "+" : "");
  std::string body = digits;
  bool zeroFill = spec.flags.find('0') != std::string::npos && spec.flags.find('-') == std::string::npos &&
                  spec.precision < 0;
  if (zeroFill && spec.width > static_cast<int>(sign.size() + body.size())) {
    body.insert(0, spec.width - sign.size() - body.size(), '0');
  }
  return pad(sign + body, spec);
}

std::string text(const Conversion& spec, va_list& args, bool* usedUnicode) {
  size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
  bool wide = spec.size == 'l' || spec.size == 'w' || (spec.conv == 'S' && spec.size != 'h');
  if (wide || spec.conv == 'Z') *usedUnicode = true;
  if (spec.conv == 'Z') {
    if (spec.size == 'w') {
      auto* us = va_arg(args, PUNICODE_STRING);
      return pad(us ? narrowOf(us->Buffer, us->Length / sizeof(WCHAR)) : "(null)", spec);
    }
    return pad("(unsupported %Z)", spec);
  }
  if (wide) {
    return pad(narrowOf(va_arg(args, const WCHAR*), limit), spec);
  }
  const char* s = va_arg(args, const char*);
  if (s == nullptr) {
    return pad("(null)", spec);
  }
  std::string out;
  for (size_t i = 0; i < limit && s[i] != 0; i++) {
    out += s[i];
  }
  return pad(out, spec);
}

}  // namespace

std::string formatKernel(const char* format, va_list args, bool* usedUnicode) {
  bool unicode = false;
  va_list ap;
  va_copy(ap, args);
  std::string out;
  for (const char* p = format; *p != 0; p++) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    Conversion spec;
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
      spec.flags += *p++;
    }
    if (*p == '*') {
      spec.width = va_arg(ap, int);
      p++;
    } else {
      for (; *p >= '0' && *p <= '9'; p++) {
        spec.width = (spec.width < 0 ? 0 : spec.width * 10) + (*p - '0');
      }
    }
    if (*p == '.') {
      p++;
      spec.precision = 0;
      if (*p == '*') {
        spec.precision = va_arg(ap, int);
        p++;
      }
      for (; *p >= '0' && *p <= '9'; p++) {
        spec.precision = spec.precision * 10 + (*p - '0');
      }
    }
    if (p[0] == 'l' && p[1] == 'l') {
      spec.size = 'L';
      p += 2;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      spec.size = 'L';
      p += 3;
    } else if (*p == 'h' || *p == 'l' || *p == 'w') {
      spec.size = *p++;
    }
    spec.conv = *p;
    switch (spec.conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': out += integer(spec, ap); break;
      case 'c': out += pad(std::string(1, static_cast<char>(va_arg(ap, int))), spec); break;
      case 's':
      case 'S':
      case 'Z': out += text(spec, ap, &unicode); break;
      case 'p': {
        char buffer[32];
        snprintf(buffer, sizeof(buffer), "%08llX",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(ap, void*))));
        out += pad(buffer, spec);
        break;
      }
      case 0: p--; break;
      default:
        out += '%';
        out += spec.conv;
        break;
    }
  }
  va_end(ap);
  if (usedUnicode != nullptr) *usedUnicode = unicode;
  return out;
}

}  // namespace sim
