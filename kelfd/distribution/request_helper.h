// request_helper.h - builds requests in a Dispatcher's buffer and collects
// the reply and what the daemon printed, for the distribution tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dispatch.h"

namespace disttest {

struct Answer {
    std::vector<unsigned char> reply;
    std::string out;
    // The status word; a marker when the reply is not one.
    int status() const {
        int v = 0x7eadbeef;
        if (reply.size() == 4) std::memcpy(&v, reply.data(), 4);
        return v;
    }
    kel_lbg_query_list_t list() const {
        kel_lbg_query_list_t q;
        std::memset(&q, 0x5a, sizeof q);
        if (reply.size() == sizeof q) std::memcpy(&q, reply.data(), sizeof q);
        return q;
    }
};

// Sends what the buffer holds (the command code included).
inline Answer send(kelf::Dispatcher &d) {
    testing::internal::CaptureStdout();
    kelf::Reply r = d.dispatch();
    Answer a;
    a.out = testing::internal::GetCapturedStdout();
    const auto *p = static_cast<const unsigned char *>(r.data);
    a.reply.assign(p, p + r.size);
    return a;
}

// A fresh if_kel_lbg request.
inline if_kel_lbg_t &lbg_request(kelf::Dispatcher &d, int cmd, int unit = 0) {
    d.clear();
    if_kel_lbg_t &r = d.buffer().lbg;
    r.kel_cmd = cmd;
    r.unit = unit;
    return r;
}

// A fresh if_kel request.
inline if_kel_t &kel_request(kelf::Dispatcher &d, int cmd, int unit = 0) {
    d.clear();
    if_kel_t &r = d.buffer().kel;
    r.kel_cmd = cmd;
    r.unit = unit;
    return r;
}

inline void set_list(if_kel_lbg_t &r, const std::vector<int> &ports) {
    r.kel_query_list.kel_lbg_list.lbg_num = static_cast<int>(ports.size());
    for (size_t i = 0; i < ports.size() && i < 32; ++i)
        r.kel_query_list.kel_lbg_list.lbg_list[i] = ports[i];
}

// The first n entries of a reply list.
inline std::vector<int> entries(const kel_lbg_query_list_t &q, int n) {
    std::vector<int> v;
    for (int i = 0; i < n && i < 32; ++i) v.push_back(q.kel_lbg_list.lbg_list[i]);
    return v;
}

}  // namespace disttest
