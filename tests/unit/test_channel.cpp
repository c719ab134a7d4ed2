// The worker's gate and the framing of its answers: each check, tried with an
// input that only it stops.
#include "catalogue/channel.h"
#include "catalogue/catalogue.h"
#include "platform/gate.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint32_t kParent = 4242;
const char kVariable[] = "1234:4242:00000001000000020000000300000004";

TEST(Channel, TheGateTakesOnlyTheParentsOwnChannel) {
    ChannelClaim claim;
    ASSERT_TRUE(ReadChannelClaim(kVariable, &claim));
    EXPECT_EQ(claim.handle, 1234u);
    const Greeting sent = {kGreetingMark, {1, 2, 3, 4}};
    Greeting other = sent;
    other.random[3] = 5;
    const struct {
        const char *what;
        uint32_t parent, server;
        const Greeting &waiting;
        size_t size;
        bool holds;
    } cases[] = {
        {"the parent, its pipe and its value", kParent, kParent, sent, sizeof sent, true},
        {"another parent (its pipe)", kParent + 1, kParent + 1, sent, sizeof sent, false},
        {"a pipe another process serves", kParent, kParent + 1, sent, sizeof sent, false},
        {"the right parent, another random value", kParent, kParent, other, sizeof other, false},
        {"the value not all there yet", kParent, kParent, sent, sizeof sent - 1, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ChannelClaimHolds(claim, c.parent, c.server, &c.waiting, c.size), c.holds)
            << c.what;
    for (const char *text :
         {"", "x1234:4242:00000001000000020000000300000004",
          "1234:0:00000001000000020000000300000004", "1234:4242:0000000100000002000000030000000",
          "1234:4242:00000001000000020000000300000004:",
          "1234:4242:0000000100000002000000030000000g", "1234::0", "1234"})
        EXPECT_FALSE(ReadChannelClaim(text, &claim)) << text;
}

WorkerAnswer Sealed(WorkerAnswer answer) {
    answer.check = AnswerCheck(reinterpret_cast<const unsigned char *>(&answer));
    return answer;
}

TEST(Channel, AnAnswerIsTakenOnlyWhole) {
    WorkerAnswer good{};
    good.mark = kAnswerMark;
    good.sequence = 7;
    good.outcome = kIdentityRefused;
    good.state = kWorkerChanged;
    good = Sealed(good);
    WorkerAnswer damaged = good;
    damaged.identity[100] ^= 1;
    WorkerAnswer mark = good, number = good, outcome = good, state = good;
    mark.mark = kReadyMark;
    number.sequence = 6;
    outcome.outcome = kCrashed;
    state.state = kWorkerDeclined + 1;
    const struct {
        const char *what;
        WorkerAnswer answer;
        bool taken;
    } cases[] = {
        {"an answer to request 7", good, true},
        {"another mark", Sealed(mark), false},
        {"another request's number", Sealed(number), false},
        {"bytes damaged behind a good mark and number", damaged, false},
        {"an outcome no worker sends", Sealed(outcome), false},
        {"a state no worker sends", Sealed(state), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(AnswerAcceptable(c.answer, kAnswerMark, 7), c.taken) << c.what;
}

} // namespace
