#include "Machine.h"

#include <cstdio>

#include "EventView.h"
#include "tamrixsc.h"

namespace scsim {

Machine::Machine(std::function<void(const std::string&)> sink) : board(kernel), sink_(std::move(sink)) {
  kernel.registry.createKey(kParametersKey);
  kernel.enforceClaims();
  kernel.debugger.onLine([this](const std::string& line) { sink_("dbg: " + line); });
  kernel.errorLog.onEvent([this](const sim::LoggedEvent& e) { sink_(board::eventLine(e)); });
  kernel.verifier.onViolation([this](const sim::Violation& v) {
    sink_(std::string("verifier: ") + sim::ruleName(v.rule) + ": " + v.detail);
  });
  auto& events = board.controller.events();
  events.frame = [this](bool fromHost, const std::vector<uint8_t>& bytes, bool complete) {
    // A frame cut off before its first byte is only the marker.
    std::string text = board::hexBytes(bytes);
    if (!complete) text += text.empty() ? "..." : " ...";
    sink_(std::string("wire: ") + (fromHost ? "host> " : "ctl> ") + text);
  };
  events.display = [this](const std::string& text) { sink_("display: \"" + text + "\""); };
  events.led = [this](bool on) { sink_(on ? "led: on" : "led: off"); };
}

Machine::~Machine() = default;

NTSTATUS Machine::load() {
  if (usesImage()) {
    std::string error;
    NTSTATUS status = kernel.io.loadImage("TAMRIXSC", image_, &error, imageBase_);
    if (!error.empty()) sink_("loader: " + error);
    return status;
  }
  // The compiled-in driver stands for an image mapped afresh at each load,
  // whose data starts as the file holds it: a level left by an earlier load
  // does not carry over.
  g_DebugLevel = TRACE_WARNING;
  return kernel.io.load("TAMRIXSC", DriverEntry);
}

bool Machine::unload() {
  if (!kernel.io.loaded()) return false;
  kernel.io.unload();
  return true;
}

bool Machine::shutdown(NTSTATUS* status) { return kernel.io.loaded() && kernel.io.shutdown(status, nullptr); }

NTSTATUS Machine::open() {
  PDEVICE_OBJECT d = device();
  return d == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : kernel.io.create(d, nullptr);
}

NTSTATUS Machine::close() {
  PDEVICE_OBJECT d = device();
  return d == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : kernel.io.close(d, nullptr);
}

bool Machine::ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t inputLength,
                    uint32_t outputLength, bool buffer, std::function<void(const IoctlResult&)> done) {
  PDEVICE_OBJECT d = device();
  if (d == nullptr) return false;
  kernel.io.deviceControl(d, code, input, inputLength, outputLength, buffer, [done](const sim::Request& r) {
    IoctlResult result;
    result.completed = true;
    result.status = r.status;
    result.information = r.information;
    result.output = r.output;
    if (done) done(result);
  });
  return true;
}

// The script's thread waits while the processors go on with whatever they
// have.
void Machine::advanceMs(int64_t ms) {
  const sim::Ticks until = kernel.clock.now() + ms * sim::kTicksPerMs;
  kernel.scheduler.waitUntil([] { return false; }, until);
}

std::string ioctlLine(uint32_t code, const Machine::IoctlResult& result) {
  char head[96];
  snprintf(head, sizeof(head), "ioctl: code=0x%X status=%s info=%llu out=[", code,
           sim::statusText(result.status).c_str(), static_cast<unsigned long long>(result.information));
  return head + board::hexBytes(result.output) + "]";
}

}  // namespace scsim
