// fmsim's SDK start, event thread, semaphores, switch state and removal,
// triggers and switch-wide attributes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_events.h"
#include "fmsim_switch.h"

namespace {

struct Seen {
    fm_int type;
    fm_int sw;
    fm_uint port;
    fm_int link;
};

std::mutex seen_mutex;
std::vector<Seen> seen;

void record(fm_int type, fm_int sw, void *ptr) {
    Seen s{type, sw, 0, -1};
    if (type == FM_EVENT_PORT && ptr != nullptr) {
        s.port = static_cast<fm_eventPort *>(ptr)->port;
        s.link = static_cast<fm_eventPort *>(ptr)->linkStatus;
    }
    std::lock_guard<std::mutex> g(seen_mutex);
    seen.push_back(s);
}

std::vector<Seen> taken() {
    std::lock_guard<std::mutex> g(seen_mutex);
    std::vector<Seen> out;
    out.swap(seen);
    return out;
}

class SdkStart : public testing::Test {
protected:
    void SetUp() override {
        fmsim_set_switches(2);
        taken();
    }
    void start(fm_eventHandler h = record) {
        ASSERT_EQ(fmOSInitialize(), FM_OK);
        ASSERT_EQ(fmInitialize(h), FM_OK);
        ASSERT_TRUE(fmsim_wait_events_idle(5000));
    }
};

TEST_F(SdkStart, InitializeNeedsTheOsFirstAndRunsOnce) {
    EXPECT_EQ(fmInitialize(record), FM_ERR_UNINITIALIZED);
    EXPECT_EQ(fmSetSwitchState(0, TRUE), FM_ERR_UNINITIALIZED);
    start();
    EXPECT_EQ(fmInitialize(record), FM_ERR_INVALID_STATE);
    fmsim_reset();
    EXPECT_EQ(fmInitialize(record), FM_ERR_UNINITIALIZED) << "a reset forgets the start";
}

TEST_F(SdkStart, EverySwitchReportsItselfInsertedInOrder) {
    start();
    auto s = taken();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].type, FM_EVENT_SWITCH_INSERTED);
    EXPECT_EQ(s[0].sw, 0);
    EXPECT_EQ(s[1].sw, 1);
}

TEST_F(SdkStart, EthernetLinkFollowsPortAndSwitchState) {
    start();
    taken();
    // Up on a switch that is not up yet: no link.
    ASSERT_EQ(fmSetPortState(0, 3, FM_PORT_STATE_UP, 0), FM_OK);
    ASSERT_EQ(fmSetPortState(0, 41, FM_PORT_STATE_UP, 0), FM_OK);
    ASSERT_TRUE(fmsim_wait_events_idle(5000));
    EXPECT_TRUE(taken().empty());
    EXPECT_EQ(fmsim_port_link(0, 3), 0);

    ASSERT_EQ(fmSetSwitchState(0, TRUE), FM_OK);
    EXPECT_TRUE(fmsim_switch_up(0));
    ASSERT_TRUE(fmsim_wait_events_idle(5000));
    auto s = taken();
    ASSERT_EQ(s.size(), 1u) << "a PCI Express port has no Ethernet link";
    EXPECT_EQ(s[0].type, FM_EVENT_PORT);
    EXPECT_EQ(s[0].port, 3u);
    EXPECT_EQ(s[0].link, FM_PORT_STATUS_LINK_UP);
    EXPECT_EQ(fmsim_port_link(0, 3), 1);

    // Setting it up again changes nothing; down reports link down.
    ASSERT_EQ(fmSetPortState(0, 3, FM_PORT_STATE_UP, 0), FM_OK);
    ASSERT_EQ(fmSetPortState(0, 3, FM_PORT_STATE_ADMIN_DOWN, 0), FM_OK);
    ASSERT_TRUE(fmsim_wait_events_idle(5000));
    s = taken();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].link, FM_PORT_STATUS_LINK_DOWN);
    EXPECT_EQ(fmsim_port_link(0, 3), 0);
}

