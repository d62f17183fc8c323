// The change broadcast: order, late subscribers, and losing the oldest names
// when a subscriber falls more than 32 behind.
#include <gtest/gtest.h>

#include "server.h"

namespace {

TEST(ChangeBroadcast, DeliversInOrderToThoseSubscribedAtSendTime) {
  auto b = ChangeBroadcast::create(32);
  int wakes = 0;
  auto first = b->subscribe([&] { ++wakes; });
  b->send("a");
  auto second = b->subscribe(nullptr);
  b->send("b");
  EXPECT_EQ(first->take(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(second->take(), (std::vector<std::string>{"b"}));
  EXPECT_TRUE(first->take().empty());
  EXPECT_EQ(wakes, 2);
}

TEST(ChangeBroadcast, LaggingSubscriberKeepsTheNewest32) {
  auto b = ChangeBroadcast::create(32);
  auto slow = b->subscribe(nullptr);
  for (int i = 0; i < 40; ++i) b->send("c" + std::to_string(i));
  auto names = slow->take();
  ASSERT_EQ(names.size(), 32u);
  EXPECT_EQ(names.front(), "c8");
  EXPECT_EQ(names.back(), "c39");
  b->send("next");
  EXPECT_EQ(slow->take(), (std::vector<std::string>{"next"}));
}

TEST(ChangeBroadcast, WriteCommandList) {
  for (const char* name : {"add_user", "set_role_permission", "import_suppliers", "stock_count", "add_operation_log"})
    EXPECT_TRUE(is_write_command(name)) << name;
  for (const char* name : {"Add_User", "add_user ", "login", "logout", "get_products", "save_product_document",
                           "get_or_create_product", "import_sale_orders", "check_and_run_auto_backup", ""})
    EXPECT_FALSE(is_write_command(name)) << name;
}

}  // namespace
