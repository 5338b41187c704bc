// Start-up: time from exec of `kelfd -v` to its first answered request, for
// one and for eight 48-port switches on fmsim. Baselines from the same run:
// exec to exit of `kelfd stop` with nothing to stop (process start and SDK
// load alone), and one switch's bring-up in this process.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "daemon.h"
#include "daemon_process.h"
#include "fmsim.h"
#include "startup.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelftest::DaemonProcess;
constexpr int kRuns = 7;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// exec to the first answered no-action request.
double start_once(int switches) {
    DaemonProcess::Options o;
    o.switches = switches;
    o.wait_ready = false;
    auto t0 = Clock::now();
    DaemonProcess d(o);
    kelfclient::Client c = d.client();
    unsigned char req[8] = {KEL_INIT};
    std::int32_t r;
    while (!c.status(req, sizeof req, &r)) {
        if (!d.running()) {
            std::fprintf(stderr, "kelfd ended during start:\n%s%s", d.out().c_str(),
                         d.err().c_str());
            throw std::runtime_error("stopped");  // unwinds: every process is stopped
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return ms(Clock::now() - t0);
}

// exec to exit of `kelfd stop` in an empty run directory.
double exec_once() {
    DaemonProcess::Options o;
    o.args = {"stop"};
    o.wait_ready = false;
    auto t0 = Clock::now();
    DaemonProcess d(o);
    d.wait_exit(std::chrono::seconds(10));
    return ms(Clock::now() - t0);
}

// One switch's bring-up in this process, the SDK started with nobody listening.
double bring_up_once() {
    fmsim_set_switches(1);
    kel_inserted = 0;
    fmOSInitialize();
    fmInitialize(nullptr);
    auto t0 = Clock::now();
    kelf::bring_up_switch(0);
    return ms(Clock::now() - t0);
}

}  // namespace

int main() try {
    std::vector<double> exec, one, eight, inproc;
    for (int i = 0; i < kRuns; ++i) {
        exec.push_back(exec_once());
        one.push_back(start_once(1));
        eight.push_back(start_once(8));
        inproc.push_back(bring_up_once());
    }
    auto calls = fmsim_calls("fmAddVlanPort") + fmsim_calls("fmSetVlanPortState") +
                 fmsim_calls("fmSetVlanAttribute") + fmsim_calls("fmCreateVlan");
    double exec_ms = median(exec), one_ms = median(one), eight_ms = median(eight);
    double inproc_ms = median(inproc);
    std::printf("median of %d runs, %u cores\n\n", kRuns, std::thread::hardware_concurrency());
    std::printf("| What | Time | Ratio |\n|---|---|---|\n");
    std::printf("| exec to exit of `kelfd stop` (baseline) | %.1f ms | 1 |\n", exec_ms);
    std::printf("| exec to first answer, 1 switch | %.1f ms | %.1f x baseline |\n", one_ms,
                one_ms / exec_ms);
    std::printf("| exec to first answer, 8 switches | %.1f ms | %.1f x one switch |\n", eight_ms,
                eight_ms / one_ms);
    std::printf("| one switch's bring-up in-process | %.1f ms | %.2f of the 1-switch start |\n",
                inproc_ms, inproc_ms / one_ms);
    std::printf("\nVLAN calls per bring-up: %llu (%.0f ns each, bring-up included)\n",
                static_cast<unsigned long long>(calls),
                inproc_ms * 1e6 / static_cast<double>(calls));
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", "startup_bench", e.what());
    return 1;
}
