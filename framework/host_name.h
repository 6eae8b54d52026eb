#pragma once
// Host names of IPv4 addresses: the administrator's QNS table first, then a
// reverse look-up that never takes longer than kNameLookupDeadlineMs.

#include <cstdint>
#include <string>

class WSocketBase;

// The QNS table's look-up: true and the name when the address has an entry.
// The table installs it when the engine starts; until then (or after null is
// installed) only the reverse look-up answers.
using QNSLookupFunction = bool (*)(std::uint32_t address, std::string& name);
void SetQNSLookup(QNSLookupFunction lookup);
// The table's answer alone (no DNS): true with name set when it has one.
bool LookupQNSHostName(std::uint32_t address, std::string& name);

// out is the host name of address (network order), or empty when unresolved.
void ResolveHostName(std::string& out, std::uint32_t address);

// out is the name of the socket's local address: the QNS entry, else (with
// resolve) the reverse look-up, else the dotted address. When the address
// cannot be had, throws as the socket's switch says or leaves out empty and
// returns -1; otherwise returns 0.
int GetLocalHostName(std::string& out, WSocketBase& socket, bool resolve);
