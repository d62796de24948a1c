#pragma once
// Who may connect: the IPv4 addresses and networks of the [access] allow
// list (or --allow), and the one local address to listen on (bind).
//
// Entries are read strictly. An entry that cannot be read exactly (a typo,
// an octet with a leading zero that some readers take for octal, a network
// written with host bits set, an IPv6 address) is named in a message and
// admits nobody: the station never widens access by guessing. A list given
// but left with no usable entry admits nobody at all; only a list not given
// admits everyone.
//
// Plain values; any thread.
#include <cstdint>
#include <string>
#include <vector>

namespace tav {

struct Ipv4Network {
    uint32_t address = 0;  // host order, host bits zero
    uint32_t mask = 0;     // host order
};

// "a.b.c.d": four decimal octets 0..255 without sign, spaces or leading
// zeros. Address in host order.
bool ParseIpv4(const std::string &text, uint32_t *address);
// "a.b.c.d" (one address) or "a.b.c.d/n" with n 0..32 and no host bits set.
// On failure *why says what is wrong (Chinese, for the operator).
bool ParseIpv4Network(const std::string &text, Ipv4Network *out, std::string *why);
// "a.b.c.d" from a host-order address.
std::string Ipv4Text(uint32_t address);
// The items of a comma-separated list (--allow), spaces around items removed.
std::vector<std::string> SplitCommaList(const std::string &text);

class AccessList {
public:
    // Everyone.
    AccessList() = default;
    // From the entries of a list that was given; `origin` names where it came
    // from in messages ("station.toml [access] allow", "--allow"). A message
    // per bad entry is appended to *messages.
    static AccessList FromEntries(const std::vector<std::string> &entries, const std::string &origin,
                                  std::vector<std::string> *messages);

    bool Allows(uint32_t address) const;
    bool Restricted() const { return restricted_; }
    const std::vector<Ipv4Network> &Networks() const { return networks_; }

private:
    bool restricted_ = false;
    std::vector<Ipv4Network> networks_;
};

// The listening address: `bind` empty = every local address (0). A bad value
// leaves *ok false with a message, and the station then listens nowhere.
uint32_t BindAddressFrom(const std::string &bind, const std::string &origin, bool *ok,
                         std::vector<std::string> *messages);

}  // namespace tav
