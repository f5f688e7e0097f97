#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/router.h"

// Who may make the station send mail beyond its HF network through the
// local SMTP server: a station that did so for anyone who reaches its port
// would be an open relay. Clients on loopback or on the subnet of one of the
// station's own interfaces may do all that the router does. Any other client
// reaches only the local users and the other stations:
// - a recipient for the Internet is refused at RCPT (550);
// - so is FAX2, here or at another station: a fax gateway would dial,
//   which is relaying to the telephone network;
// - so is a recipient the router could only return (no such user, alias or
//   station): its failure notice would carry the client's text to whatever
//   sender the client named;
// - a message over [MAIL] MAXMAILSIZE is refused at the end of DATA (552),
//   as the router would return it too;
// - what it sends is queued with its address in the envelope, so that the
//   router returns nothing of it beyond the HF network (core/router.h).
// The first refused relay (Internet or fax) of a connection goes into the
// mailbox log with the client's address and the recipient.
// The server would otherwise take every recipient and size and leave the
// rest to the router; for a stranger the router's failure notices are
// themselves a relay, so these checks are made before the mail is taken.
namespace RelayRule {

// An IPv4 address of one of the station's interfaces with its netmask, both
// in host byte order.
struct TInterfaceAddress {
    uint32_t Address = 0;
    uint32_t Netmask = 0;
};

// The IPv4 addresses of the station's interfaces as they are now (empty
// when they cannot be read).
std::vector<TInterfaceAddress> LocalInterfaces();

// Whether a client at `peer` (dotted IPv4, as the server saw it) may send
// mail beyond the HF network. An address that does not parse may not.
bool MayRelay(const std::string& peer, const std::vector<TInterfaceAddress>& interfaces);

// The reply to a client that may not relay naming a recipient that goes to
// `destination`; empty when the recipient is taken.
std::string RefusalForOutside(Routing::TDestination destination);
// Whether that refusal is a refused relay attempt.
bool IsRelayAttempt(Routing::TDestination destination);

} // namespace RelayRule
