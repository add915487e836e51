// The input packet filter (port access control): ACCEPT rules for the listed source
// addresses and MAC addresses, then one DROP rule by the protection level, on the
// "INPUT" chain of the IPv4 and IPv6 "filter" tables through libiptc.
#pragma once

// Installs the filter from the parameters "protection", "protection_level",
// "protection_test", "ip_filter_on_"N/"ip_filter_"N, "hw_filter_on_"N/"hw_filter_"N,
// "zqn_port", "zqn_sslport" and "ipv6". Called once by the start-up after the address
// and the gateway are configured. Moves "protection_test" through its test cycle
// ("on" -> "test" when installed, "test" -> "on" with "protection" off at the next
// start) and saves the parameter file on each such change. True when the filter with
// its DROP rule (or, for an unknown level, its ACCEPT rules alone) is in place; false
// when no filter was wanted or no ACCEPT rule could be installed, in which case no DROP
// rule exists either. An enabled IPv6 entry while "ipv6" is off is skipped.
bool setupPacketFilter();

// Flushes the "INPUT" chain of the IPv4 and then of the IPv6 "filter" table; true when
// both flushes and both commits succeeded.
bool clearPacketFilter();
