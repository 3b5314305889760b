// The simulated object manager's access check at open: a device admits a
// caller only by the DACL its driver set, and a device with none admits
// every user.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform.h"
#include "sim/kernel.h"

namespace {

PDEVICE_OBJECT g_device;
ULONG g_characteristics;
int g_reached;  // requests the driver saw

NTSTATUS NTAPI accept(PDEVICE_OBJECT, PIRP irp) {
  g_reached++;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Guarded0");
  driver->MajorFunction[IRP_MJ_CREATE] = accept;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = accept;
  return IoCreateDevice(driver, 16, &name, FILE_DEVICE_UNKNOWN, g_characteristics, FALSE, &g_device);
}

// SIDs in their binary form, as a driver spells them.
struct Sid {
  UCHAR revision;
  UCHAR count;
  UCHAR authority[6];
  ULONG sub[2];
};
Sid g_system = {1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};
Sid g_admins = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};
Sid g_everyone = {1, 1, {0, 0, 0, 0, 0, 1}, {0, 0}};

constexpr UCHAR kDeniedAce = 1;

class Security : public ::testing::Test {
 protected:
  void load(ULONG characteristics) {
    g_characteristics = characteristics;
    g_reached = 0;
    ASSERT_EQ(kernel.io.load("GUARDED", entry), STATUS_SUCCESS);
  }
  // The descriptor set as a driver sets it: Rtl routines, a kernel handle,
  // ZwSetSecurityObject. A null `acl` sets a null DACL.
  NTSTATUS protect(PACL acl) {
    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE), STATUS_SUCCESS);
    HANDLE handle;
    EXPECT_EQ(
        ObOpenObjectByPointer(g_device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle),
        STATUS_SUCCESS);
    NTSTATUS status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &sd);
    ZwClose(handle);
    return status;
  }
  PACL adminsAndSystem() {
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, &g_system), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, &g_admins), STATUS_SUCCESS);
    return acl;
  }
  NTSTATUS open(sim::Caller caller, const std::string& below = std::string()) {
    kernel.io.caller = caller;
    return kernel.io.create(g_device, nullptr, below);
  }
  sim::Kernel kernel;
  sim::Kernel::Scope activeKernel{kernel};
  ULONG aclBuffer[32];
};

TEST_F(Security, ADeviceWithoutADescriptorAdmitsEveryCaller) {
  load(0);
  for (sim::Caller c : {sim::Caller::User, sim::Caller::Admin, sim::Caller::System}) {
    EXPECT_EQ(open(c), STATUS_SUCCESS);
  }
  EXPECT_EQ(g_reached, 3);
}

TEST_F(Security, OnlyTheSystemAndAdministratorsPassTheirDacl) {
  load(FILE_DEVICE_SECURE_OPEN);
  ASSERT_EQ(protect(adminsAndSystem()), STATUS_SUCCESS);
  EXPECT_EQ(open(sim::Caller::User), STATUS_ACCESS_DENIED);
  EXPECT_EQ(g_reached, 0);
  EXPECT_EQ(open(sim::Caller::Admin), STATUS_SUCCESS);
  EXPECT_EQ(open(sim::Caller::System), STATUS_SUCCESS);
  EXPECT_EQ(g_reached, 2);

  // A request from a refused caller comes back refused, unseen by the driver.
  kernel.io.caller = sim::Caller::User;
  std::vector<NTSTATUS> statuses;
  EXPECT_EQ(kernel.io.deviceControl(g_device, 0x222054, {}, 0, 0, true,
                                    [&statuses](const sim::Request& r) { statuses.push_back(r.status); }),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(statuses, std::vector<NTSTATUS>{STATUS_ACCESS_DENIED});
  EXPECT_EQ(g_reached, 2);
  EXPECT_TRUE(kernel.verifier.violations().empty());
}

// Without FILE_DEVICE_SECURE_OPEN a name below the device reaches the
// driver unchecked, whatever the device's own DACL says.
TEST_F(Security, NamesBelowTheDeviceAreCheckedOnlyWithSecureOpen) {
  load(0);
  ASSERT_EQ(protect(adminsAndSystem()), STATUS_SUCCESS);
  EXPECT_EQ(open(sim::Caller::User), STATUS_ACCESS_DENIED);
  EXPECT_EQ(open(sim::Caller::User, "anything"), STATUS_SUCCESS);
  kernel.io.unload();
  load(FILE_DEVICE_SECURE_OPEN);
  ASSERT_EQ(protect(adminsAndSystem()), STATUS_SUCCESS);
  EXPECT_EQ(open(sim::Caller::User, "anything"), STATUS_ACCESS_DENIED);
}

TEST_F(Security, TheAceWalkOfNullEmptyAndDenyingDacls) {
  load(FILE_DEVICE_SECURE_OPEN);
  ASSERT_EQ(protect(nullptr), STATUS_SUCCESS);  // a null DACL grants everything
  EXPECT_EQ(open(sim::Caller::User), STATUS_SUCCESS);

  PACL acl = reinterpret_cast<PACL>(aclBuffer);
  ASSERT_EQ(RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION), STATUS_SUCCESS);
  ASSERT_EQ(protect(acl), STATUS_SUCCESS);  // an empty DACL grants nothing
  EXPECT_EQ(open(sim::Caller::System), STATUS_ACCESS_DENIED);

  // A denying ACE for Everyone ahead of the allowing ones shuts out all.
  ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, &g_everyone), STATUS_SUCCESS);
  reinterpret_cast<UCHAR*>(acl)[sizeof(ACL)] = kDeniedAce;
  ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, &g_admins), STATUS_SUCCESS);
  ASSERT_EQ(protect(acl), STATUS_SUCCESS);
  EXPECT_EQ(open(sim::Caller::Admin), STATUS_ACCESS_DENIED);
}

TEST_F(Security, AnAclHasRoomOnlyForWhatItsSizeHolds) {
  alignas(4) UCHAR small[sizeof(ACL) + 8 + 12];  // one ACE with a one-sub-authority SID
  PACL acl = reinterpret_cast<PACL>(small);
  ASSERT_EQ(RtlCreateAcl(acl, sizeof(small), ACL_REVISION), STATUS_SUCCESS);
  EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, &g_admins),
            STATUS_ALLOTTED_SPACE_EXCEEDED);
  EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, &g_system), STATUS_SUCCESS);
  EXPECT_EQ(acl->AceCount, 1);
  EXPECT_EQ(RtlCreateAcl(acl, sizeof(ACL) - 1, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
}

}  // namespace
