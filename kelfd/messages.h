// messages.h - the daemon's fixed texts.
//
// These are the system's own words: operators, scripts and the tests match
// them byte for byte, odd spellings included ("keld", "kelf stop", "get
// fmAddLBGPort", "fm GetPortState"). They are not typos to correct: a change
// here breaks whoever reads the daemon's output. Texts that merely name the
// SDK call that failed stay beside that call.
#pragma once

namespace kelf::msg {

// Start-up and shutdown.
inline constexpr char kBanner[] = "\nKELF daemon version 6.0.10.7.30.1";
inline constexpr char kSwitchUp[] = "Switch is UP, all ports are now enabled";
inline constexpr char kGotSigterm[] = "KEL: GOT SIGTERM!";
inline constexpr char kAlreadyRunning[] = "keld already running! use `kelf stop` for exit";
inline constexpr char kOpenFailed[] = "%s open failed\n";  // the pid file's path
inline constexpr char kShutdownSwitch[] = "shutdown %d!\n";
inline constexpr char kPortPrefix[] = "port = %d";  // before a frame-size cleanup line
inline constexpr char kStopTimedOut[] = "keld (pid %ld) did not stop within %lld ms\n";
// A detached daemon's syslog entry after lines syslog could not take.
inline constexpr char kMessagesDropped[] = "kelfd: %llu messages dropped: syslog did not take them";

// Events.
inline constexpr char kSwitchInserted[] = "Switch #%d inserted!\n";
inline constexpr char kPortEvent[] = "%d.%d.%d %d:%d:%d port event: unit %d port %d is %s\n";
inline constexpr char kLogicalPortEvent[] =
    "%d.%d.%d %d:%d:%d lport event: unit %d port %d pepId %d pepLogicalPort %d "
    "portCreated %d\n";

// The request loop.
inline constexpr char kUnknownCommand[] = "keld: Unknown command";

// The rule engine.
inline constexpr char kRuleStackOverflow[] = "kel: rule stack overflow!";
inline constexpr char kRuleExists[] = "Rule exist!";  // printed without a newline
inline constexpr char kRuleAllocFailed[] = "kel: memory allocation error!";
inline constexpr char kSetRuleStateFailed[] = "set rule state failed!";
inline constexpr char kDeleteRuleStateFailed[] = "delete rule state failed!";
inline constexpr char kPortSetError[] = "portSet error";
inline constexpr char kMapCardinalPortError[] = "fmMapCardinalPort error";
inline constexpr char kAddVlanPortError[] = "fmAddVlanPort error";
inline constexpr char kSetVlanPortStateError[] = "fmSetVlanPortState error";
inline constexpr char kPortAttributeLine[] = "!!!%d: fmSetPortAttribute:%s \n";

// Operating configurations.
inline constexpr char kUnsupportedCfg[] = "ERROR: unsupported configuration %d\n";
inline constexpr char kCfgOutOfRange[] = "ERROR: cfg %d is out of range.\n";

// Reporter labels of cleanup() that are not the plain name of the call.
inline constexpr char kGetAddLbgPort[] = "get fmAddLBGPort";
inline constexpr char kGetAddMirrorPort[] = "get fmAddMirrorPort";
inline constexpr char kGetMdioRead[] = "get fmPlatformMdioRead";
inline constexpr char kGetMdioWrite[] = "get fmPlatformMdioWrite";
inline constexpr char kFmGetPortState[] = "fm GetPortState";
inline constexpr char kSetLbgState[] = "set fmSetLBGAttribute FM_LBG_STATE";
inline constexpr char kSetLbgAttribute[] = "set fmSetLBGAttribute";
inline constexpr char kSetL2HashKey[] = "set FM_L2_HASH_KEY";
inline constexpr char kSetL3HashConfig[] = "set FM_L3_HASH_CONFIG";
inline constexpr char kGarpTrap[] = "fmSetPortAttribute FM_TRAP_IEEE_GARP";
inline constexpr char kBpduTrap[] = "fmSetPortAttribute FM_TRAP_IEEE_BPDU";

}  // namespace kelf::msg
