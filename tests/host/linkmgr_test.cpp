// The in-process link manager: subscriptions, publication to the other machines of the bus.
#include <gtest/gtest.h>

#include <host/ilinkmgr.h>

namespace vantor::link {
namespace {

TEST(InProcessLinkMgr, PublishReachesTheOtherMachinesSubscribersOnly) {
    auto bus = std::make_shared<InProcessLinkBus>();
    InProcessLinkMgr a(bus, "a"), b(bus, "b"), c(bus, "c");
    std::vector<std::string> got;
    auto record = [&](std::string payload, std::string) { got.push_back(payload); };
    a.subscribe("42AddEchoAddr", record);
    b.subscribe("42AddEchoAddr", record);
    c.subscribe("42UpdateEchoAddrs", record);

    LinkMessage message{"42AddEchoAddr", "bytes", true, {}, 0};
    a.publish(message);
    EXPECT_EQ(got, std::vector<std::string>{"bytes"});
    ASSERT_EQ(a.published().size(), 1U);
    EXPECT_TRUE(a.published()[0].flag);
}

TEST(InProcessLinkMgr, UnsubscribedHandlersAreNotCalled) {
    InProcessLinkMgr mgr;
    int calls = 0;
    const auto id = mgr.subscribe("k", [&](std::string, std::string) { ++calls; });
    mgr.subscribe("k", [&](std::string, std::string) { ++calls; });
    EXPECT_EQ(mgr.subscriberCount("k"), 2U);
    EXPECT_EQ(mgr.deliver("k", "p"), 2U);
    mgr.unsubscribe(id);
    EXPECT_EQ(mgr.deliver("k", "p"), 1U);
    EXPECT_EQ(calls, 3);
}

TEST(InProcessLinkMgr, HandlerExceptionsReachTheDeliverer) {
    InProcessLinkMgr mgr;
    mgr.subscribe("k", [](std::string, std::string) { throw std::invalid_argument("bad"); });
    EXPECT_THROW(mgr.deliver("k", "p"), std::invalid_argument);
}

}  // namespace
}  // namespace vantor::link
