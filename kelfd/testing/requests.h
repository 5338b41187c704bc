// requests.h - request records as a client sends them, for every test and
// benchmark that builds one: in-process, over the socket or against the
// real daemon. Needs the protocol header only.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstring>

namespace kelftest {

// A zeroed if_kel for command cmd on unit.
inline if_kel_t request(int cmd = 0, int unit = 0) {
    if_kel_t r;
    std::memset(&r, 0, sizeof r);
    r.kel_cmd = cmd;
    r.unit = unit;
    return r;
}

}  // namespace kelftest
