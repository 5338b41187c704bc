// The Ansible role of contrib/ansible against the real kelfd: a first run
// applies the rendered file, a second changes nothing, and --check --diff
// reports a drift and a template edit without changing the switch or the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;
using namespace std::chrono_literals;

const char kPlaybookBinary[] = "/usr/bin/ansible-playbook";

void write(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

// The playbook's recap counter NAME ("changed", "failed"), or -1 without a recap.
int recap(const std::string &out, const std::string &name) {
    auto at = out.find("PLAY RECAP");
    if (at == std::string::npos) return -1;
    at = out.find(" " + name + "=", at);
    if (at == std::string::npos) return -1;
    return std::stoi(out.substr(at + name.size() + 2));
}

// Runs ansible-playbook on the run directory's playbook with everything
// Ansible writes kept under the run directory.
DaemonProcess::Result playbook(const DaemonProcess &d, const std::vector<std::string> &extra) {
    const std::string &dir = d.run_dir();
    std::vector<std::string> args{"HOME=" + dir + "/home",
                                  "ANSIBLE_CONFIG=" + dir + "/ansible.cfg",
                                  "ANSIBLE_LOCAL_TEMP=" + dir + "/home/local",
                                  "ANSIBLE_REMOTE_TEMP=" + dir + "/home/remote",
                                  "ANSIBLE_NOCOLOR=1",
                                  "TMPDIR=" + dir + "/home",
                                  "LC_ALL=C.UTF-8",
                                  kPlaybookBinary,
                                  "-c",
                                  "local",
                                  "-i",
                                  "localhost,",
                                  dir + "/site.yml",
                                  "-e",
                                  "kelfd_config_path=" + dir + "/kelfd.conf",
                                  "-e",
                                  std::string("kelfctl_path=") + KELFCTL_BINARY,
                                  "-e",
                                  "kelfd_run_dir=" + dir};
    args.insert(args.end(), extra.begin(), extra.end());
    return d.run("/usr/bin/env", args, 90s);
}

TEST(AnsibleRole, AppliesOnceAndCheckReportsDriftWithoutChangingIt) {
    if (::access(kPlaybookBinary, X_OK) != 0)
        GTEST_SKIP() << kPlaybookBinary << " is missing: install ansible-core";
    DaemonProcess d;
    const std::string &dir = d.run_dir();
    std::filesystem::create_directories(dir + "/home");
    write(dir + "/ansible.cfg", "");
    write(dir + "/kelfd.conf.j2",
          "unit 0\n"
          "{% for source in blocked %}\n"
          "rule add group 0 id {{ 100 + loop.index }} drop src-ip {{ source }}\n"
          "{% endfor %}\n");
    write(dir + "/site.yml",
          "- hosts: localhost\n"
          "  gather_facts: false\n"
          "  vars:\n"
          "    kelfd_config_template: \"{{ playbook_dir }}/kelfd.conf.j2\"\n"
          "    blocked: [192.0.2.1/32, 198.51.100.0/24]\n"
          "  roles:\n"
          "    - role: " KELF_SOURCE_DIR "/contrib/ansible/roles/kelfd\n");

    auto first = playbook(d, {});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_GE(recap(first.out, "changed"), 1) << first.out;
    auto rules = d.run(KELFCTL_BINARY, {"rule", "list"});
    EXPECT_NE(rules.out.find("101  drop    src-ip 192.0.2.1\n"), std::string::npos) << rules.out;
    EXPECT_NE(rules.out.find("102  drop    src-ip 198.51.100.0/24\n"), std::string::npos)
        << rules.out;

    auto second = playbook(d, {});
    ASSERT_EQ(second.status, 0) << second.out << second.err;
    EXPECT_EQ(recap(second.out, "changed"), 0) << second.out;

    // A drift on the switch and a source added to the template: --check
    // compares the switch with the file as it would be rendered, shows both
    // changes, and makes neither.
    ASSERT_EQ(d.run(KELFCTL_BINARY, {"rule", "delete", "id", "102"}).status, 0);
    std::string file_before = kelftest::read_file(dir + "/kelfd.conf");
    auto checked =
        playbook(d, {"--check", "--diff", "-e",
                     R"({"blocked": ["192.0.2.1/32", "198.51.100.0/24", "203.0.113.0/24"]})"});
    ASSERT_EQ(checked.status, 0) << checked.out << checked.err;
    EXPECT_GE(recap(checked.out, "changed"), 1) << checked.out;
    // The plan's lines, not the file's diff, which shows the new line too.
    EXPECT_NE(
        checked.out.find("create  unit 0  rule add group 0 id 102 drop src-ip 198.51.100.0/24"),
        std::string::npos)
        << checked.out;
    EXPECT_NE(
        checked.out.find("create  unit 0  rule add group 0 id 103 drop src-ip 203.0.113.0/24"),
        std::string::npos)
        << checked.out;
    EXPECT_EQ(kelftest::read_file(dir + "/kelfd.conf"), file_before);
    auto after = d.run(KELFCTL_BINARY, {"rule", "list"});
    EXPECT_EQ(after.out.find("102  drop"), std::string::npos) << after.out;
    EXPECT_EQ(after.out.find("103  drop"), std::string::npos) << after.out;
    EXPECT_EQ(d.run(KELFCTL_BINARY, {"check", dir + "/kelfd.conf"}).status, 1);
}

}  // namespace
