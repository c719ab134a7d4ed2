// The worker's gate and the framing of its answers: each check, tried with an
// input that only it stops.
#include "catalogue/catalogue.h"
#include "catalogue/channel.h"
#include "platform/gate.h"

#include <gtest/gtest.h>

namespace {

TEST(Channel, TheGateTakesOnlyTheParentsOwnChannel) {
    ChannelClaim claim;
    ASSERT_TRUE(ReadChannelClaim("1234:42:00000001000000020000000300000004", &claim));
    EXPECT_EQ(claim.handle, 1234u);
    const Greeting sent = {kGreetingMark, {1, 2, 3, 4}}, other = {kGreetingMark, {1, 2, 3, 5}};
    const struct {
        const char *what;
        uint32_t parent, server;
        const Greeting &waiting;
        size_t size;
    } refused[] = {
        {"another parent, its own pipe", 43, 43, sent, sizeof sent},
        {"a pipe another process serves", 42, 43, sent, sizeof sent},
        {"the right parent, another random value", 42, 42, other, sizeof other},
        {"the value not all there yet", 42, 42, sent, sizeof sent - 1},
    };
    EXPECT_TRUE(ChannelClaimHolds(claim, 42, 42, &sent, sizeof sent));
    for (const auto &c : refused)
        EXPECT_FALSE(ChannelClaimHolds(claim, c.parent, c.server, &c.waiting, c.size)) << c.what;
    for (const char *text :
         {"", "1234:0:00000001000000020000000300000004", "1234:42:0000000100000002000000030000000",
          "1234:42:0000000100000002000000030000000g", "1234::0"})
        EXPECT_FALSE(ReadChannelClaim(text, &claim)) << text;
}

TEST(Channel, AnAnswerIsTakenOnlyWhole) {
    WorkerAnswer good{};
    good.mark = kAnswerMark, good.sequence = 7, good.outcome = kIdentityRefused;
    good.state = kWorkerChanged;
    WorkerAnswer cases[7] = {good, good, good, good, good, good, good};
    cases[1].mark = kReadyMark;
    cases[2].sequence = 6;               // another request's number
    cases[3].outcome = kCrashed;         // an outcome no worker sends
    cases[4].state = kWorkerSpoiled + 1; // a state no worker sends
    cases[5].withOrigin = 2;             // neither asked with the origin nor without
    for (WorkerAnswer &answer : cases)
        answer.check = AnswerCheck(reinterpret_cast<const unsigned char *>(&answer));
    cases[6].identity[100] ^= 1; // damaged behind a good mark, number and check
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(AnswerAcceptable(cases[i], kAnswerMark, 7), i == 0) << i;
}

} // namespace
