#!/usr/bin/env python3
"""The fleet bed's topology: hosts, addresses, host files and ground truth.

Usage:
  topology.py generate N SEED DIR   write DIR/plan, DIR/hosts, DIR/truth.json
                                    and DIR/HOST/{root,standins} for N hosts
  topology.py drop DIR HOST TYPE SERVER
                                    edit HOST's host files so that its
                                    dependency of TYPE on SERVER disappears,
                                    and take it out of DIR/truth.json

The same N and SEED always give the same fleet. Sites hold up to 30 hosts
(FLEET_SITE_SIZE, at most 60):
each is a subnet 198.18.S.0/24 behind its router (198.18.S.1); the routers
meet on a core bridge (198.19.0.0/24) when there is more than one site.
Every site has a name and time server (ns), a mail relay that also exports
NFS (mx) and a network printer (prn, an appliance: no agent, ignores ping);
site 0 also holds the central directory server and mail hub (dir) and the
web, application and database tiers. The other hosts are clients whose
host files name their site's servers; about a third of them hold a browser
session to the web tier, which holds one to the application tier, which
holds one to the database. Each client names exactly one name server and
one relay host (the agent keeps one of each today), so the truth and what
discovery can find agree.
"""
import json
import os
import random
import sys

DOMAIN = "fleet.example"
# Hosts per site (at most 60): small enough that 50 hosts already span two
# sites and cross the core.
SITE_SIZE = int(os.environ.get("FLEET_SITE_SIZE", "30"))

# Dependency type numbers as the agent publishes them.
T_FILESYS, T_DNS, T_NTP, T_EMAIL, T_DIR, T_PRINTER = 2, 3, 4, 5, 6, 8
T_WEB, T_DB, T_ROUTER = 11, 14, 15

# Each site's own servers, last octet and roles (router first).
SITE_SERVERS = [("r", 1, ["router"]), ("ns", 53, ["dns", "ntp"]),
                ("mx", 25, ["mail", "nfs"]), ("prn", 80, ["printer"])]
CENTRAL = [("dir", 10, ["directory", "mailhub"]), ("web", 11, ["web"]),
           ("app", 12, ["app"]), ("db", 13, ["database"])]
# At most this many browser sessions per web server (the stand-in accepts 64).
MAX_BROWSERS = 60


