// driver_recorder.h - for tests: takes the place of the kernel-driver call
// and keeps every link record the daemon would have sent.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "events.h"

namespace kelftest {

inline std::mutex &sent_mutex() {
    static std::mutex m;
    return m;
}

inline std::vector<kelf::LinkProp> &sent() {
    static std::vector<kelf::LinkProp> s;
    return s;
}

// The driver call of tests (kelf::set_driver_call): only in_param of a
// record may carry anything.
inline void recorder(const fm10k_cmd &cmd) {
    fm10k_cmd zero{};
    std::memcpy(zero.in_param, cmd.in_param, sizeof zero.in_param);
    EXPECT_EQ(std::memcmp(&zero, &cmd, sizeof cmd), 0);
    kelf::LinkProp p{};
    for (size_t i = 0; i < p.size(); ++i) p[i] = cmd.in_param[i];
    std::lock_guard<std::mutex> g(sent_mutex());
    sent().push_back(p);
}

// The records sent since the last call.
inline std::vector<kelf::LinkProp> taken() {
    std::lock_guard<std::mutex> g(sent_mutex());
    std::vector<kelf::LinkProp> out;
    out.swap(sent());
    return out;
}

}  // namespace kelftest
