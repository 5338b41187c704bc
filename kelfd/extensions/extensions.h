// extensions.h - the codes of kelfd's own block (KEL_X_*): the hello, the
// envelope that brings a request's printed lines back with its reply, and
// the rule transactions. Every other code goes to the command table as it
// would alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dispatch.h"

namespace kelf::extensions {

// True for a code of the block that this daemon serves.
bool served(std::uint32_t code);

// The bytes a request must hold to be whole, given its first `got` bytes
// (at least 4): its envelopes' headers and the layout its command reads.
std::size_t record_size(const unsigned char *rec, std::size_t got);

// Carries out an extension request of n bytes; the reply is built in out.
Reply serve(Dispatcher &d, const unsigned char *rec, std::size_t n,
            std::vector<unsigned char> &out);

}  // namespace kelf::extensions