TEST_F(SdkStart, PostedEventsArriveWithTheirPayload) {
    EXPECT_FALSE(fmsim_post_port_event(0, 5, FM_PORT_STATUS_LINK_UP)) << "nobody listens yet";
    start();
    taken();
    EXPECT_TRUE(fmsim_post_port_event(1, 60, FM_PORT_STATUS_AUTONEG_STARTED));
    EXPECT_TRUE(fmsim_post_event(0x40, 0));
    EXPECT_FALSE(fmsim_post_event(0x40, 2)) << "no switch 2";
    ASSERT_TRUE(fmsim_wait_events_idle(5000));
    auto s = taken();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].sw, 1);
    EXPECT_EQ(s[0].port, 60u);
    EXPECT_EQ(s[0].link, FM_PORT_STATUS_AUTONEG_STARTED);
    EXPECT_EQ(s[1].type, 0x40);
}

// The callback makes SDK calls and the main thread keeps making them: the
// event thread must not hold fmsim's lock while the callback runs.
std::atomic<bool> in_callback{false}, main_called{false}, saw_main_call{false};

void blocking(fm_int type, fm_int, void *) {
    if (type != FM_EVENT_PORT) return;
    in_callback = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!main_called && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    saw_main_call = main_called.load();
    fm_switchInfo info;
    fmGetSwitchInfo(0, &info);
}

TEST_F(SdkStart, CallbackRunsWithoutTheSdkLock) {
    start(blocking);
    ASSERT_TRUE(fmsim_post_port_event(0, 1, FM_PORT_STATUS_LINK_UP));
    while (!in_callback) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fm_switchInfo info;
    EXPECT_EQ(fmGetSwitchInfo(0, &info), FM_OK);
    main_called = true;
    ASSERT_TRUE(fmsim_wait_events_idle(10000));
    EXPECT_TRUE(saw_main_call);
}

TEST_F(SdkStart, RemovedSwitchIsGoneAndReportsNothingMore) {
    start();
    ASSERT_EQ(fmSetSwitchState(1, TRUE), FM_OK);
    ASSERT_EQ(fmSetPortState(1, 2, FM_PORT_STATE_UP, 0), FM_OK);
    ASSERT_EQ(fmHandleSwitchRemoved(1, 0), FM_OK);
    ASSERT_TRUE(fmsim_wait_events_idle(5000));
    taken();
    EXPECT_FALSE(fmsim_switch_present(1));
    EXPECT_FALSE(fmsim_switch_up(1));
    fm_switchInfo info;
    EXPECT_EQ(fmGetSwitchInfo(1, &info), FM_ERR_INVALID_SWITCH);
    EXPECT_EQ(fmHandleSwitchRemoved(1, 0), FM_ERR_INVALID_SWITCH);
    EXPECT_FALSE(fmsim_post_port_event(1, 2, FM_PORT_STATUS_LINK_UP));
    EXPECT_TRUE(fmsim_switch_present(0));
}

class Semaphores : public testing::Test {
protected:
    void SetUp() override {
        fmsim_set_switches(1);
        ASSERT_EQ(fmOSInitialize(), FM_OK);
    }
};

TEST_F(Semaphores, CaptureWaitsForARelease) {
    fm_semaphore s;
    ASSERT_EQ(fmCreateSemaphore("seq", FM_SEM_BINARY, &s, 0), FM_OK);
    fm_timestamp none{0, 0};
    EXPECT_EQ(fmCaptureSemaphore(&s, &none), FM_ERR_SEM_TIMEOUT);
    std::thread t([&] { fmReleaseSemaphore(&s); });
    EXPECT_EQ(fmCaptureSemaphore(&s, FM_WAIT_FOREVER), FM_OK);
    t.join();
    // A binary semaphore keeps one release however many come.
    fmReleaseSemaphore(&s);
    fmReleaseSemaphore(&s);
    EXPECT_EQ(fmCaptureSemaphore(&s, &none), FM_OK);
    EXPECT_EQ(fmCaptureSemaphore(&s, &none), FM_ERR_SEM_TIMEOUT);
    EXPECT_EQ(fmDeleteSemaphore(&s), FM_OK);
    EXPECT_EQ(fmReleaseSemaphore(&s), FM_ERR_INVALID_ARGUMENT) << "a deleted semaphore is refused";
}

