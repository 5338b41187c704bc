// access.cpp - the client's identity, the requests that only read, the
// socket's group, and the audit trail.
#include "access.h"

#include <grp.h>
#include <kelfd/kel_lib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dispatch.h"
#include "wire_records.h"

namespace kelf::access {
namespace {

bool reads(std::uint32_t code) {
    switch (code) {
        case KEL_GET_CFG:
        case KEL_GET_CNT:
        case KEL_ENTRY_QUERY:
        case KEL_ENTRY_QUERY_LIST:
        case KEL_GET_DEV_NUM:
        case KEL_GET_PORT_MASK:
        case KEL_LBG_QUERY_LIST:
        case KEL_GET_L2_HASH:
        case KEL_GET_L3_HASH:
        case KEL_GET_PORT_LINK:
        case KEL_MIR_QUERY_LIST:
        case KEL_MIR_PORT_QUERY_LIST:
        case KEL_GET_PORT_SPEED:
        case KEL_GET_PORT_ETH_MODE:
        case KEL_MCG_GET_PORT:
        case KEL_GET_PORT_PARSER:
        case KEL_GET_RFRAME_UPDATE:
        case KEL_GET_TTL_UPDATE:
        case KEL_GET_SW_REMAIN:
        case KEL_GET_PORT_STATE:
        case KEL_GET_VLAN_STAT:
        case KEL_GET_STAT:
        case KEL_GET_PRIO_STAT:
        case KEL_X_HELLO:
        case KEL_X_AUTO_IDS:
            return true;
        default:
            // The block's reads; and the table's codes that do nothing.
            if (code >= KEL_X_FIRST && code <= KEL_X_LAST)
                return code >= KEL_X_RULES && code <= KEL_X_UNIT;
            return does_nothing(code);
    }
}

}  // namespace

std::string read_group() {
    const char *g = std::getenv("KELFD_READ_GROUP");
    return g != nullptr && *g != '\0' ? g : "kelfd-read";
}

Peer peer_of(int fd) {
    Peer p;
    ucred c{};
    socklen_t len = sizeof c;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &c, &len) != 0) return p;
    p.known = true;
    p.uid = c.uid;
    p.gid = c.gid;
    p.pid = c.pid;
    // Root, or the user kelfd itself runs as (a test's daemon), may change;
    // anyone else the socket lets in (the read group) only reads.
    p.may_change = c.uid == 0 || c.uid == ::geteuid();
    return p;
}

bool only_reads(const unsigned char *rec, std::size_t n) {
    const std::uint32_t code = wire::code_of(rec, n);
    constexpr std::size_t h = sizeof(kel_x_envelope_t);
    if (code == KEL_X_WHY) return n > h && only_reads(rec + h, n - h);
    if (code == KEL_X_MULTI) {
        const auto env = wire::read<kel_x_envelope_t>(rec, n);
        if (env.arg <= 0 || env.arg > KEL_X_MULTI_MAX) return true;  // refused as it is
        std::size_t off = h;
        for (std::int32_t i = 0; i < env.arg && off + 4 <= n; ++i) {
            std::uint32_t len = 0;
            std::memcpy(&len, rec + off, 4);
            if (len > n - off - 4) return true;  // cut short: answered -1, nothing done
            if (!only_reads(rec + off + 4, len)) return false;
            off += 4 + std::size_t{len};
        }
        return true;
    }
    return reads(code);
}

void open_to_readers(const std::string &path) {
    const group *g = ::getgrnam(read_group().c_str());
    if (g == nullptr) return;  // no such group: root alone, as before
    if (::chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0 ||
        ::chmod(path.c_str(), 0660) != 0) {
        std::printf("kelfd: the socket stays root's alone: it cannot be given to group %s: %s\n",
                    read_group().c_str(), std::strerror(errno));
        std::fflush(stdout);
    }
}

