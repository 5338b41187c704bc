// netns.h - what the TAP test and benchmark share: running system tools,
// network namespaces that go away with their guard, and the lock that keeps
// two daemons from claiming the same TAP interface names at once.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace kelftest {

using namespace std::chrono_literals;

struct ToolResult {
    int status = -1;  // exit status, 128+signal, or -1 on time-out
    std::string out, err;
};

// Runs argv[0] (a path) with the process environment plus env, output
// captured; killed after timeout.
ToolResult run_tool(const std::vector<std::string> &argv,
                    const std::map<std::string, std::string> &env = {},
                    std::chrono::milliseconds timeout = 30s);

// The path of a system tool (ip, ping, iperf3, setpriv), or "" when missing.
std::string find_tool(const std::string &name);

// Why traffic through TAP ports cannot run here, or "" when it can: root,
// /dev/net/tun and the tools named.
std::string tap_unavailable(const std::vector<std::string> &tools);

// Network namespaces named after the process, deleted when the guard goes,
// whatever happened in between.
class Namespaces {
public:
    // Throws when one cannot be made (the ones made are removed).
    explicit Namespaces(int count);
    ~Namespaces();
    Namespaces(const Namespaces &) = delete;
    Namespaces &operator=(const Namespaces &) = delete;
    const std::string &name(int i) const { return names_.at(static_cast<std::size_t>(i)); }
    // `ip -n NAME args...` in namespace i; throws on failure with its output.
    void ip(int i, const std::vector<std::string> &args) const;
    // argv run inside namespace i (ip netns exec).
    ToolResult exec(int i, const std::vector<std::string> &argv,
                    std::chrono::milliseconds timeout = 30s) const;

private:
    std::vector<std::string> names_;
};

// Moves interface ifname into namespace i of ns, gives it address (CIDR)
// and sets it up.
void attach(const Namespaces &ns, int i, const std::string &ifname, const std::string &address);

// A lock across processes on the TAP interface names fms<unit>p<port>: only
// one daemon with FMSIM_TAP at a time, among tests and benchmarks running
// side by side. held() is false when another holder kept it past the wait.
class TapLock {
public:
    explicit TapLock(std::chrono::milliseconds wait = 60s);
    ~TapLock();
    TapLock(const TapLock &) = delete;
    TapLock &operator=(const TapLock &) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace kelftest
