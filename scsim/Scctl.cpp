#include "Scctl.h"

#include <algorithm>
#include <ostream>
#include <streambuf>

#include "Machine.h"
#include "scctl.h"

namespace scsim {
namespace {

constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);
// As long as the `wait` command lets a request take.
constexpr int64_t kMaxWaitMs = 60000;

// Hands each complete line written to it on, with a channel prefix.
class LineBuffer : public std::streambuf {
 public:
  LineBuffer(std::string prefix, const std::function<void(const std::string&)>& print)
      : prefix_(std::move(prefix)), print_(print) {}
  void finish() {
    if (!line_.empty()) emit();
  }

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\n') {
      emit();
    } else {
      line_ += static_cast<char>(c);
    }
    return c;
  }

 private:
  void emit() {
    print_(prefix_ + line_);
    line_.clear();
  }
  std::string prefix_;
  const std::function<void(const std::string&)>& print_;
  std::string line_;
};

// The device as a process on the simulated machine reaches it: through the
// link \DosDevices\8051SCDev and the I/O manager.
class SimDevice : public scctl::Device {
 public:
  explicit SimDevice(Machine& machine) : machine_(machine) {}
  ~SimDevice() override {
    if (opened_) machine_.close();
  }

  scctl::OpenResult open(std::string* detail) override {
    NTSTATUS status = machine_.open();
    *detail = "status " + sim::statusText(status);
    if (NT_SUCCESS(status)) {
      opened_ = true;
      return scctl::OpenResult::Opened;
    }
    if (status == kNameNotFound) return scctl::OpenResult::NotFound;
    if (status == kAccessDenied) return scctl::OpenResult::AccessDenied;
    return scctl::OpenResult::Failed;
  }

  scctl::Completion control(uint32_t code, std::vector<uint8_t>* buffer, uint32_t inputLength,
                            uint32_t outputLength) override {
    Machine::IoctlResult result;
    std::vector<uint8_t> input(buffer->begin(), buffer->begin() + inputLength);
    bool sent = machine_.ioctl(code, input, inputLength, outputLength, true,
                               [&result](const Machine::IoctlResult& r) { result = r; });
    for (int64_t waited = 0; sent && !result.completed && waited < kMaxWaitMs; waited++) {
      machine_.advanceMs(1);
    }
    scctl::Completion done;
    if (!sent) {
      done.status = static_cast<uint32_t>(kNameNotFound);
    } else if (!result.completed) {
      done.statusKnown = false;  // the request never came back
      done.status = static_cast<uint32_t>(STATUS_PENDING);
    } else {
      done.status = static_cast<uint32_t>(result.status);
      done.information = static_cast<uint32_t>(result.information);
      size_t count = std::min(result.output.size(), buffer->size());
      std::copy(result.output.begin(), result.output.begin() + static_cast<ptrdiff_t>(count),
                buffer->begin());
    }
    return done;
  }

 private:
  Machine& machine_;
  bool opened_ = false;
};

}  // namespace

void runScctl(Machine& machine, const std::vector<std::string>& args,
              const std::function<void(const std::string&)>& print) {
  LineBuffer outLines("scctl: ", print);
  LineBuffer errLines("scctl-err: ", print);
  std::ostream out(&outLines);
  std::ostream err(&errLines);
  int status = 0;
  {
    SimDevice device(machine);
    status = scctl::run(args, device, out, err);
  }
  outLines.finish();
  errLines.finish();
  print("scctl-exit: " + std::to_string(status));
}

}  // namespace scsim