def site_count(n):
    return max(1, (n + SITE_SIZE - 1) // SITE_SIZE)


def build(n, seed):
    """The hosts and dependencies of an N-host fleet."""
    if not 1 <= SITE_SIZE <= 60:
        raise ValueError("FLEET_SITE_SIZE must be 1 to 60")
    if n < len(SITE_SERVERS) + len(CENTRAL) + 1:
        raise ValueError(f"a fleet needs at least {len(SITE_SERVERS) + len(CENTRAL) + 1} hosts")
    rng = random.Random(f"fleet:{n}:{seed}")
    sites = site_count(n)
    # Clients spread evenly over the sites; site 0 carries the central hosts.
    fixed = sites * len(SITE_SERVERS) + len(CENTRAL)
    clients = n - fixed
    per_site = [clients // sites + (1 if s < clients % sites else 0) for s in range(sites)]
    hosts = []
    for s in range(sites):
        for short, octet, roles in SITE_SERVERS:
            hosts.append({"name": f"s{s}-{short}", "addresses": [f"198.18.{s}.{octet}"],
                          "site": s, "roles": list(roles), "agent": short != "prn"})
        if s == 0:
            for short, octet, roles in CENTRAL:
                hosts.append({"name": short, "addresses": [f"198.18.0.{octet}"], "site": 0,
                              "roles": list(roles), "agent": True})
        for i in range(per_site[s]):
            hosts.append({"name": f"s{s}-c{i + 1:02d}", "addresses": [f"198.18.{s}.{100 + i}"],
                          "site": s, "roles": ["client"], "agent": True})
    names = [h["name"] for h in hosts]
    client_names = [h["name"] for h in hosts if h["roles"] == ["client"]]
    browsers = set(rng.sample(client_names, min(MAX_BROWSERS, max(1, len(client_names) // 3))))

    deps = []

    def dep(c, s, t, src):
        deps.append({"client": c, "server": s, "type": t, "source": src})

    for h in hosts:
        name, s, roles = h["name"], h["site"], h["roles"]
        if "router" in roles or "printer" in roles:
            continue
        if "dns" not in roles:
            dep(name, f"s{s}-ns", T_DNS, "config")
            dep(name, f"s{s}-ns", T_NTP, "config")
        dep(name, f"s{s}-r", T_ROUTER, "config")
        if "mail" in roles:
            dep(name, "dir", T_EMAIL, "config")
        if roles == ["client"]:
            dep(name, f"s{s}-mx", T_EMAIL, "config")
            dep(name, f"s{s}-mx", T_FILESYS, "config")
            dep(name, f"s{s}-prn", T_PRINTER, "config")
            dep(name, "dir", T_DIR, "config")
            if name in browsers:
                dep(name, "web", T_WEB, "tcp")
    dep("web", "app", T_WEB, "tcp")
    dep("app", "db", T_DB, "tcp")
    assert all(d["client"] in names and d["server"] in names for d in deps)
    return {"hosts": hosts, "dependencies": deps}, browsers


def fqdn(name):
    return f"{name}.{DOMAIN}"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def host_files(root, h, deps_of, addr):
    """The host files of host h under root, from its dependencies."""
    name = h["name"]
    write(f"{root}/etc/hostname", name + "\n")
    nsswitch = ("passwd: files\ngroup: files\nshadow: files\n"
                "hosts: files\nnetworks: files\nservices: files\n")
    write(f"{root}/etc/nsswitch.conf", nsswitch)
    by_type = {}
    for d in deps_of.get(name, []):
        by_type.setdefault(d["type"], []).append(d["server"])
    if T_DNS in by_type:
        # One name server per host: the agent keeps the last one it reads.
        write(f"{root}/etc/resolv.conf", f"search {DOMAIN}\nnameserver {addr[by_type[T_DNS][0]]}\n"
              "options timeout:1 attempts:1\n")
    if T_NTP in by_type:
        write(f"{root}/etc/chrony/chrony.conf",
              "".join(f"server {fqdn(s)} iburst\n" for s in by_type[T_NTP]) +
              "driftfile /var/lib/chrony/chrony.drift\n")
    if T_ROUTER in by_type:
        write(f"{root}/etc/network/interfaces",
              "auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet static\n"
              f"    address {h['addresses'][0]}/24\n    gateway {addr[by_type[T_ROUTER][0]]}\n")
    if T_EMAIL in by_type:
        relay = by_type[T_EMAIL][0]
        write(f"{root}/etc/postfix/main.cf",
              f"myhostname = {fqdn(name)}\nmydomain = {DOMAIN}\ninet_interfaces = "
              f"{'all' if 'mail' in h['roles'] else 'loopback-only'}\n"
              f"relayhost = [{fqdn(relay)}]\n")
    elif "mailhub" in h["roles"]:
        write(f"{root}/etc/postfix/main.cf",
              f"myhostname = {fqdn(name)}\nmydomain = {DOMAIN}\ninet_interfaces = all\n"
              "relayhost =\n")
    if T_FILESYS in by_type:
        write(f"{root}/etc/fstab",
              "# <file system> <mount point> <type> <options> <dump> <pass>\n"
              "proc /proc proc defaults 0 0\n" +
              "".join(f"{fqdn(s)}:/export/home /home nfs defaults 0 0\n" for s in by_type[T_FILESYS]))
    if "nfs" in h["roles"]:
        write(f"{root}/etc/exports", "/export/home 198.18.0.0/15(rw,sync,no_subtree_check)\n")
    if T_PRINTER in by_type:
        write(f"{root}/etc/cups/printers.conf",
              "# Printer configuration file for CUPS\n" +
              "".join(f"<Printer {s.replace('-', '_')}>\nDeviceURI ipp://{fqdn(s)}:631/printers/queue\n"
                      "State Idle\nAccepting Yes\n</Printer>\n" for s in by_type[T_PRINTER]))
    if T_DIR in by_type:
        write(f"{root}/etc/defaultdomain", "fleet\n")
        write(f"{root}/etc/yp.conf", "".join(f"domain fleet server {fqdn(s)}\n" for s in by_type[T_DIR]))


def standins(h, deps_of, addr):
    """The stand-in daemons of host h: NAME [tcp:PORT|udp:PORT|to:ADDR:PORT ...];
    a NAME alone is an idle process of that name."""
    roles, out = h["roles"], []
    if "router" in roles:
        out.append("sshd tcp:22")
    if "dns" in roles:
        out.append("named tcp:53 udp:53 udp:123")
    if "mail" in roles:
        out.append("master tcp:25 tcp:2049 udp:20048")
    if "printer" in roles:
        out.append("ipp-printer tcp:631 tcp:515 tcp:9100")
    if "directory" in roles:
        out.append("slapd tcp:389 tcp:25 udp:834")
    held = [d for d in deps_of.get(h["name"], []) if d["source"] == "tcp"]
    port = {T_WEB: 443, T_DB: 5432}
    if "web" in roles:
        out.append("nginx tcp:443 tcp:80" + "".join(f" to:{addr[d['server']]}:8080" for d in held))
    elif "app" in roles:
        out.append("java tcp:8080" + "".join(f" to:{addr[d['server']]}:5432" for d in held))
    elif "database" in roles:
        out.append("postgres tcp:5432")
    elif held:
        out.append("firefox-esr" + "".join(f" to:{addr[d['server']]}:{port[d['type']]}" for d in held))
    if any(d["type"] == T_NTP for d in deps_of.get(h["name"], [])):
        out.append("chronyd")
    if roles == ["client"]:
        out += ["cupsd", "ypbind", "master"]
    return "".join(line + "\n" for line in out)


def generate(n, seed, out):
    truth, _ = build(n, seed)
    hosts = truth["hosts"]
    addr = {h["name"]: h["addresses"][0] for h in hosts}
    deps_of = {}
    for d in truth["dependencies"]:
        deps_of.setdefault(d["client"], []).append(d)
    os.makedirs(out, exist_ok=True)
    with open(f"{out}/truth.json", "w") as f:
        json.dump(truth, f, indent=1)
        f.write("\n")
    lines = ["127.0.0.1 localhost"]
    for h in hosts:
        lines.append(f"{h['addresses'][0]} {fqdn(h['name'])} {h['name']}")
    write(f"{out}/hosts", "\n".join(lines) + "\n")
    # One line per host for the shell: name site address agent silent.
    plan = []
    for h in hosts:
        silent = "printer" in h["roles"]
        plan.append(f"{h['name']} {h['site']} {h['addresses'][0]} {int(h['agent'])} {int(silent)}")
        host_files(f"{out}/{h['name']}/root", h, deps_of, addr)
        write(f"{out}/{h['name']}/standins", standins(h, deps_of, addr))
    write(f"{out}/plan", "\n".join(plan) + "\n")
    print(f"{len(hosts)} hosts in {site_count(n)} site(s), {len(truth['dependencies'])} dependencies")


def drop(out, host, dtype, server):
    """Edits host's files so that its dependency of dtype on server goes."""
    with open(f"{out}/truth.json") as f:
        truth = json.load(f)
    match = [d for d in truth["dependencies"]
             if d["client"] == host and d["type"] == dtype and d["server"] == server]
    if not match:
        raise ValueError(f"{host} has no dependency of type {dtype} on {server}")
    if match[0]["source"] != "config":
        raise ValueError("only a dependency named in a host file can be dropped")
    root = f"{out}/{host}/root"
    files = {T_DNS: ["etc/resolv.conf"], T_NTP: ["etc/chrony/chrony.conf"],
             T_ROUTER: ["etc/network/interfaces"], T_EMAIL: ["etc/postfix/main.cf"],
             T_FILESYS: ["etc/fstab"], T_PRINTER: ["etc/cups/printers.conf"],
             T_DIR: ["etc/yp.conf"]}[dtype]
    for rel in files:
        path = f"{root}/{rel}"
        with open(path) as f:
            text = f.read()
        if dtype == T_PRINTER:
            kept, skip = [], False
            for line in text.splitlines(keepends=True):
                if line.startswith("<Printer") and server.replace("-", "_") in line:
                    skip = True
                if not skip:
                    kept.append(line)
                if line.startswith("</Printer>"):
                    skip = False
            text = "".join(kept)
        elif dtype == T_EMAIL:
            text = "".join("relayhost =\n" if line.startswith("relayhost") else line
                           for line in text.splitlines(keepends=True))
        else:
            a = next(h["addresses"][0] for h in truth["hosts"] if h["name"] == server)
            text = "".join(line for line in text.splitlines(keepends=True)
                           if a not in line.split() and fqdn(server) not in line)
        # Replaced whole, as an editor saves it.
        with open(path + ".new", "w") as f:
            f.write(text)
        os.replace(path + ".new", path)
    truth["dependencies"] = [d for d in truth["dependencies"] if d not in match]
    truth.setdefault("dropped", []).extend(match)
    with open(f"{out}/truth.json.new", "w") as f:
        json.dump(truth, f, indent=1)
        f.write("\n")
    os.replace(f"{out}/truth.json.new", f"{out}/truth.json")


def main(argv):
    try:
        if len(argv) == 5 and argv[1] == "generate":
            generate(int(argv[2]), argv[3], argv[4])
        elif len(argv) == 6 and argv[1] == "drop":
            drop(argv[2], argv[3], int(argv[4]), argv[5])
        else:
            print(__doc__.strip().splitlines()[2], file=sys.stderr)
            print(__doc__.strip().splitlines()[3], file=sys.stderr)
            return 2
    except (ValueError, OSError, StopIteration) as e:
        print(f"topology: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
