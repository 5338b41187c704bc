// The SDK event callback in-process on fmsim: insertion releasing the
// start-up, the link-state table, the driver record, the event lines, and
// the two commands that read what the events keep.
#include "events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <regex>
#include <vector>

#include "daemon.h"
#include "dispatch.h"
#include "fmsim.h"
#include "fmsim_switch.h"
#include "testing/driver_recorder.h"
#include "testing/harness.h"

namespace {

using kelftest::recorder;
using kelftest::taken;

class Events : public testing::Test {
protected:
    void SetUp() override {
        kelftest::fresh_daemon(2);
        switch_count = 2;
        kelf::set_driver_call(recorder);
        taken();
    }
    void TearDown() override { kelf::set_driver_call(nullptr); }

    // Runs the callback for a port event; returns what it printed.
    std::string port_event(fm_int sw, fm_uint port, int status) {
        fm_eventPort ev{};
        ev.port = port;
        std::memcpy(&ev.linkStatus, &status, sizeof status);
        testing::internal::CaptureStdout();
        eventHandler(FM_EVENT_PORT, sw, &ev);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Events, OnlyTheLastSwitchReleasesTheStartUp) {
    ASSERT_EQ(fmOSInitialize(), FM_OK);
    ASSERT_EQ(fmCreateSemaphore("seq", FM_SEM_BINARY, &seq_semaphore, 0), FM_OK);
    fm_timestamp none{0, 0};
    testing::internal::CaptureStdout();
    eventHandler(FM_EVENT_SWITCH_INSERTED, 0, nullptr);
    EXPECT_EQ(fmCaptureSemaphore(&seq_semaphore, &none), FM_ERR_SEM_TIMEOUT);
    eventHandler(FM_EVENT_SWITCH_INSERTED, 1, nullptr);
    EXPECT_EQ(fmCaptureSemaphore(&seq_semaphore, &none), FM_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Switch #0 inserted!\nSwitch #1 inserted!\n")
        << "printed in every mode";
    EXPECT_TRUE(kelf::switch_reported(1));
    EXPECT_FALSE(kelf::switch_reported(5));
}

TEST_F(Events, PortEventSetsTheTableAndTellsTheDriver) {
    foreground = true;
    std::string out = port_event(0, 3, FM_PORT_STATUS_AUTONEG_STARTED);
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"([0-9]{1,2}\.[0-9]{1,2}\.[0-9]{4} [0-9]{1,2}:[0-9]{1,2}:[0-9]{1,2} )"
                        R"(port event: unit 0 port 3 is up\n)")))
        << out;
    EXPECT_EQ(link_state[0][3].load(), 1) << "any status but link down counts as up";
    auto s = taken();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], (kelf::LinkProp{10, 3, 2, 0, FM_ETH_MODE_25GBASE_SR, 25000, 0, 0}));

    fm_int speed = 10000;
    ASSERT_EQ(fmSetPortAttribute(1, 7, FM_PORT_SPEED, &speed), FM_OK);
    out = port_event(1, 7, FM_PORT_STATUS_LINK_DOWN);
    EXPECT_NE(out.find("port event: unit 1 port 7 is down\n"), std::string::npos) << out;
    EXPECT_EQ(link_state[1][7].load(), 0);
    s = taken();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], (kelf::LinkProp{11, 7, 0, 0, FM_ETH_MODE_25GBASE_SR, 10000, 0, 0}));
}

TEST_F(Events, LogicalPortEventIsOnlyALine) {
    foreground = true;
    fm_eventLogicalPort lp{7, 1, 2, 9, TRUE};
    testing::internal::CaptureStdout();
    eventHandler(FM_EVENT_LOGICAL_PORT, 1, &lp);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(
        std::regex_match(out, std::regex(R"([0-9.]+ [0-9:]+ lport event: unit 1 port 7 pepId 2 )"
                                         R"(pepLogicalPort 9 portCreated 1\n)")))
        << out;
    EXPECT_TRUE(taken().empty());
    EXPECT_EQ(link_state[1][7].load(), 0);
    foreground = false;
    testing::internal::CaptureStdout();
    eventHandler(FM_EVENT_LOGICAL_PORT, 1, &lp);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "lines only with -v";
}