TEST_F(Semaphores, CountingKeepsEveryReleaseAndBadArgumentsAreRefused) {
    fm_semaphore s;
    EXPECT_EQ(fmCreateSemaphore("x", FM_SEM_BINARY, &s, 2), FM_ERR_INVALID_ARGUMENT);
    ASSERT_EQ(fmCreateSemaphore("n", FM_SEM_COUNTING, &s, 2), FM_OK);
    fmReleaseSemaphore(&s);
    fm_timestamp none{0, 0};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fmCaptureSemaphore(&s, &none), FM_OK) << i;
    EXPECT_EQ(fmCaptureSemaphore(&s, &none), FM_ERR_SEM_TIMEOUT);
    EXPECT_EQ(fmCaptureSemaphore(nullptr, &none), FM_ERR_INVALID_ARGUMENT);
    fmsim_reset();
    EXPECT_EQ(fmCaptureSemaphore(&s, &none), FM_ERR_INVALID_ARGUMENT) << "a reset forgets them";
    EXPECT_EQ(fmCreateSemaphore("n", FM_SEM_BINARY, &s, 0), FM_ERR_UNINITIALIZED);
}

class SwitchSettings : public testing::Test {
protected:
    void SetUp() override { fmsim_set_switches(2); }
};

TEST_F(SwitchSettings, TrapsReservedAddressesAndPauseReadBack) {
    fm_bool b = TRUE;
    ASSERT_EQ(fmGetSwitchAttribute(0, FM_TRAP_IEEE_BPDU, &b), FM_OK);
    EXPECT_TRUE(b);
    b = FALSE;
    ASSERT_EQ(fmSetSwitchAttribute(0, FM_TRAP_IEEE_GARP, &b), FM_OK);
    b = TRUE;
    ASSERT_EQ(fmGetSwitchAttribute(0, FM_TRAP_IEEE_GARP, &b), FM_OK);
    EXPECT_FALSE(b);
    ASSERT_EQ(fmGetSwitchAttribute(1, FM_TRAP_IEEE_GARP, &b), FM_OK);
    EXPECT_TRUE(b) << "each switch has its own";
    b = 7;
    EXPECT_EQ(fmSetSwitchAttribute(0, FM_TRAP_IEEE_BPDU, &b), FM_ERR_INVALID_VALUE);

    fm_reservedMacCfg h{0xE, FM_RES_MAC_ACTION_DROP, FALSE};
    ASSERT_EQ(fmSetSwitchAttribute(0, FM_SWITCH_RESERVED_MAC_CFG, &h), FM_OK);
    fm_reservedMacCfg r{0xE, FM_RES_MAC_ACTION_SWITCH, TRUE};
    ASSERT_EQ(fmGetSwitchAttribute(0, FM_SWITCH_RESERVED_MAC_CFG, &r), FM_OK);
    EXPECT_EQ(r.action, FM_RES_MAC_ACTION_DROP);
    r.index = 0xD;
    ASSERT_EQ(fmGetSwitchAttribute(0, FM_SWITCH_RESERVED_MAC_CFG, &r), FM_OK);
    EXPECT_EQ(r.action, FM_RES_MAC_ACTION_TRAP);
    h.index = 0x40;
    EXPECT_EQ(fmSetSwitchAttribute(0, FM_SWITCH_RESERVED_MAC_CFG, &h), FM_ERR_INVALID_INDEX);
    h = {0x1, static_cast<fm_resMacAction>(9), FALSE};
    EXPECT_EQ(fmSetSwitchAttribute(0, FM_SWITCH_RESERVED_MAC_CFG, &h), FM_ERR_INVALID_VALUE);

    b = TRUE;
    ASSERT_EQ(fmSetSwitchQOS(0, FM_AUTO_PAUSE_MODE, 0, &b), FM_OK);
    b = FALSE;
    ASSERT_EQ(fmGetSwitchQOS(0, FM_AUTO_PAUSE_MODE, 0, &b), FM_OK);
    EXPECT_TRUE(b);
    EXPECT_EQ(fmSetSwitchQOS(0, 999, 0, &b), FM_ERR_INVALID_ATTRIB);
    EXPECT_EQ(fmSetSwitchQOS(2, FM_AUTO_PAUSE_MODE, 0, &b), FM_ERR_INVALID_SWITCH);

    fm_int ifindex = 0;
    ASSERT_EQ(fmPlatformIfindexSwitchGet(1, &ifindex), FM_OK);
    EXPECT_NE(ifindex, 0);
    fmsim_set_switch_ifindex(1, 0);
    ASSERT_EQ(fmPlatformIfindexSwitchGet(1, &ifindex), FM_OK);
    EXPECT_EQ(ifindex, 0);
}

