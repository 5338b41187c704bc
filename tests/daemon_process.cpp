#include "daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace kelftest {
namespace {

std::string make_temp_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelfd-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

// Starts binary in a session of its own with env, output into files.
pid_t spawn(const std::string &binary, const std::vector<std::string> &args,
            const std::vector<std::string> &env, const std::string &out_path,
            const std::string &err_path, bool closed_streams = false) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(binary.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::setsid();
        int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int in = ::open("/dev/null", O_RDONLY);
        if (out >= 0) ::dup2(out, 1);
        if (err >= 0) ::dup2(err, 2);
        if (in >= 0) ::dup2(in, 0);
        if (closed_streams) {
            ::close(1);
            ::close(2);
        }
        ::execve(binary.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

int decode(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

}  // namespace

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

DaemonProcess::DaemonProcess() : DaemonProcess(Options{}) {}

DaemonProcess::DaemonProcess(Options options) : opt_(std::move(options)), dir_(make_temp_dir()) {
    pid_ = spawn(KELFD_BINARY, opt_.args, environment(), dir_ + "/stdout", dir_ + "/stderr",
                 opt_.closed_streams);
    if (opt_.wait_ready && !wait_ready()) {
        std::string text = out() + err();
        // No destructor runs for a constructor that throws: stop what was
        // started here, so a failed test leaves no daemon behind.
        stop_and_remove();
        throw std::runtime_error("kelfd did not come up; output:\n" + text);
    }
}

DaemonProcess::~DaemonProcess() {
    stop_and_remove();
}

void DaemonProcess::stop_and_remove() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGTERM);
        if (wait_exit(5s) < 0) {
            ::kill(pid_, SIGKILL);
            wait_exit(5s);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> DaemonProcess::environment() const {
    std::map<std::string, std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string s(*e);
        auto eq = s.find('=');
        if (eq != std::string::npos) env[s.substr(0, eq)] = s.substr(eq + 1);
    }
    env.erase("FMSIM_FAIL");
    env["KELF_RUN_DIR"] = dir_;
    env["FMSIM_SWITCHES"] = std::to_string(opt_.switches);
    // Leak reports of a killed daemon are not a test's subject.
    env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0";
    for (const auto &[k, v] : opt_.env) env[k] = v;
    std::vector<std::string> out;
    for (const auto &[k, v] : env) out.push_back(k + "=" + v);
    return out;
}

bool DaemonProcess::wait_ready(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    kelfclient::Client c = client();
    unsigned char req[8] = {KEL_INIT, 0, 0, 0, 0, 0, 0, 0};
    while (std::chrono::steady_clock::now() < deadline) {
        std::int32_t r = -1;
        if (::access(socket_path().c_str(), F_OK) == 0 && c.status(req, sizeof req, &r))
            return true;
        if (!running()) return false;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string DaemonProcess::out() const {
    return read_file(dir_ + "/stdout");
}
std::string DaemonProcess::err() const {
    return read_file(dir_ + "/stderr");
}

bool DaemonProcess::wait_out(const std::string &text, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (out().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

void DaemonProcess::signal(int sig) const {
    // Only ever the child this object forked: never 0 or -1.
    if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

int DaemonProcess::wait_exit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return decode(st);
        }
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(5ms);
    }
}

bool DaemonProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        return false;
    }
    return r == 0;
}

DaemonProcess::Result DaemonProcess::run(const std::string &binary,
                                         const std::vector<std::string> &args,
                                         std::chrono::milliseconds timeout) const {
    static std::atomic<int> serial{0};
    std::string base = dir_ + "/run" + std::to_string(++serial);
    pid_t pid = spawn(binary, args, environment(), base + ".out", base + ".err");
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int st = 0;
    int status = -1;
    for (;;) {
        pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            status = decode(st);
            break;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            if (pid > 0) ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return {status, read_file(base + ".out"), read_file(base + ".err")};
}

}  // namespace kelftest