TEST_F(Events, WhichPortsReachTheTableAndTheDriver) {
    // Port 48, the last one the commands know, is kept; it is a PCI Express
    // port, so the driver hears nothing of it. Without -v nothing is printed.
    EXPECT_EQ(port_event(0, 48, FM_PORT_STATUS_LINK_UP), "");
    EXPECT_EQ(link_state[0][48].load(), 1);
    EXPECT_TRUE(taken().empty());
    // Beyond the table, an existing port still reaches the driver.
    port_event(0, 50001, FM_PORT_STATUS_LINK_UP);
    auto s = taken();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0][1], 50001);
    // An unknown port, a switch the table does not hold, a huge number:
    // nothing recorded, nothing sent, nothing outside the table touched.
    port_event(0, 49, FM_PORT_STATUS_LINK_UP);
    port_event(9, 1, FM_PORT_STATUS_LINK_UP);
    port_event(-1, 1, FM_PORT_STATUS_LINK_UP);
    port_event(0, 0xFFFFFFFFu, FM_PORT_STATUS_LINK_UP);
    EXPECT_TRUE(taken().empty());
    // No interface index: no record.
    fmsim_set_switch_ifindex(0, 0);
    port_event(0, 2, FM_PORT_STATUS_LINK_UP);
    EXPECT_EQ(link_state[0][2].load(), 1);
    EXPECT_TRUE(taken().empty());
}

TEST_F(Events, AFailedAttributeReadIsReportedAndSentAsZero) {
    fmsim_fail("fmGetPortAttribute", 1, FM_ERR_INVALID_ATTRIB);
    std::string out = port_event(0, 4, FM_PORT_STATUS_LINK_UP);
    EXPECT_EQ(out, "fmGetPortAttribute FM_PORT_ETHERNET_INTERFACE_MODE: Invalid attribute\n");
    auto s = taken();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0][4], 0);
    EXPECT_EQ(s[0][5], 25000);
}

TEST_F(Events, OtherEventsAndMissingPayloadsAreIgnored) {
    testing::internal::CaptureStdout();
    eventHandler(0x4, 0, nullptr);
    eventHandler(FM_EVENT_PORT, 0, nullptr);
    eventHandler(FM_EVENT_LOGICAL_PORT, 0, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(taken().empty());
}

int request(kelf::Dispatcher &d, std::uint32_t code, int unit, int port) {
    d.clear();
    d.buffer().kel.kel_cmd = static_cast<int>(code);
    d.buffer().kel.unit = unit;
    d.buffer().kel.port = port;
    kelf::Reply r = d.dispatch();
    int v = 0x7eadbeef;
    if (r.size == 4) std::memcpy(&v, r.data, 4);
    return v;
}

TEST_F(Events, DeviceCountAndPortLinkCommands) {
    kelf::Dispatcher d;
    EXPECT_EQ(request(d, KEL_GET_DEV_NUM, 0, 0), 2);
    kel_inserted = 1;
    EXPECT_EQ(request(d, KEL_GET_DEV_NUM, 5, 0), 1);

    port_event(0, 1, FM_PORT_STATUS_LINK_UP);
    port_event(0, 48, FM_PORT_STATUS_LINK_UP);
    port_event(7, 2, FM_PORT_STATUS_LINK_UP);
    EXPECT_EQ(request(d, KEL_GET_PORT_LINK, 0, 1), 1);
    EXPECT_EQ(request(d, KEL_GET_PORT_LINK, 0, 2), 0) << "no event yet reads 0";
    EXPECT_EQ(request(d, KEL_GET_PORT_LINK, 0, 48), 1);
    EXPECT_EQ(request(d, KEL_GET_PORT_LINK, 7, 2), 1) << "any unit the table holds";
    for (auto [unit, port] : {std::pair{0, 0}, {0, 49}, {0, -1}, {8, 1}, {-1, 1}, {0x7fffffff, 1}})
        EXPECT_EQ(request(d, KEL_GET_PORT_LINK, unit, port), -1) << unit << " " << port;
}

int open_descriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// The driver's device is opened and closed around each request: a daemon
// that sees many link events never runs out of descriptors.
TEST_F(Events, TheDriverDeviceIsClosedAfterEveryRequest) {
    char path[] = "/tmp/kelfd-driver-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    kelf::set_driver_call(nullptr);  // the real device call
    kelf::set_driver_device(path);
    const int before = open_descriptors();
    for (int i = 0; i < 500; ++i) port_event(0, 1 + i % 40, FM_PORT_STATUS_LINK_UP);
    EXPECT_EQ(open_descriptors(), before);
    kelf::set_driver_device(nullptr);
    ::unlink(path);
}

}  // namespace