TEST_F(SwitchSettings, TriggersKeepConditionAndAction) {
    fm_triggerCondition c;
    fm_triggerAction a;
    ASSERT_EQ(fmInitTriggerCondition(0, &c), FM_OK);
    ASSERT_EQ(fmInitTriggerAction(0, &a), FM_OK);
    EXPECT_EQ(c.cfg.rxPortset, FM_PORT_SET_ALL);
    EXPECT_EQ(fmSetTriggerCondition(0, 10001, 10, &c), FM_ERR_INVALID_TRIGGER);
    ASSERT_EQ(fmCreateTrigger(0, 10001, 10), FM_OK);
    EXPECT_EQ(fmCreateTrigger(0, 10001, 10), FM_ERR_ALREADY_EXISTS);
    c.cfg.HAMask = 2;
    a.cfg.forwardingAction = FM_TRIGGER_FORWARDING_ACTION_FORWARD;
    ASSERT_EQ(fmSetTriggerCondition(0, 10001, 10, &c), FM_OK);
    ASSERT_EQ(fmSetTriggerAction(0, 10001, 10, &a), FM_OK);
    fm_triggerCondition rc{};
    fm_triggerAction ra{};
    ASSERT_EQ(fmGetTriggerCondition(0, 10001, 10, &rc), FM_OK);
    ASSERT_EQ(fmGetTriggerAction(0, 10001, 10, &ra), FM_OK);
    EXPECT_EQ(rc.cfg.HAMask, 2u);
    EXPECT_EQ(ra.cfg.forwardingAction, FM_TRIGGER_FORWARDING_ACTION_FORWARD);
    EXPECT_EQ(fmGetTriggerAction(1, 10001, 10, &ra), FM_ERR_INVALID_TRIGGER) << "per switch";

    c.cfg.rxPortset = -7;
    EXPECT_EQ(fmSetTriggerCondition(0, 10001, 10, &c), FM_ERR_INVALID_PORT_SET);
    a.cfg.forwardingAction = static_cast<fm_triggerForwardingAction>(12);
    EXPECT_EQ(fmSetTriggerAction(0, 10001, 10, &a), FM_ERR_INVALID_VALUE);
    ASSERT_EQ(fmGetTriggerCondition(0, 10001, 10, &rc), FM_OK);
    EXPECT_EQ(rc.cfg.rxPortset, FM_PORT_SET_ALL) << "a refused write changes nothing";

    ASSERT_EQ(fmDeleteTrigger(0, 10001, 10), FM_OK);
    EXPECT_EQ(fmGetTriggerCondition(0, 10001, 10, &rc), FM_ERR_INVALID_TRIGGER);
    for (int r = 0; r < 64; ++r) ASSERT_EQ(fmCreateTrigger(0, 1, r), FM_OK) << r;
    EXPECT_EQ(fmCreateTrigger(0, 1, 64), FM_ERR_TABLE_FULL);
}

}  // namespace
