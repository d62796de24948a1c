// The rules behind the server's defences, without sockets: the allow list
// and bind address as read from settings, the garbage and eviction
// decisions over sampled counters, and the rate limits of what the
// operator is told.
#include <gtest/gtest.h>

#include <cerrno>

#include "core/net/AcceptReports.h"
#include "core/net/AccessList.h"
#include "core/net/PeerPatrol.h"

using namespace tav;

namespace {
uint32_t Ip(const char *text)
{
    uint32_t a = 0;
    EXPECT_TRUE(ParseIpv4(text, &a)) << text;
    return a;
}
bool Mentions(const std::vector<std::string> &messages, const std::string &part)
{
    for (const auto &m : messages)
        if (m.find(part) != std::string::npos)
            return true;
    return false;
}
}  // namespace

TEST(AccessList, ReadsAddressesAndNetworksStrictly)
{
    std::vector<std::string> messages;
    AccessList list = AccessList::FromEntries({"192.168.1.0/24", "10.0.5.17", "0.0.0.0/0"}, "allow", &messages);
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(list.Networks().size(), 3u);
    EXPECT_EQ(list.Networks()[0].mask, 0xFFFFFF00u);
    EXPECT_EQ(list.Networks()[1].mask, 0xFFFFFFFFu);

    // Each of these would be read some way by a lenient reader; none is taken.
    for (const char *bad : {"192.168.1.5/24",  // host bits set: network or host?
                            "010.0.0.1",       // octal to some readers
                            "10.0.0.256", "10.0.0", "10.0.0.1.2", "10.0.0.1/", "10.0.0.1/33", "10.0.0.1/08",
                            " 10.0.0.1x", "::1", "", "-1.0.0.0", "1e2.0.0.0", "10.0.0.0/-1"}) {
        Ipv4Network n;
        std::string why;
        EXPECT_FALSE(ParseIpv4Network(bad, &n, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    std::string why;
    Ipv4Network n;
    ParseIpv4Network("192.168.1.5/24", &n, &why);
    EXPECT_NE(why.find("192.168.1.0/24"), std::string::npos) << why;
}

TEST(AccessList, BadEntriesAdmitNobodyAndAListNeverBecomesEveryone)
{
    EXPECT_TRUE(AccessList().Allows(Ip("203.0.113.9")));  // not given: everyone

    std::vector<std::string> messages;
    AccessList list = AccessList::FromEntries({"10.0.5.17", "192.168.001.0/24"}, "--allow", &messages);
    EXPECT_TRUE(list.Allows(Ip("10.0.5.17")));
    EXPECT_FALSE(list.Allows(Ip("10.0.5.18")));
    EXPECT_FALSE(list.Allows(Ip("192.168.1.7")));  // the bad entry serves nobody
    EXPECT_TRUE(Mentions(messages, "--allow 中的 \"192.168.001.0/24\""));

    messages.clear();
    AccessList allBad = AccessList::FromEntries({"localhost"}, "station.toml [access] allow", &messages);
    EXPECT_FALSE(allBad.Allows(Ip("127.0.0.1")));
    EXPECT_TRUE(Mentions(messages, "\"localhost\""));
    EXPECT_TRUE(Mentions(messages, "不接受任何传感器连接"));

    AccessList empty = AccessList::FromEntries({}, "allow", nullptr);
    EXPECT_FALSE(empty.Allows(Ip("127.0.0.1")));

    AccessList edges = AccessList::FromEntries({"10.1.0.0/16", "0.0.0.0/32"}, "allow", nullptr);
    EXPECT_TRUE(edges.Allows(Ip("10.1.255.255")));
    EXPECT_FALSE(edges.Allows(Ip("10.2.0.0")));
    EXPECT_FALSE(edges.Allows(Ip("0.0.0.1")));
}

TEST(AccessList, CommaListsAndBindAddresses)
{
    EXPECT_EQ(SplitCommaList("127.0.0.1, 10.0.0.0/8 ,"), (std::vector<std::string>{"127.0.0.1", "10.0.0.0/8", ""}));
    EXPECT_EQ(Ipv4Text(Ip("192.168.1.5")), "192.168.1.5");

    std::vector<std::string> messages;
    bool ok = false;
    EXPECT_EQ(BindAddressFrom("", "bind", &ok, &messages), 0u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(BindAddressFrom("127.0.0.2", "bind", &ok, &messages), Ip("127.0.0.2"));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(messages.empty());
    BindAddressFrom("192.168.1.0/24", "--bind", &ok, &messages);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Mentions(messages, "--bind \"192.168.1.0/24\""));
}

TEST(PeerPatrol, GarbageNeedsTheWholePeriodAKilobyteAndNoFrame)
{
    PeerPatrol p(10, 30);
    p.Accepted(0, 1, 100);
    p.Accepted(1, 1, 100);
    p.Accepted(2, 1, 100);
    p.Observe(0, {true, 1, 0, 5000}, 105);
    p.Observe(1, {true, 1, 0, 1023}, 105);  // less than a kilobyte: a slow start, not garbage
    p.Observe(2, {true, 1, 1, 5000}, 105);  // one valid frame among junk: a sensor
    EXPECT_FALSE(p.TakeGarbage(0, 109.9));
    EXPECT_TRUE(p.TakeGarbage(0, 110));
    EXPECT_FALSE(p.TakeGarbage(0, 111));  // reported once
    EXPECT_FALSE(p.TakeGarbage(1, 200));
    EXPECT_FALSE(p.TakeGarbage(2, 200));
    EXPECT_EQ(p.Closing(), 1);

    // The slot freed and taken again: the new connection starts afresh.
    p.Observe(0, {false, 1, 0, 5000}, 112);
    EXPECT_EQ(p.Closing(), 0);
    p.Observe(0, {true, 2, 0, 5000}, 113);
    EXPECT_FALSE(p.TakeGarbage(0, 120));
    EXPECT_TRUE(p.TakeGarbage(0, 123));
}

TEST(PeerPatrol, EvictsTheLongestSilentOnlyPastThePeriodAndOneAtATime)
{
    PeerPatrol p(10, 30);
    for (int slot = 0; slot < kSlotCount; ++slot)
        p.Accepted(slot, 1, 100 + slot);  // slot 0 is the oldest
    // Every slot streams except 3 and 7; 7 sent frames once, then stopped.
    for (double t = 100; t <= 160; t += 1)
        for (int slot = 0; slot < kSlotCount; ++slot)
            if (slot != 3 && (slot != 7 || t < 120))
                p.Observe(slot, {true, 1, uint64_t(t) * 10, 0}, t);
    EXPECT_EQ(p.TakeEviction(125), -1);  // 3 silent for 22 s only
    const int first = p.TakeEviction(140);
    EXPECT_EQ(first, 3);
    EXPECT_NEAR(p.SilentFor(3, 140), 37, 1e-9);
    // Until slot 3 is free again, nobody else goes.
    EXPECT_EQ(p.TakeEviction(160), -1);
    p.Observe(3, {false, 1, 0, 0}, 161);
    EXPECT_EQ(p.TakeEviction(161), 7);  // stopped sending at 119: 42 s
    p.Observe(7, {false, 1, 0, 0}, 162);
    // Two waiting: two may be closing at once, not three.
    p.Observe(1, {true, 1, 0, 0}, 1);  // slot 1 a new silent connection
    p.Observe(2, {true, 1, 0, 0}, 1);
    EXPECT_EQ(p.TakeEviction(200, 2), 1);
    EXPECT_EQ(p.TakeEviction(200, 2), 2);
    EXPECT_EQ(p.TakeEviction(200, 2), -1);
    p.Observe(1, {false, 1, 0, 0}, 201);
    p.Observe(2, {false, 1, 0, 0}, 201);
    // What is left streams: never evicted, however long it stays.
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (slot != 3 && slot != 7)
            p.Observe(slot, {true, 1, 999999, 0}, 1000);
    EXPECT_EQ(p.TakeEviction(1000), -1);
}

TEST(PeerPatrol, AReplayedOverSensorAndRulesSwitchedOffCloseNobody)
{
    PeerPatrol p(10, 30);
    p.Accepted(0, 1, 0);
    // Its live bytes are set aside during the replay: no frame is counted,
    // yet it is streaming and must keep its slot.
    for (double t = 0; t <= 100; t += 1)
        p.Observe(0, {true, 1, 0, 0, true}, t);
    EXPECT_FALSE(p.TakeGarbage(0, 100));
    EXPECT_EQ(p.TakeEviction(100), -1);

    PeerPatrol off(0, 0);
    off.Accepted(0, 1, 0);
    off.Observe(0, {true, 1, 0, 1 << 20}, 1000);
    EXPECT_FALSE(off.TakeGarbage(0, 1000));
    EXPECT_EQ(off.TakeEviction(1000), -1);
}

TEST(AcceptReports, ExhaustionIsOneMessageThenAtMostALineAMinute)
{
    AcceptTrouble t;
    EXPECT_EQ(AcceptTrouble::Classify(ECONNABORTED), AcceptTrouble::Kind::Retry);
    EXPECT_EQ(AcceptTrouble::Classify(EMFILE), AcceptTrouble::Kind::Exhausted);
    AcceptTrouble::Report r = t.Failed(ECONNABORTED, 0);  // a peer gone before accept: nothing to say
    EXPECT_FALSE(r.message || r.logLine || r.acceptBox);
    EXPECT_EQ(r.backoff, 0);

    int messages = 0, lines = 0;
    for (double now = 1; now < 200; now += 0.25) {
        r = t.Failed(now < 100 ? EMFILE : ENFILE, now);
        EXPECT_GT(r.backoff, 0);
        messages += r.message;
        lines += r.logLine;
    }
    EXPECT_EQ(messages, 1);
    EXPECT_EQ(lines, 3);  // at 61, 121 and 181 s
    EXPECT_NE(t.Succeeded().find("已恢复"), std::string::npos);
    EXPECT_EQ(t.Succeeded(), "");
    // A later spell: a log line at once, but no second message box.
    r = t.Failed(EMFILE, 300);
    EXPECT_FALSE(r.message);
    EXPECT_TRUE(r.logLine);

    // Other errors: the window's own box once, then lines.
    AcceptTrouble o;
    EXPECT_TRUE(o.Failed(EINVAL, 0).acceptBox);
    EXPECT_FALSE(o.Failed(EINVAL, 1).acceptBox);
}

TEST(AcceptReports, RefusalsAreLoggedOnceAMinutePerAddress)
{
    RefusalLog log;
    uint64_t suppressed = 99;
    EXPECT_TRUE(log.Due(1, 0, &suppressed));
    EXPECT_EQ(suppressed, 0u);
    EXPECT_TRUE(log.Due(2, 1, &suppressed));  // another address has its own minute
    for (int i = 0; i < 50; ++i)
        EXPECT_FALSE(log.Due(1, 1 + i, &suppressed));
    EXPECT_TRUE(log.Due(1, 60, &suppressed));
    EXPECT_EQ(suppressed, 50u);
    // A sweep over many addresses stays bounded.
    int due = 0;
    for (uint32_t a = 10; a < 10 + 3 * RefusalLog::kMaxAddresses; ++a)
        due += log.Due(a, 61, &suppressed);
    EXPECT_LE(due, int(RefusalLog::kMaxAddresses));
}
