// The kernel's printf dialect, and DbgPrint, which prints with it to the
// simulated machine's debugger.
//
// Differences from the C library that matter here: WCHAR is 16 bits, %ls,
// %ws and %S take wide text, %hs and %hS narrow text, and %Z/%wZ take
// counted strings. Wide text is shown as Latin-1, which covers every text
// the driver prints.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"
#include "sim/kernel.h"
#include "sim/routines.h"

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

std::string pad(std::string body, const Conversion& conversion) {
  if (conversion.width < 0 || static_cast<int>(body.size()) >= conversion.width) {
    return body;
  }
  std::string fill(conversion.width - body.size(), ' ');
  return conversion.flags.find('-') != std::string::npos ? body + fill : fill + body;
}

std::string integer(const Conversion& conversion, va_list& args) {
  bool isSigned = conversion.conv == 'd' || conversion.conv == 'i';
  unsigned long long magnitude;
  bool negative = false;
  if (conversion.size == 'L') {
    long long v = va_arg(args, long long);
    negative = isSigned && v < 0;
    magnitude = negative ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  } else {
    // LONG and ULONG are 32 bits on the target and here.
    unsigned int v = va_arg(args, unsigned int);
    if (conversion.size == 'h') {
      v &= 0xFFFF;
    }
    negative = isSigned && static_cast<int>(v) < 0;
    magnitude = negative ? 0ULL - static_cast<unsigned long long>(static_cast<int>(v)) : v;
  }
  char conv = isSigned ? 'u' : conversion.conv;
  char fmt[16];
  snprintf(fmt, sizeof(fmt), "%%.%dll%c", conversion.precision < 0 ? 1 : conversion.precision, conv);
  char digits[64];
  snprintf(digits, sizeof(digits), fmt, magnitude);
  std::string sign =
      negative ? "-" : (isSigned && conversion.flags.find('+') != std::string::npos ? "+" : "");
  std::string body = digits;
  bool zeroFill = conversion.flags.find('0') != std::string::npos &&
                  conversion.flags.find('-') == std::string::npos && conversion.precision < 0;
  if (zeroFill && conversion.width > static_cast<int>(sign.size() + body.size())) {
    body.insert(0, conversion.width - sign.size() - body.size(), '0');
  }
  return pad(sign + body, conversion);
}

std::string text(const Conversion& conversion, va_list& args, bool* usedUnicode) {
  size_t limit = conversion.precision >= 0 ? static_cast<size_t>(conversion.precision) : SIZE_MAX;
  bool wide =
      conversion.size == 'l' || conversion.size == 'w' || (conversion.conv == 'S' && conversion.size != 'h');
  if (wide || conversion.conv == 'Z') *usedUnicode = true;
  if (conversion.conv == 'Z') {
    if (conversion.size == 'w') {
      auto* us = va_arg(args, PUNICODE_STRING);
      return pad(us ? narrowOf(us->Buffer, us->Length / sizeof(WCHAR)) : "(null)", conversion);
    }
    return pad("(unsupported %Z)", conversion);
  }
  if (wide) {
    return pad(narrowOf(va_arg(args, const WCHAR*), limit), conversion);
  }
  const char* s = va_arg(args, const char*);
  if (s == nullptr) {
    return pad("(null)", conversion);
  }
  size_t length = 0;
  while (length < limit && s[length] != 0) length++;
  return pad(std::string(s, length), conversion);
}

}  // namespace

std::string formatKernel(const char* format, va_list args, bool* usedUnicode) {
  bool unicode = false;
  va_list ap;
  va_copy(ap, args);
  std::string out;
  for (const char* p = format; *p != 0; p++) {
    if (*p != '%') {
      // The text up to the next conversion, at once.
      const char* end = std::strchr(p, '%');
      if (end == nullptr) end = p + std::strlen(p);
      out.append(p, end);
      p = end - 1;
      continue;
    }
    p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    Conversion conversion;
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
      conversion.flags += *p++;
    }
    if (*p == '*') {
      conversion.width = va_arg(ap, int);
      p++;
    } else {
      for (; *p >= '0' && *p <= '9'; p++) {
        conversion.width = (conversion.width < 0 ? 0 : conversion.width * 10) + (*p - '0');
      }
    }
    if (*p == '.') {
      p++;
      conversion.precision = 0;
      if (*p == '*') {
        conversion.precision = va_arg(ap, int);
        p++;
      }
      for (; *p >= '0' && *p <= '9'; p++) {
        conversion.precision = conversion.precision * 10 + (*p - '0');
      }
    }
    if (p[0] == 'l' && p[1] == 'l') {
      conversion.size = 'L';
      p += 2;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      conversion.size = 'L';
      p += 3;
    } else if (*p == 'h' || *p == 'l' || *p == 'w') {
      conversion.size = *p++;
    }
    conversion.conv = *p;
    switch (conversion.conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': out += integer(conversion, ap); break;
      case 'c': out += pad(std::string(1, static_cast<char>(va_arg(ap, int))), conversion); break;
      case 's':
      case 'S':
      case 'Z': out += text(conversion, ap, &unicode); break;
      case 'p': {
        char buffer[32];
        snprintf(buffer, sizeof(buffer), "%08llX",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(ap, void*))));
        out += pad(buffer, conversion);
        break;
      }
      case 0: p--; break;
      default:
        out += '%';
        out += conversion.conv;
        break;
    }
  }
  va_end(ap);
  if (usedUnicode != nullptr) *usedUnicode = unicode;
  return out;
}

}  // namespace sim

using sim::Entry;
using sim::Routine;

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  bool unicode = false;
  std::string text = sim::formatKernel(Format, args, &unicode);
  va_end(args);
  sim::Kernel& k = Entry(Routine::DbgPrint).kernel();
  // Unicode conversions touch pageable tables: PASSIVE_LEVEL only.
  if (unicode && k.irql.level() > PASSIVE_LEVEL) {
    k.verifier.report(sim::Rule::DbgprintUnicodeAtRaisedIrql,
                      "Unicode format at IRQL " + std::to_string(k.irql.level()) + ": " + Format);
  }
  k.debugger.print(text);
  return STATUS_SUCCESS;
}
