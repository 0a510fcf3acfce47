// The question asked before an update takes a port's interface down.
#pragma once

// Asks on standard error and reads one line of at most 9 characters from
// standard input.  Yes is a whole line (ended by a line feed) of one or
// more leading characters of the catalogue's "yes", in any case; anything
// else, end of input included, is no.
bool confirm_interface_down(const char *ifname, const char *type_name);
