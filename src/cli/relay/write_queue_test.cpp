#include "cli/relay/write_queue.h"

#include <gtest/gtest.h>

namespace relay {
namespace {

TEST(WriteQueue, DeliversInOrderThenClosesWhenSendersAreGone) {
  auto [sender, receiver] = make_write_queue();
  QueueSender other = sender.clone();
  ASSERT_TRUE(sender.send(WriteBatch{{"a"}, {}}));
  ASSERT_TRUE(other.send(WriteBatch{{"b"}, {}}));
  sender.release();
  other.release();
  EXPECT_EQ(receiver.receive()->chunks.front(), "a");
  EXPECT_EQ(receiver.receive()->chunks.front(), "b");
  EXPECT_FALSE(receiver.receive().has_value());
}

TEST(WriteQueue, SendFailsAndReturnsTheBatchOnceTheReceiverIsGone) {
  auto [sender, receiver] = make_write_queue();
  receiver.release();
  WriteBatch batch{{"kept"}, {}};
  EXPECT_FALSE(sender.send(std::move(batch)));
  EXPECT_EQ(batch.chunks.front(), "kept");
}

}  // namespace
}  // namespace relay