void audit(const Peer &p, const unsigned char *rec, std::size_t n, const void *reply,
           std::size_t reply_size) {
    const std::uint32_t code = wire::code_of(rec, n);
    constexpr std::size_t h = sizeof(kel_x_envelope_t);
    if (code == KEL_X_WHY && n > h) {
        // The inner request's own reply follows the length word.
        const auto *r = static_cast<const unsigned char *>(reply);
        std::uint32_t len = 0;
        if (reply_size >= 4) std::memcpy(&len, r, 4);
        const bool whole = reply_size >= 4 && len <= reply_size - 4;
        return audit(p, rec + h, n - h, whole ? r + 4 : nullptr, whole ? len : 0);
    }
    if (code == KEL_X_MULTI) {
        const auto env = wire::read<kel_x_envelope_t>(rec, n);
        const auto *r = static_cast<const unsigned char *>(reply);
        std::size_t off = h, roff = 0;
        for (std::int32_t i = 0; i < env.arg && i < KEL_X_MULTI_MAX && off + 4 <= n; ++i) {
            std::uint32_t len = 0, rlen = 0;
            std::memcpy(&len, rec + off, 4);
            if (len > n - off - 4) break;
            const unsigned char *item_reply = nullptr;
            if (roff + 4 <= reply_size) {
                std::memcpy(&rlen, r + roff, 4);
                if (rlen <= reply_size - roff - 4) item_reply = r + roff + 4;
                roff += 4 + std::size_t{rlen};
            }
            audit(p, rec + off + 4, len, item_reply, item_reply ? rlen : 0);
            off += 4 + std::size_t{len};
        }
        return;
    }
    if (reads(code)) return;
    if (code == KEL_X_TXN && n > h && reads(wire::code_of(rec + h, n - h)))
        return;  // its own reads
    std::string what = "command " + std::to_string(code);
    const auto k = wire::read<if_kel_t>(rec, n);
    if (code == KEL_X_TXN && n > h) {
        const auto env = wire::read<kel_x_envelope_t>(rec, n);
        const auto inner = wire::read<if_kel_t>(rec + h, n - h);
        what = "command " + std::to_string(inner.kel_cmd) + " in transaction " +
               std::to_string(env.arg) + " unit " + std::to_string(inner.unit);
        if (inner.kel_cmd == KEL_ENTRY_REMOVE)
            what +=
                " group " + std::to_string(inner.group) + " id " + std::to_string(inner.rule_id);
        else if (inner.kel_cmd != KEL_CLEAR)
            what += " group " + std::to_string(inner.kel_mem.group) + " id " +
                    std::to_string(inner.kel_mem.rule_id);
    } else if (code == KEL_X_LABEL) {
        const auto l = wire::read<kel_x_label_t>(rec, n);
        what += " unit " + std::to_string(l.unit) + " label kind " + std::to_string(l.kind) +
                " number " + std::to_string(l.number) + " id " + std::to_string(l.rule_id);
    } else if (code >= KEL_X_FIRST && code <= KEL_X_LAST) {
        const auto t = wire::read<kel_x_token_t>(rec, n);
        what += code == KEL_X_TXN_BEGIN ? " unit " + std::to_string(t.token)
                                        : " token " + std::to_string(t.token);
    } else {
        what += " unit " + std::to_string(k.unit);
        switch (code) {
            case KEL_SET_DROP:
            case KEL_SET_DIR:
            case KEL_SET_MIR:
            case KEL_SET_PERMIT:
            case KEL_SET_RULE:
                what += " group " + std::to_string(k.kel_mem.group) + " id " +
                        std::to_string(k.kel_mem.rule_id);
                break;
            case KEL_ENTRY_REMOVE:
                what += " group " + std::to_string(k.group) + " id " + std::to_string(k.rule_id);
                break;
            case KEL_LBG_REMOVE:
            case KEL_MIR_REMOVE:
            case KEL_MIR_ADD:
            case KEL_MIR_PORT_ADD:
            case KEL_MIR_PORT_REMOVE:
                what += " object " + std::to_string(wire::read<if_kel_lbg_t>(rec, n).lbg);
                break;
            case KEL_MCG_ADD_LISTENER:
            case KEL_MCG_REMOVE:
                what += " object " + std::to_string(k.group);
                break;
            default:
                break;
        }
    }
    std::string result;
    if (reply != nullptr && reply_size == 4) {
        std::int32_t v = 0;
        std::memcpy(&v, reply, 4);
        result = ": " + std::to_string(v);
    }
    std::printf("kelfd: audit: uid %u pid %d %s%s\n", static_cast<unsigned>(p.uid),
                static_cast<int>(p.pid), what.c_str(), result.c_str());
    std::fflush(stdout);
}

}  // namespace kelf::access
