// The start-up in-process on fmsim: the SDK start, the bring-up of a
// switch, the PCI Express report and the shutdown.
#include "startup.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <climits>
#include <mutex>
#include <vector>

#include "daemon.h"
#include "events.h"
#include "fmsim.h"
#include "fmsim_events.h"
#include "fmsim_platform.h"
#include "fmsim_switch.h"
#include "fmsim_vlan.h"
#include "ports/ports.h"
#include "shutdown.h"
#include "signals.h"
#include "testing/driver_recorder.h"
#include "testing/harness.h"

namespace {

using kelftest::recorder;
using kelftest::taken;

class BringUp : public testing::Test {
protected:
    void SetUp() override {
        kelftest::fresh_daemon(2, false);
        kelf::set_driver_call(recorder);
        taken();
    }
    void TearDown() override { kelf::set_driver_call(nullptr); }

    // The SDK started with nobody listening: no event runs beside the test.
    void quiet_start(int switches) {
        ASSERT_EQ(fmOSInitialize(), FM_OK);
        ASSERT_EQ(fmInitialize(nullptr), FM_OK);
        switch_count = switches;
    }
    std::string bring_up(fm_int sw) {
        testing::internal::CaptureStdout();
        EXPECT_TRUE(kelf::bring_up_switch(sw));
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(BringUp, SwitchReachesTheBaseState) {
    quiet_start(2);
    EXPECT_EQ(bring_up(0), "");
    EXPECT_EQ(kel_inserted, 1);
    EXPECT_TRUE(fmsim_switch_up(0));
    EXPECT_EQ(kel_get_cfg_fn(0), 5);
    EXPECT_EQ(kel_get_cfg_fn(1), -1);
    EXPECT_EQ(fmsim_port_mask(0, 1), 0u) << "configuration 5 isolates every port";
    EXPECT_EQ(fmsim_port_mask(0, 47), 0u);

    int mode = -1;
    fmsim_port_state(0, 0, &mode, nullptr);
    EXPECT_EQ(mode, FM_PORT_STATE_ADMIN_DOWN) << "port 0 is never touched";
    EXPECT_FALSE(fmsim_vlan_member(0, 1, 0).member);
    for (int p = 1; p <= 48; ++p) {
        fmsim_port_state(0, p, &mode, nullptr);
        EXPECT_EQ(mode, FM_PORT_STATE_UP) << p;
        FmsimVlanMember m = fmsim_vlan_member(0, 1, p);
        EXPECT_TRUE(m.member && !m.tagged && m.stp_state == FM_STP_STATE_FORWARDING) << p;
        for (int v : {2, 100, 4095}) {
            m = fmsim_vlan_member(0, v, p);
            EXPECT_TRUE(m.member && m.tagged && m.stp_state == FM_STP_STATE_FORWARDING)
                << p << " " << v;
        }
        for (auto [attr, want] : {std::pair{FM_PORT_DEF_VLAN, 1},
                                  {FM_PORT_LOOPBACK_SUPPRESSION, 0},
                                  {FM_PORT_PARSER, 2},
                                  {FM_PORT_MAX_FRAME_SIZE, 15360},
                                  {FM_PORT_RX_PAUSE, TRUE}}) {
            std::int32_t v = -1;
            ASSERT_TRUE(fmsim_port_attr(0, p, attr, &v));
            EXPECT_EQ(v, want) << "port " << p << " attribute " << attr;
        }
    }
    for (int v = 1; v <= 4095; ++v) ASSERT_TRUE(fmsim_vlan_exists(0, v)) << v;
    EXPECT_TRUE(fmsim_vlan_reflect(0, 2));
    EXPECT_TRUE(fmsim_vlan_reflect(0, 4095));

    fm_bool b = TRUE;
    fmGetSwitchAttribute(0, FM_TRAP_IEEE_GARP, &b);
    EXPECT_FALSE(b);
    b = TRUE;
    fmGetSwitchAttribute(0, FM_TRAP_IEEE_BPDU, &b);
    EXPECT_FALSE(b);
    for (int i = 0; i <= 0xF; ++i) {
        fm_reservedMacCfg h{i, FM_RES_MAC_ACTION_SWITCH, FALSE};
        fmGetSwitchAttribute(0, FM_SWITCH_RESERVED_MAC_CFG, &h);
        bool dropped = i == 0x0 || i == 0x2 || i == 0x3 || i == 0xE;
        EXPECT_EQ(h.action, dropped ? FM_RES_MAC_ACTION_DROP : FM_RES_MAC_ACTION_TRAP) << i;
    }
    b = FALSE;
    fmGetSwitchQOS(0, FM_AUTO_PAUSE_MODE, 0, &b);
    EXPECT_TRUE(b);

    int dir = -1, value = -1;
    fmsim_gpio_line(0, 4, &dir, &value);
    EXPECT_EQ(dir, FM_PLAT_GPIO_DIR_OUTPUT);
    EXPECT_EQ(value, 0);

    fm_triggerCondition c{};
    fm_triggerAction a{};
    ASSERT_EQ(fmGetTriggerCondition(0, 10001, 10, &c), FM_OK);
    ASSERT_EQ(fmGetTriggerAction(0, 10001, 10, &a), FM_OK);
    EXPECT_EQ(c.cfg.HAMask, 2u);
    EXPECT_EQ(c.cfg.rxPortset, FM_PORT_SET_ALL);
    EXPECT_EQ(a.cfg.forwardingAction, FM_TRIGGER_FORWARDING_ACTION_FORWARD);

    EXPECT_FALSE(fmsim_vlan_exists(1, 1)) << "the other switch is left alone";
}

TEST_F(BringUp, FrameSizeIsWrittenOnlyWhereItDiffers) {
    quiet_start(2);
    fm_int jumbo = 15360;
    ASSERT_EQ(fmSetPortAttribute(1, 5, FM_PORT_MAX_FRAME_SIZE, &jumbo), FM_OK);
    auto before = fmsim_calls("fmSetPortAttribute");
    bring_up(0);
    auto first = fmsim_calls("fmSetPortAttribute") - before;
    bring_up(1);
    auto second = fmsim_calls("fmSetPortAttribute") - before - first;
    EXPECT_EQ(first - second, 1u);
    EXPECT_EQ(kel_inserted, 2);
}

TEST_F(BringUp, FailuresAreReportedAndTheBringUpGoesOn) {
    quiet_start(1);
    fmsim_fail("fmCreateVlan", 7);
    fmsim_fail("fmGetPortAttribute", 1, FM_ERR_INVALID_PORT);
    fmsim_fail("fmSetPortAttribute", 4, FM_ERR_INVALID_VALUE);  // port 1's frame size
    fmsim_fail("fmSetSwitchAttribute", 4);                      // reserved address 0x2
    fmsim_fail("fmInitTriggerCondition", 1);
    std::string out = bring_up(0);
    // VLAN 7 is missing, so every port's joining it fails as well.
    const std::string missing = "fmAddVlanPort: Invalid VLAN\nfmSetVlanPortState: Invalid VLAN\n";
    int misses = 0;
    for (size_t at; (at = out.find(missing)) != std::string::npos; ++misses)
        out.erase(at, missing.size());
    EXPECT_EQ(misses, 48);
    EXPECT_EQ(out,
              "fmCreateVlan: Failure\n"
              "port = 1fmGetPortAttribute FM_PORT_MAX_FRAME_SIZE: Invalid port number\n"
              "port = 1fmSetPortAttribute FM_PORT_MAX_FRAME_SIZE: Invalid value\n"
              "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0x2: Failure\n"
              "fmInitTriggerCondition: Failure\n");
    EXPECT_EQ(kel_inserted, 1);
    std::int32_t v = 0;
    fmsim_port_attr(0, 2, FM_PORT_MAX_FRAME_SIZE, &v);
    EXPECT_EQ(v, 15360);
    // The first trigger failure skips the rest of the trigger.
    EXPECT_EQ(fmsim_calls("fmSetTriggerCondition"), 0u);
    EXPECT_EQ(fmsim_calls("fmSetTriggerAction"), 0u);
    fm_reservedMacCfg h{0x3, FM_RES_MAC_ACTION_SWITCH, FALSE};
    fmGetSwitchAttribute(0, FM_SWITCH_RESERVED_MAC_CFG, &h);
    EXPECT_EQ(h.action, FM_RES_MAC_ACTION_DROP);
}

TEST_F(BringUp, ASwitchThatCannotBeSetUpEndsTheBringUp) {
    fmsim_set_switches(3);
    quiet_start(3);
    fmsim_fail("fmSetSwitchState", 2);
    testing::internal::CaptureStdout();
    kelf::BringUp b = kelf::bring_up_switches();
    EXPECT_EQ(b.up, 1);
    EXPECT_EQ(b.wanted, 3);
    EXPECT_EQ(b.failure, "fmSetSwitchState: Failure");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(kel_inserted, 1);
    EXPECT_FALSE(fmsim_vlan_exists(2, 1)) << "the switches after it are skipped";
}

TEST_F(BringUp, TheCountNeverPassesTheTables) {
    quiet_start(1);
    kel_inserted = 8;
    bring_up(0);
    EXPECT_EQ(kel_inserted, 8);
}

TEST_F(BringUp, PciExpressPortsAreReportedUp) {
    quiet_start(2);
    bring_up(0);
    bring_up(1);
    fmsim_set_switch_ifindex(1, 0);
    kelf::report_pcie_ports();
    auto s = taken();
    ASSERT_EQ(s.size(), 8u) << "ports 41 to 48 of switch 0; switch 1 has no interface";
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(s[static_cast<size_t>(i)], (kelf::LinkProp{10, 0, 1, 41 + i, 0, 0, 0, 0}));
}

TEST_F(BringUp, ShutdownKeepsTheSwitchesUnlessTheyAreToGo) {
    quiet_start(2);
    bring_up(0);
    bring_up(1);
    testing::internal::CaptureStdout();
    kelf::shutdown_switches();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "KEL: GOT SIGTERM!\n");
    for (int sw : {0, 1}) {
        int dir = -1, value = -1;
        fmsim_gpio_line(sw, 4, &dir, &value);
        EXPECT_EQ(value, 1) << sw;
        EXPECT_TRUE(fmsim_switch_present(sw));
    }
    EXPECT_TRUE(taken().empty());

    sw_remain = FALSE;
    fmsim_fail("fmPlatformIfindexSwitchGet", 1);  // switch 0 is skipped
    testing::internal::CaptureStdout();
    kelf::shutdown_switches();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "KEL: GOT SIGTERM!\nshutdown 1!\n");
    EXPECT_TRUE(fmsim_switch_present(0));
    EXPECT_FALSE(fmsim_switch_present(1));
    auto s = taken();
    ASSERT_EQ(s.size(), 48u);
    EXPECT_EQ(s[0], (kelf::LinkProp{11, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(s[39], (kelf::LinkProp{11, 40, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(s[40], (kelf::LinkProp{11, 0, 0, 41, 0, 0, 0, 0}));
    EXPECT_EQ(s[47], (kelf::LinkProp{11, 0, 0, 48, 0, 0, 0, 0}));
}

// The last switch may report itself before the start-up knows how many
// switches there are; the start must not wait for a report that came.
TEST_F(BringUp, AnEarlyInsertionStillEndsTheWait) {
    fmsim_set_switches(1);
    testing::internal::CaptureStdout();
    eventHandler(FM_EVENT_SWITCH_INSERTED, 0, nullptr);  // before switch_count is known
    kelf::SdkStart s = kelf::start_sdk(std::chrono::seconds(30));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(s.ok);
    EXPECT_TRUE(s.all_reported) << "the wait ended on the report, not the 30 s";
    EXPECT_GE(fmsim_calls("fmReleaseSemaphore"), 1u);
}

TEST_F(BringUp, EveryStepOfTheSdkStartIsChecked) {
    for (const char *op :
         {"fmOSInitialize", "fmCreateSemaphore", "fmInitialize", "fmPlatformGetNumSwitches"}) {
        kelftest::fresh_daemon(1, false);
        fmsim_fail(op, 1);
        testing::internal::CaptureStdout();
        kelf::SdkStart s = kelf::start_sdk(std::chrono::milliseconds(10));
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(s.ok) << op;
        EXPECT_EQ(s.failure.rfind(std::string(op) + ": ", 0), 0u) << s.failure;
    }
}

// An index the switch cannot map has no port: nothing of the base state
// lands on port 0, the CPU port, in its place.
TEST_F(BringUp, AnUnmappedIndexIsSkipped) {
    quiet_start(1);
    fm_int mtu = 1518;
    ASSERT_EQ(fmSetPortAttribute(0, 0, FM_PORT_MAX_FRAME_SIZE, &mtu), FM_OK);
    fmsim_fail("fmMapCardinalPort", 3);  // index 3
    std::string out = bring_up(0);
    EXPECT_EQ(out.find("fmMapCardinalPort: "), 0u) << out;
    std::int32_t v = 0;
    fmsim_port_attr(0, 0, FM_PORT_MAX_FRAME_SIZE, &v);
    EXPECT_EQ(v, 1518) << "port 0 untouched";
    EXPECT_FALSE(fmsim_vlan_member(0, 7, 0).member);
    EXPECT_FALSE(fmsim_vlan_member(0, 7, 3).member) << "index 3 skipped";
    EXPECT_TRUE(fmsim_vlan_member(0, 7, 4).member);
}

// A stop during the port set-up ends it after a whole port; the switch
// counts, so the shutdown takes it down again.
TEST_F(BringUp, AStopEndsThePortSetUpEarly) {
    quiet_start(2);
    ASSERT_TRUE(kelf::install_signals());
    ::raise(SIGTERM);
    kelf::BringUp b = kelf::bring_up_switches();
    EXPECT_EQ(b.up, 0) << "no switch is started after the stop";
    EXPECT_EQ(kel_inserted, 0);
    EXPECT_TRUE(kelf::bring_up_switch(0));
    EXPECT_EQ(kel_inserted, 1);
    EXPECT_FALSE(fmsim_vlan_member(0, 2, 1).member) << "no port was set up";
    EXPECT_EQ(kel_get_cfg_fn(0), 0) << "nor the rest of the base state";
    kelf::clear_stop_request();
}

}  // namespace
