#include "catalogue.h"

#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "tamrixscmsg.h"

namespace {

const sim::CatalogueEntry* find(uint32_t id) {
  for (size_t i = 0; i < sim::kCatalogueSize; i++) {
    if (sim::kCatalogue[i].id == id) return &sim::kCatalogue[i];
  }
  return nullptr;
}

TEST(Catalogue, HoldsTheFourteenMessagesUnderTheHeaderIdentifiers) {
  struct Expected {
    NTSTATUS macro;
    uint32_t id;
    const char* name;
  };
  const Expected expected[] = {
      {MSG_DRIVER_STARTED, 0x6007832C, "MSG_DRIVER_STARTED"},
      {MSG_DRIVER_STOPPED, 0x6007832D, "MSG_DRIVER_STOPPED"},
      {MSG_NO_LPC_CONTROLLER, 0xA007832E, "MSG_NO_LPC_CONTROLLER"},
      {MSG_INIT_FAILED, 0xE007832F, "MSG_INIT_FAILED"},
      {MSG_INVALID_REQUEST, 0xA0078330, "MSG_INVALID_REQUEST"},
      {MSG_INVALID_PARAMETER, 0xA0078331, "MSG_INVALID_PARAMETER"},
      {MSG_INVALID_CARDLAN_REQUEST, 0xA0078332, "MSG_INVALID_CARDLAN_REQUEST"},
      {MSG_CARDLAN_OP_FAILED, 0xE0078333, "MSG_CARDLAN_OP_FAILED"},
      {MSG_CARDLAN_STATE, 0x60078334, "MSG_CARDLAN_STATE"},
      {MSG_CONTROLLER_ERRORS, 0xA0078335, "MSG_CONTROLLER_ERRORS"},
      {MSG_FIRMWARE_VERSION_FAILED, 0xA0078336, "MSG_FIRMWARE_VERSION_FAILED"},
      {MSG_HEX_DISPLAY_FAILED, 0xA0078337, "MSG_HEX_DISPLAY_FAILED"},
      {MSG_TEXT, 0xA0078338, "MSG_TEXT"},
      {MSG_POST_CODE, 0xA0078339, "MSG_POST_CODE"},
  };
  ASSERT_EQ(sim::kCatalogueSize, sizeof expected / sizeof expected[0]);
  for (const Expected& e : expected) {
    EXPECT_EQ(static_cast<uint32_t>(e.macro), e.id) << e.name;
    const sim::CatalogueEntry* entry = find(e.id);
    ASSERT_NE(entry, nullptr) << e.name;
    EXPECT_STREQ(entry->name, e.name);
  }
}

TEST(Catalogue, KeepsTextsExactWithInsertsUnexpanded) {
  ASSERT_NE(find(0xA0078338), nullptr);
  EXPECT_STREQ(find(0xA0078338)->text, "%2.\r\n");
  ASSERT_NE(find(0x6007832C), nullptr);
  EXPECT_STREQ(find(0x6007832C)->text, "Driver started; initialized device [%1].\r\n");
  ASSERT_NE(find(0xA0078337), nullptr);
  EXPECT_STREQ(find(0xA0078337)->text, "Failed to execute a 'Hex Display' command.\r\n");
}

}  // namespace
