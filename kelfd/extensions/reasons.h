// reasons.h - the lines kelfd prints while it serves one request, kept for
// that request's client. Standard output and error go on to wherever they
// went (a terminal, the journal, the syslog pump); while a Capture lives,
// what the serving thread writes to them is also kept, so that a refusal
// can travel back with its reason. Other threads' lines (switch events) are
// not kept.
#pragma once

#include <cstddef>
#include <string>

namespace kelf::reasons {

// Routes stdout and stderr through the capture. Once, before any output;
// without it a Capture keeps nothing.
void install();

class Capture {
public:
    // Keeps at most `limit` bytes; what does not fit is cut at a line end
    // and marked with a "...\n" line.
    explicit Capture(std::size_t limit);
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
    // Everything kept so far (the streams flushed first); ends the capture.
    std::string take();

private:
    bool active_ = true;
};

}  // namespace kelf::reasons
