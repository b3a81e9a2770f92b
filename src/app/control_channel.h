// Talking to the gateway that runs on a profile directory.
//
// A gateway (the terminal interface, --headless, --once) holds the profile
// lock (instance_lock.h) and serves a Unix-domain stream socket,
// ".qivnews.sock" in the profile directory, mode 0600, from its own message
// loop. The subcommands subscribe, unsubscribe, expire, list-groups and
// setup, when they find a gateway holding the lock, hand their command to it
// instead of running alone; the gateway carries it out as its menu would
// (subscribe and unsubscribe through the function the menu commands call,
// for every name given at once), and answers once it has completed (for
// expire, when the whole chain has run; for list-groups, when the cycle that
// fetches the list has ended). Both ends check with SO_PEERCRED that the
// other runs under the same user, so the password that setup may carry goes
// to no one else.
//
// When "<dir>/.qivnews.sock" does not fit into a socket address (108 bytes),
// both ends reach it as "/proc/self/fd/<n>/.qivnews.sock" through a
// descriptor of the directory, so the socket stays where the lock is.
//
// control_protocol.h is the wire format, control_client.h the subcommands'
// side, control_server.h the gateway's.
//
// Protocol: one request line per connection, fields separated by TAB, in
// which backslash, TAB, CR and LF travel as \\, \t, \r and \n. The answer
// is lines "<head>\t<text>\n": any number of "out" and "err" lines, whose
// text the client prints on its standard output or error, then one last
// line "<exit status>\t<text>" (text, when not empty, printed as the status
// says), or "retry\t<text>" when the gateway stopped before it could carry
// the request out (the client then starts over and may find the profile
// free). An answer of one line only is what a request of one name has
// always got. Requests:
//   subscribe NAME... | unsubscribe NAME... | expire | list-groups |
//   setup --server=HOST --spool=DIR ... (the setup options as given)
#pragma once

#include "app/control_client.h"
#include "app/control_protocol.h"
#include "app/control_server.h"
