// SPDX-License-Identifier: GPL-3.0-or-later
// Ports on other machines. A port name (or the port map's symlink behind a COM name) may be a URL:
// "rfc2217://host:port" for a serial port that a server such as ser2net offers with Telnet Com Port
// Control (RFC 2217), "tcp://host:port" for a raw TCP stream that carries bytes only. IPv6 literals go
// in brackets: "rfc2217://[::1]:3001".
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct NetAddress {
    enum class Kind { Rfc2217, Tcp };
    Kind kind = Kind::Rfc2217;
    std::string host; // without brackets
    std::string port;
};
std::optional<NetAddress> parseNetUrl(const std::string& url);

// The numeric addresses ("192.0.2.7", "::1") of a host name; none when it is not known. Tests install
// their own, so that no test waits on this machine's resolver. Null restores the system's (getaddrinfo).
using NetResolver = std::function<std::vector<std::string>(const std::string& host)>;
void setNetResolver(NetResolver resolver);

// How long a connect may take (resolving included), and how long the server has to answer a setting.
// Both are spent off the GUI thread when the open is prepared (platform::PrepareOpen).
struct NetTimeouts {
    int connectMs = 5000;
    int answerMs = 3000;
};
void setNetTimeouts(const NetTimeouts& timeouts);
NetTimeouts netTimeouts();

} // namespace platform
