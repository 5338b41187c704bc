// objects.h - the grammar `kelfctl [OPTIONS] OBJECT { COMMAND | help } [ARGS]`:
// every object, its commands and its help, and the runner of one command.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace kelfctl {

using CommandFn = void (*)(Session &, Args &);

struct Command {
    const char *name;
    const char *alias;  // nullptr for none
    CommandFn run;
    std::vector<const char *> more = {};  // older spellings kept working
};

struct Object {
    const char *name;
    const char *alias;  // nullptr for none
    const char *summary;
    const char *help;  // the object's grammar, printed by `OBJECT help`
    CommandFn bare;    // OBJECT alone: shows or lists; nullptr needs a command
    std::vector<Command> commands;
};

// Every object, in the order `kelfctl help` lists them.
const std::vector<Object> &objects();

// Per-family tables, defined beside their commands.
std::vector<Object> rule_objects();
std::vector<Object> port_objects();
std::vector<Object> distribution_objects();
Object hash_object();
Object raw_object();
std::vector<Object> device_objects();
std::vector<Object> config_file_objects();  // check, apply, save

std::string main_help();

// Runs one command given as words (OBJECT COMMAND ARGS); prints its output
// and any failure, and returns its exit status.
int run_words(Session &s, const std::vector<std::string> &words);
// Prints kelfd's reason for the last refusal, a "kelfd: " line each.
void print_reason(Session &s);

}  // namespace kelfctl
