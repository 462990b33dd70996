#pragma once

#include <QString>

namespace harness {

// Whether this process has a /dev of its own (a private mount namespace with
// a tmpfs over /dev holding the few nodes the tests need, /dev/pts bound in,
// and private serial lock folders), where a test may link /dev/COMn. The
// first call sets it up, and must come while the process has one thread:
// linking the harness makes that happen before main(). Needs root.
bool can_link_com_ports();
// Why there is no private /dev, for a test's skip message; empty when there is.
QString com_ports_problem();

} // namespace harness
