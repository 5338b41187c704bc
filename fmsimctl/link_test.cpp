// fmsimctl's link against a fake fmsim: a reply longer than the protocol
// allows is refused before fmsimctl makes room for it.
#include "link.h"

#include <fmsim/control.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace fmsimctl {
namespace {

TEST(Link, RefusesAReplyLongerThanTheProtocolAllows) {
    char tmpl[] = "/tmp/fmsimctl_link_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/fmsim.sock";
    int l = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(l, 1), 0);
    // Announces one byte too many, then sends nothing: a client that waits
    // for the body, or allocates it, fails the test by time-out or memory.
    std::thread fake([l] {
        int c = ::accept(l, nullptr, nullptr);
        std::uint8_t req[5];
        if (::read(c, req, sizeof req) <= 0) return;
        std::uint32_t n = fmsim::control::kMaxReply + 1;
        if (::write(c, &n, sizeof n) != sizeof n) return;
        char end;
        if (::read(c, &end, 1) < 0) {  // until the client closes
        }
        ::close(c);
    });
    int status = -1;
    std::string what;
    try {
        Link link(path, std::chrono::milliseconds(5000));
        link.call(Body(fmsim::control::kHello).data());
    } catch (const Failure &f) {
        status = f.status;
        what = f.what();
    }
    fake.join();
    ::close(l);
    std::filesystem::remove_all(tmpl);
    EXPECT_EQ(status, kExitRefused);
    EXPECT_EQ(what, "fmsim sent a message of " + std::to_string(fmsim::control::kMaxReply + 1) +
                        " bytes");
}

}  // namespace
}  // namespace fmsimctl
