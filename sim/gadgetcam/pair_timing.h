// The host side's cost of one feature-report exchange on a hidraw node: a
// SET_REPORT of the command report and a GET_REPORT of the data report (the
// chip-generation query), made through bare hidraw ioctls, through the
// library's transport and through its public call with the lock. The methods
// take turns, round by round, so that drift of the machine's speed is shared
// among them; each one's median over the rounds is printed as a TIMING line
// on standard output.
#pragma once

#include <string>

namespace lumavix::sim {

// 0 when every exchange succeeded, 1 otherwise (said on standard error).
[[nodiscard]] int run_pair_timing(const std::string& node, unsigned pairs, unsigned rounds);

}  // namespace lumavix::sim
