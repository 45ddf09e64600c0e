// ICMP echo probes of hosts (IPv4 and IPv6).
