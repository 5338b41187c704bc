// help.h - fmsimctl's options and its help, the main one and each command's.
#pragma once

#include <span>

#include "options.h"

namespace fmsimctl {

using kelfctl::Option;

// The options before the command, in kelf_cli's grammar.
extern const std::span<const Option> kOptionTable;

extern const char kMainHelp[];
extern const char kTraceHelp[];
extern const char kSendHelp[];
extern const char kReplayHelp[];
extern const char kCaptureHelp[];
extern const char kPortsHelp[];
extern const char kStatsHelp[];

}  // namespace fmsimctl
