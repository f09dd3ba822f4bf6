// Spare message buffers: reused while messages keep their size, given back
// once they shrink.

#include "opcua/UaBuffers.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct SpareCase {
    const char* name;
    std::vector<size_t> messages;  // sizes, in the order they go out
    bool kept;                     // whether a spare is left after the last
};

class UaBuffersTest : public ::testing::TestWithParam<SpareCase> {};

TEST_P(UaBuffersTest, SparesFollowTheMessages)
{
    ua::CSpareBuffers spares;
    size_t fresh = 0;  // messages that found no spare with room
    for (size_t size : GetParam().messages) {
        std::string message = spares.Take();
        if (message.capacity() < size) ++fresh;
        message.assign(size, 'x');
        spares.Expect(size);
        spares.Give(std::move(message));
    }
    EXPECT_EQ(spares.Bytes() != 0, GetParam().kept);
    if (GetParam().kept) {
        EXPECT_EQ(fresh, 1u) << "each message after the first reuses a spare";
    }
}

constexpr size_t kMessage = 2u << 20;

INSTANTIATE_TEST_SUITE_P(
    Sequences, UaBuffersTest,
    ::testing::Values(
        SpareCase{"ABurstReusesOneBuffer", {kMessage, kMessage, kMessage - 1000, kMessage}, true},
        SpareCase{"AKeepAliveAfterABurstGivesItBack", {kMessage, kMessage, 40}, false},
        SpareCase{"MessagesAQuarterAsLargeGiveItBack", {kMessage, kMessage / 5}, false},
        SpareCase{"SmallMessagesKeepTheirs", {200000, 40, 40}, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
