// What the HAL needs of the Win32 side of the process it lives in, behind
// plain declarations: <windows.h> and the kernel headers do not go together
// in one translation unit, so the kernel-side files see only this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace win32 {

// A lock with a condition to wait on (a critical section and a condition
// variable).
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  void enter();
  void leave();
  // Called with the monitor entered; leaves it while waiting.
  void wait();
  void notifyAll();

 private:
  void* state_;
};

class Hold {
 public:
  explicit Hold(Monitor& monitor) : monitor_(monitor) { monitor_.enter(); }
  ~Hold() { monitor_.leave(); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  Monitor& monitor_;
};

uint32_t currentThread();
void yieldProcessor();
// Runs `routine(argument)` on a new thread of the process.
bool startThread(void (*routine)(void*), void* argument);

// An export of a module already loaded in the process, or nullptr.
void* moduleHandle(const char* module);
void* procAddress(void* module, const char* name);
// One export of a module, rebound: `address` replaces the export named
// `name`, whose address so far goes to `original`, or is added when the
// module does not export that name.
struct Export {
  const char* name;
  void* address;
  void* original;
};
bool bindExports(void* module, Export* rows, size_t count, std::string* error);

// Makes `length` bytes at `address` writable; false when the system refuses.
bool makeWritable(void* address, uint32_t length);
// Memory that nothing may touch: a stand-in for system addresses.
void* reserveAddresses(uint32_t length);
void releaseAddresses(void* address);
void* allocateZeroed(uint32_t length);
void freeMemory(void* p);

// A thread-pool timer (what Wine keeps behind a KTIMER): expirations stop;
// callbacks already running go on.
void stopTimerCallbacks(void* tpTimer);
// Returns once the timer's callbacks that are queued or running have ended.
void waitTimerCallbacks(void* tpTimer);

// The text of message `id` in the message table of the module at `base`,
// as stored (inserts unexpanded); false when the table has no such message.
bool messageText(void* base, uint32_t id, std::u16string* text);

// Named events shared with halctl.exe.
void* createEvent(const char* name);
void waitEvent(void* event);
void setEvent(void* event);

bool readLines(const char* path, std::vector<std::string>* lines);
// Appends one line; each line is written whole.
void appendLine(const char* path, const std::string& line);

}  // namespace win32
