#include "sim/security.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr uint64_t kWorldAuthority = 1;
constexpr uint64_t kNtAuthority = 5;
constexpr uint32_t kLocalSystemRid = 18;
constexpr uint32_t kInteractiveRid = 4;
constexpr uint32_t kAuthenticatedUserRid = 11;
constexpr uint32_t kBuiltinDomainRid = 32;
constexpr uint32_t kAdminsAliasRid = 544;
constexpr uint32_t kUsersAliasRid = 545;
constexpr uint32_t kAccountDomainRid = 21;
// The machine's own account domain and two accounts in it.
const std::vector<uint32_t> kDomain = {kAccountDomainRid, 1004336348, 1177238915, 682003330};
constexpr uint32_t kAdministratorRid = 500;
constexpr uint32_t kFirstUserRid = 1001;

// An ACL header is 8 bytes; an ACE header 4, then its 32-bit mask and SID.
constexpr size_t kAclHeader = 8;
constexpr size_t kAceFixed = 8;
constexpr uint8_t kMinAclRevision = 2;
constexpr uint8_t kMaxAclRevision = 4;
constexpr uint8_t kAccessAllowedAce = 0;
constexpr uint8_t kAccessDeniedAce = 1;
constexpr uint8_t kSidRevision = 1;
constexpr uint8_t kMaxSubAuthorities = 15;

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusInvalidAcl = static_cast<int32_t>(0xC0000077u);
constexpr int32_t kStatusUnknownRevision = static_cast<int32_t>(0xC0000058u);

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(u16(p) | static_cast<uint32_t>(u16(p + 2)) << 16);
}

Sid domainAccount(uint32_t rid) {
  std::vector<uint32_t> subs = kDomain;
  subs.push_back(rid);
  return makeSid(kNtAuthority, subs);
}

bool holds(const std::vector<Sid>& token, const uint8_t* sid, size_t length) {
  return std::any_of(token.begin(), token.end(), [&](const Sid& s) {
    return s.size() == length && std::memcmp(s.data(), sid, length) == 0;
  });
}

}  // namespace

Sid makeSid(uint64_t authority, const std::vector<uint32_t>& subAuthorities) {
  Sid sid = {kSidRevision, static_cast<uint8_t>(subAuthorities.size())};
  for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<uint8_t>(authority >> shift));
  for (uint32_t sub : subAuthorities) {
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<uint8_t>(sub >> shift));
  }
  return sid;
}

size_t sidLength(const uint8_t* p, size_t available) {
  if (available < 8 || p[0] != kSidRevision || p[1] > kMaxSubAuthorities) return 0;
  size_t length = 8 + 4 * static_cast<size_t>(p[1]);
  return length <= available ? length : 0;
}

namespace {
std::vector<Sid> makeToken(Caller caller) {
  const Sid everyone = makeSid(kWorldAuthority, {0});
  const Sid authenticated = makeSid(kNtAuthority, {kAuthenticatedUserRid});
  const Sid interactive = makeSid(kNtAuthority, {kInteractiveRid});
  const Sid users = makeSid(kNtAuthority, {kBuiltinDomainRid, kUsersAliasRid});
  const Sid admins = makeSid(kNtAuthority, {kBuiltinDomainRid, kAdminsAliasRid});
  switch (caller) {
    case Caller::User: return {domainAccount(kFirstUserRid), everyone, interactive, authenticated, users};
    case Caller::Admin:
      return {domainAccount(kAdministratorRid), everyone, interactive, authenticated, users, admins};
    case Caller::System: return {makeSid(kNtAuthority, {kLocalSystemRid}), everyone, authenticated, admins};
  }
  return {};
}
}  // namespace

// A kind of caller always has the same token: each is made once, on first
// use, and never changes (every request's access check reads one).
const std::vector<Sid>& tokenOf(Caller caller) {
  static const std::vector<Sid> tokens[] = {makeToken(Caller::User), makeToken(Caller::Admin),
                                            makeToken(Caller::System)};
  return tokens[static_cast<size_t>(caller)];
}

uint32_t mapFileGeneric(uint32_t mask) {
  constexpr uint32_t kGenericRead = 0x80000000u;
  constexpr uint32_t kGenericWrite = 0x40000000u;
  constexpr uint32_t kGenericExecute = 0x20000000u;
  constexpr uint32_t kGenericAll = 0x10000000u;
  constexpr uint32_t kFileGenericRead = 0x00120089u;
  constexpr uint32_t kFileGenericWrite = 0x00120116u;
  constexpr uint32_t kFileGenericExecute = 0x001200A0u;
  constexpr uint32_t kFileAllAccess = 0x001F01FFu;
  uint32_t out = mask & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
  if (mask & kGenericRead) out |= kFileGenericRead;
  if (mask & kGenericWrite) out |= kFileGenericWrite;
  if (mask & kGenericExecute) out |= kFileGenericExecute;
  if (mask & kGenericAll) out |= kFileAllAccess;
  return out;
}

int32_t Dacl::capture(const void* acl, Dacl* out) {
  const uint8_t* p = static_cast<const uint8_t*>(acl);
  if (p[0] < kMinAclRevision || p[0] > kMaxAclRevision) return kStatusUnknownRevision;
  size_t size = u16(p + 2);
  size_t count = u16(p + 4);
  if (size < kAclHeader) return kStatusInvalidAcl;
  size_t offset = kAclHeader;
  for (size_t i = 0; i < count; i++) {
    if (offset + kAceFixed > size) return kStatusInvalidAcl;
    size_t aceSize = u16(p + offset + 2);
    if (aceSize < kAceFixed || offset + aceSize > size) return kStatusInvalidAcl;
    uint8_t type = p[offset];
    if ((type == kAccessAllowedAce || type == kAccessDeniedAce) &&
        sidLength(p + offset + kAceFixed, aceSize - kAceFixed) == 0) {
      return kStatusInvalidAcl;
    }
    offset += aceSize;
  }
  out->bytes_.assign(p, p + size);
  return kStatusSuccess;
}

bool Dacl::grants(const std::vector<Sid>& token, uint32_t desired) const {
  uint32_t wanted = mapFileGeneric(desired);
  uint32_t granted = 0;
  const uint8_t* p = bytes_.data();
  size_t count = u16(p + 4);
  size_t offset = kAclHeader;
  for (size_t i = 0; i < count && (wanted & ~granted) != 0; i++) {
    const uint8_t* ace = p + offset;
    size_t aceSize = u16(ace + 2);
    offset += aceSize;
    uint8_t type = ace[0];
    if (type != kAccessAllowedAce && type != kAccessDeniedAce) continue;
    const uint8_t* sid = ace + kAceFixed;
    if (!holds(token, sid, sidLength(sid, aceSize - kAceFixed))) continue;
    uint32_t mask = mapFileGeneric(u32(ace + 4));
    if (type == kAccessDeniedAce && (mask & wanted & ~granted) != 0) return false;
    if (type == kAccessAllowedAce) granted |= mask & wanted;
  }
  return (wanted & ~granted) == 0;
}

bool ObjectSecurity::admits(Caller caller, uint32_t desired) const {
  if (!set || !dacl) return true;
  return dacl->grants(tokenOf(caller), desired);
}

}  // namespace sim
