#include "netns.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "daemon_process.h"

extern char **environ;

namespace kelftest {
namespace {

// A temporary file for a child's output, removed with the object.
struct TempFile {
    std::string path;
    int fd = -1;
    TempFile() {
        char tmpl[] = "/tmp/kelf-tool-XXXXXX";
        fd = ::mkstemp(tmpl);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        path = tmpl;
    }
    ~TempFile() {
        ::close(fd);
        ::unlink(path.c_str());
    }
};

}  // namespace

ToolResult run_tool(const std::vector<std::string> &argv,
                    const std::map<std::string, std::string> &env,
                    std::chrono::milliseconds timeout) {
    if (argv.empty()) throw std::invalid_argument("run_tool: no program");
    std::vector<std::string> envs;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string s = *e;
        if (!env.count(s.substr(0, s.find('=')))) envs.push_back(s);
    }
    for (const auto &[k, v] : env) envs.push_back(k + "=" + v);
    std::vector<char *> args, envp;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const auto &e : envs) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    TempFile out, err;
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0) ::dup2(in, 0);
        ::dup2(out.fd, 1);
        ::dup2(err.fd, 2);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ToolResult r;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int st = 0;
    for (;;) {
        pid_t w = ::waitpid(pid, &st, WNOHANG);
        if (w == pid) {
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (w < 0 || std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);  // pid > 0: the child forked above
            ::waitpid(pid, &st, 0);
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    r.out = read_file(out.path);
    r.err = read_file(err.path);
    return r;
}

std::string find_tool(const std::string &name) {
    for (const char *dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        std::string p = dir + name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

std::string tap_unavailable(const std::vector<std::string> &tools) {
    if (::geteuid() != 0) return "needs root to create TAP interfaces and network namespaces";
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) return "needs /dev/net/tun";
    for (const auto &t : tools)
        if (find_tool(t).empty())
            return "needs " + t + " (not found in /usr/sbin, /usr/bin, /sbin, /bin)";
    return "";
}

Namespaces::Namespaces(int count) {
    for (int i = 0; i < count; ++i) {
        std::string name = "kelf-" + std::to_string(::getpid()) + "-" + std::to_string(i);
        ToolResult r = run_tool({find_tool("ip"), "netns", "add", name});
        if (r.status != 0) {
            // The destructor does not run for a constructor that throws.
            for (const auto &n : names_) run_tool({find_tool("ip"), "netns", "del", n});
            throw std::runtime_error("ip netns add " + name + ": " + r.err);
        }
        names_.push_back(name);
    }
}

Namespaces::~Namespaces() {
    for (const auto &n : names_) run_tool({find_tool("ip"), "netns", "del", n});
}

void Namespaces::ip(int i, const std::vector<std::string> &args) const {
    std::vector<std::string> argv{find_tool("ip"), "-n", name(i)};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolResult r = run_tool(argv);
    if (r.status != 0) {
        std::string cmd;
        for (const auto &a : argv) cmd += " " + a;
        throw std::runtime_error(cmd + ": " + r.err);
    }
}

ToolResult Namespaces::exec(int i, const std::vector<std::string> &argv,
                            std::chrono::milliseconds timeout) const {
    std::vector<std::string> all{find_tool("ip"), "netns", "exec", name(i)};
    all.insert(all.end(), argv.begin(), argv.end());
    return run_tool(all, {}, timeout);
}

void attach(const Namespaces &ns, int i, const std::string &ifname, const std::string &address) {
    ToolResult r = run_tool({find_tool("ip"), "link", "set", ifname, "netns", ns.name(i)});
    if (r.status != 0) throw std::runtime_error("ip link set " + ifname + " netns: " + r.err);
    ns.ip(i, {"addr", "add", address, "dev", ifname});
    ns.ip(i, {"link", "set", ifname, "up"});
    ns.ip(i, {"link", "set", "lo", "up"});
}

TapLock::TapLock(std::chrono::milliseconds wait) {
    // Read-only: flock needs no more, and any user can open a file another
    // made. O_CREAT only when missing: in sticky /tmp it is refused on a file
    // of another user.
    const char *path = "/tmp/kelfd-tap-ports.lock";
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) fd_ = ::open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (!(held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
}

TapLock::~TapLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

}  // namespace kelftest
