// Pieces of the driver protocol shared by the client and the service: the
// receive buffer frames are taken from, the frame header written for a
// payload sent separately, and the budget of looking for a message without
// sleeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/posix/DriverWire.h"

namespace drvtest {
namespace {

using namespace driverproto;

std::string Contents(const ReceiveBuffer& b) { return std::string(b.Data(), b.Size()); }

// Writes `bytes` into the buffer the way a socket read does.
void Receive(ReceiveBuffer& b, const std::string& bytes, size_t minRoom = 16) {
  size_t room = 0;
  char* into = b.Reserve(std::max(minRoom, bytes.size()), room);
  ASSERT_GE(room, bytes.size());
  std::copy(bytes.begin(), bytes.end(), into);
  b.Commit(bytes.size());
}

TEST(ReceiveBuffer, BytesComeOutInTheOrderTheyWentIn) {
  ReceiveBuffer b;
  EXPECT_TRUE(b.Empty());
  Receive(b, "abcdef");
  Receive(b, "ghij");
  EXPECT_EQ(Contents(b), "abcdefghij");
  b.Consume(4);
  EXPECT_EQ(Contents(b), "efghij");
  Receive(b, "kl");
  EXPECT_EQ(Contents(b), "efghijkl");
  b.Consume(100);  // more than there is: all of it, nothing beyond
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.Size(), 0u);
  Receive(b, "mn");
  EXPECT_EQ(Contents(b), "mn");
  b.Clear();
  EXPECT_TRUE(b.Empty());
}

TEST(ReceiveBuffer, RoomIsMadeByMovingOrGrowingWithoutLosingBytes) {
  struct Case {
    const char* what;
    size_t first;     // bytes received first
    size_t consumed;  // of those, taken off the front
    size_t room;      // room asked for next
  } cases[] = {
      {"room at the end already", 10, 0, 16},
      {"room after moving the rest to the front", 40, 30, 40},
      {"growing beyond the first size", 50, 10, 200},
      {"growing a lot at once", 64, 0, 1u << 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ReceiveBuffer b;
    std::string sent;
    for (size_t i = 0; i < c.first; ++i) sent.push_back(static_cast<char>('A' + i % 26));
    Receive(b, sent, 64);
    b.Consume(c.consumed);
    size_t room = 0;
    char* into = b.Reserve(c.room, room);
    EXPECT_GE(room, c.room);
    EXPECT_EQ(into, b.Data() + b.Size()) << "the room follows the unconsumed bytes";
    EXPECT_EQ(Contents(b), sent.substr(c.consumed));
    into[0] = '#';
    b.Commit(1);
    EXPECT_EQ(Contents(b), sent.substr(c.consumed) + "#");
  }
}

TEST(ReceiveBuffer, ConsumedBytesStayInPlaceUntilTheNextReserve) {
  ReceiveBuffer b;
  Receive(b, "header-payload-next");
  const char* payload = b.Data() + 7;
  b.Consume(19);
  // A frame taken off the buffer is still readable where it was received.
  EXPECT_EQ(std::string(payload, 7), "payload");
  b.Clear();
  EXPECT_EQ(std::string(payload, 7), "payload");
}

TEST(FrameHeader, EncodedHeaderMatchesTheFrameWriter) {
  const std::string payload = "0123456789";
  const std::string whole = FrameWriter(MessageType::IoControl).Bytes(payload.data(), payload.size()).Finish();
  char head[kFrameHeaderSize];
  EncodeHeader(head, MessageType::IoControl, static_cast<uint32_t>(payload.size()));
  EXPECT_EQ(std::string(head, kFrameHeaderSize), whole.substr(0, kFrameHeaderSize));
  const FrameHeader h = DecodeHeader(head);
  EXPECT_EQ(h.length, 10u);
  EXPECT_EQ(h.type, static_cast<uint16_t>(MessageType::IoControl));
  EXPECT_EQ(h.reserved, 0u);
  char le[4];
  platform::StoreLe32(le, 0x80892014u);
  EXPECT_EQ(std::string(le, 4), std::string("\x14\x20\x89\x80", 4));
}

TEST(SpinBudget, MissesHalveTheBudgetDownToNothingAndAHitRestoresIt) {
  using Micros = SpinBudget::Micros;
  SpinBudget s;
  EXPECT_EQ(s.Next(), SpinBudget::kMax);
  s.Miss();
  EXPECT_EQ(s.Next(), Micros{25});
  s.Hit();
  EXPECT_EQ(s.Next(), SpinBudget::kMax) << "a message within the budget restores it";
  std::vector<long long> seen;
  for (int i = 0; i < 8 && s.Current().count() != 0; ++i) {
    s.Miss();
    seen.push_back(static_cast<long long>(s.Current().count()));
  }
  EXPECT_EQ(seen, (std::vector<long long>{25, 12, 6, 0})) << "below the minimum counts as nothing";
}

TEST(SpinBudget, AtNothingASmallerBudgetIsTriedAgainAfterSomeWaits) {
  SpinBudget s;
  while (s.Current().count() != 0) s.Miss();
  for (uint32_t i = 1; i < SpinBudget::kRetryAfter; ++i) ASSERT_EQ(s.Next().count(), 0) << "wait " << i;
  EXPECT_EQ(s.Next(), SpinBudget::kRetry);
  s.Miss();
  EXPECT_LT(s.Current(), SpinBudget::kRetry);
  while (s.Current().count() != 0) s.Miss();
  for (uint32_t i = 1; i < SpinBudget::kRetryAfter; ++i) ASSERT_EQ(s.Next().count(), 0);
  EXPECT_EQ(s.Next(), SpinBudget::kRetry);
  s.Hit();
  EXPECT_EQ(s.Next(), SpinBudget::kMax);
}

}  // namespace
}  // namespace drvtest
