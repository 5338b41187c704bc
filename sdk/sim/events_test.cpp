// fmsim's SDK start and its event thread.
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

TEST_F(SdkStart, InitializeNeedsTheOsFirstRunsOnceAndReportsEverySwitch) {
    EXPECT_EQ(fmInitialize(record), FM_ERR_UNINITIALIZED);
    EXPECT_EQ(fmSetSwitchState(0, TRUE), FM_ERR_UNINITIALIZED);
    EXPECT_FALSE(fmsim_post_port_event(0, 5, FM_PORT_STATUS_LINK_UP)) << "nobody listens yet";
    start();
    auto s = taken();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_TRUE(s[0].type == FM_EVENT_SWITCH_INSERTED && s[0].sw == 0);
    EXPECT_TRUE(s[1].type == FM_EVENT_SWITCH_INSERTED && s[1].sw == 1);
    EXPECT_EQ(fmInitialize(record), FM_ERR_INVALID_STATE);
    fmsim_reset();
    EXPECT_EQ(fmInitialize(record), FM_ERR_UNINITIALIZED) << "a reset forgets the start";
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

}  // namespace
