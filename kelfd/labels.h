// labels.h - the short labels clients give rules and objects (a file's
// names, a rule's comment). kelfd keeps them while it runs and while what
// they name exists, and every read-back reports them; nothing reaches the
// switch.
#pragma once

#include <string>

namespace kelf::labels {

enum class Kind { Rule = 0, Lbg = 1, Mirror = 2, Mcast = 3 };

// number is a rule's group or the object's number; id a rule's id (0 for
// objects). An empty text takes the label away.
void set(int unit, Kind kind, int number, int id, const std::string &text);
// The label, or "" for none.
const std::string &get(int unit, Kind kind, int number, int id = 0);
// What the label named is gone.
void gone(int unit, Kind kind, int number, int id = 0);
// Forgets every label (the daemon's reset).
void reset();

}  // namespace kelf::labels
