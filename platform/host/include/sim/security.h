// Object security of the simulated kernel: the identities behind a
// request, the discretionary ACL a driver gives its device object, and the
// access check the I/O manager makes when a handle is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The process behind an open: an ordinary interactive user, a member of the
// local Administrators alias, or the system itself.
enum class Caller { User, Admin, System };

// A SID in its binary form: revision 1, the count of sub-authorities, the
// six-byte identifier authority (big-endian), then each 32-bit
// sub-authority.
using Sid = std::vector<uint8_t>;

Sid makeSid(uint64_t authority, const std::vector<uint32_t>& subAuthorities);
// The length of a well-formed SID at `p` within `available` bytes, or 0.
size_t sidLength(const uint8_t* p, size_t available);

// The SIDs in the token of each kind of caller: its own, then its groups.
const std::vector<Sid>& tokenOf(Caller caller);

// A DACL as the object manager keeps it after capturing a descriptor: the
// ACL's bytes as the driver built them, checked once on the way in.
class Dacl {
 public:
  // Checks the ACL at `acl` (revision, size, every ACE inside the size and
  // with a well-formed SID) and copies it; the status of the first fault.
  static int32_t capture(const void* acl, Dacl* out);
  // The standard walk: the ACEs in order, an allowed ACE granting the bits
  // it holds, a denied ACE refusing any wanted bit not granted yet.
  // Generic bits in the ACEs and the wish are mapped as for files.
  bool grants(const std::vector<Sid>& token, uint32_t desired) const;

 private:
  std::vector<uint8_t> bytes_;
};

// What the object manager holds for one object: nothing set by its creator
// (the I/O manager's default for a named device, which lets every user
// open it), a descriptor without a DACL or with a null DACL (every access
// granted), or a DACL.
struct ObjectSecurity {
  bool set = false;
  std::optional<Dacl> dacl;  // empty with `set`: a null DACL

  bool admits(Caller caller, uint32_t desired) const;
};

// The generic rights of a file or device object, as the I/O manager maps
// them (FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
// FILE_ALL_ACCESS).
uint32_t mapFileGeneric(uint32_t mask);

// What CreateFile asks for when the control tool opens the device: read and
// write.
constexpr uint32_t kOpenAccess = 0x80000000u | 0x40000000u;

}  // namespace sim
