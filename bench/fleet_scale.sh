#!/bin/sh
# The fleet at scale (as root): brings up the fleet bed
# (scripts/fleet-net.sh) with N hosts for each N given (default 10) and
# measures
#   - the time until every agent's own dependencies are in its table, until
#     every map is complete (scripts/fleet-report.sh) and until peers and
#     graphs stop changing, in wall seconds, agent-seconds and peer passes;
#   - per agent and peer-pass period, over FLEET_WINDOW passes once the maps
#     are complete: TCP sessions opened and bytes sent and received (the
#     host's namespace counters: /proc/net/snmp ActiveOpens, its interfaces'
#     bytes), CPU seconds and RSS of qeld (median and largest over agents);
#   - the kill drill (a client's agent SIGKILLed: until no agent names it as
#     a peer or keeps it in its graph but for sessions it holds to a live
#     agent) and the drop drill (a client's name server taken out of its
#     resolv.conf: until no agent's table or graph holds it);
#   - the anchor: one snmpbulkwalk of IP-MIB's tcpConnectionTable and
#     ipCidrRouteTable from Debian's snmpd in a few hosts' namespaces, beside
#     one fetch of the same hosts' whole dependencyTable with qelquery, both
#     from the site router (bytes on the host's interface, wall time).
# Divisor from FLEET_DIVISOR (default 15); the bed is taken down at the end.
#
# usage: bench/fleet_scale.sh [N ...]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
[ "$(id -u)" -eq 0 ] || {
    echo "fleet_scale: needs root (network namespaces)" >&2
    exit 1
}
[ $# -gt 0 ] || set -- 10
for n in "$@"; do
    FLEET_DIVISOR=${FLEET_DIVISOR:-15} ROOT=$ROOT BUILD=$BUILD python3 - "$n" <<'PY'
import json, os, re, statistics, subprocess, sys, time

root, build = os.environ["ROOT"], os.environ["BUILD"]
n = int(sys.argv[1])
div = int(os.environ["FLEET_DIVISOR"])
run = os.environ.get("FLEET_RUN", os.path.join(root, "run", "fleet"))
prefix = os.environ.get("FLEET_PREFIX", "kqfleet")
window = int(os.environ.get("FLEET_WINDOW", "4"))
env = dict(os.environ, KESTROVA_TIME_DIVISOR=str(div), FLEET_RUN=run, FLEET_PREFIX=prefix)
net = ["sh", os.path.join(root, "scripts", "fleet-net.sh")]
passs = 300 / div                      # one peer pass, wall seconds
dep_age, peer_age = max(10, 600 // div), max(30, 1800 // div)
tick = os.sysconf("SC_CLK_TCK")


def say(*a):
    print(f"fleet_scale[{n}]:", *a, flush=True)


def report(*args):
    out = os.path.join(run, "bench-report.json")
    r = subprocess.run(["python3", os.path.join(root, "scripts", "fleet", "report.py"), "--quiet", "--json", out,
                        *args, run, build, prefix], env=env)
    with open(out) as f:
        return r.returncode, json.load(f)


def agents():
    """host -> pid of its qeld."""
    out = {}
    for line in open(os.path.join(run, "plan")):
        h, s, a, agent, silent = line.split()
        if agent != "1":
            continue
        pids = subprocess.run(["ip", "netns", "pids", f"{prefix}-{h}"], capture_output=True, text=True).stdout.split()
        for p in pids:
            try:
                if open(f"/proc/{p}/comm").read().strip() == "qeld":
                    out[h] = p
            except OSError:
                pass
    return out


def sample(pids):
    """host -> (cpu s, rss kB, fds, active opens, bytes rx+tx) now."""
    out = {}
    for h, p in pids.items():
        try:
            st = open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()
            cpu = (int(st[11]) + int(st[12])) / tick
            rss = int(re.search(r"VmRSS:\s+(\d+)", open(f"/proc/{p}/status").read()).group(1))
            fds = len(os.listdir(f"/proc/{p}/fd"))
            snmp = open(f"/proc/{p}/net/snmp").read().splitlines()
            tcp = [l.split() for l in snmp if l.startswith("Tcp:")]
            opens = int(tcp[1][tcp[0].index("ActiveOpens")])
            byt = 0
            for l in open(f"/proc/{p}/net/dev").read().splitlines()[2:]:
                name, rest = l.split(":", 1)
                if name.strip() in ("eth0", "br0", "up0"):
                    f = rest.split()
                    byt += int(f[0]) + int(f[8])
            out[h] = (cpu, rss, fds, opens, byt)
        except (OSError, ValueError, AttributeError, IndexError):
            pass
    return out


def fig(vals):
    vals = sorted(vals)
    return f"median {statistics.median(vals):.3g}, max {vals[-1]:.3g}" if vals else "none"


def wall(label, seconds):
    return f"{label} {seconds:.0f} s wall = {seconds * div:.0f} agent-s = {seconds / passs:.1f} peer passes"


# Up.
t = time.time()
subprocess.run(net + ["up", str(n), build], env=env, check=True)
start = time.time()
say(f"up in {start - t:.0f} s; divisor {div}: peer pass {passs:.0f} s, first after {120 / div:.0f} s; "
    f"age-outs {dep_age} s / {peer_age} s")

# Convergence.
own_done = complete = None
last_change, prev = start, None
bound = max(900 - (start - t), 20 * passs)
while time.time() - start < bound:
    rc, rep = report()
    now = time.time() - start
    hosts = rep["hosts"]
    if own_done is None and all(h.get("ownMissing", 1) == 0 for h in hosts.values()):
        own_done = now
    if complete is None and rc == 0:
        complete = now
    fp = {k: (tuple(h.get("peers", [])), h.get("edges")) for k, h in hosts.items()}
    if fp != prev:
        last_change, prev = now, fp
    if complete is not None and now - last_change >= 2 * passs:
        break
    time.sleep(max(1, passs / 2))
say(wall("own dependencies in every table after", own_done) if own_done is not None else "own dependencies never complete")
say(wall("every map complete after", complete) if complete is not None else f"maps not complete within {bound:.0f} s")
say(wall("peers and graphs last changed at", last_change))
inc = [k for k, h in rep["hosts"].items() if not h.get("complete")]
if inc:
    say(f"incomplete maps: {len(inc)}: {' '.join(sorted(inc)[:10])}")

# Cost per agent and peer-pass period.
pids = agents()
a = sample(pids)
time.sleep(window * passs)
b = sample(pids)
common = [h for h in a if h in b]
per = lambda i: [(b[h][i] - a[h][i]) / window for h in common]
say(f"per agent and peer pass over {window} passes ({len(common)} agents):")
say(f"  CPU seconds {fig(per(0))}; sessions opened {fig(per(3))}; "
    f"bytes sent+received {fig(per(4))}")
say(f"  RSS kB {fig([b[h][1] for h in common])}; descriptors {fig([b[h][2] for h in common])}")
graphs = [h.get("edges") or 0 for h in rep["hosts"].values()]
say(f"  graph edges {fig(graphs)}; peers {fig([len(h.get('peers', [])) for h in rep['hosts'].values()])}")
# Whole-machine memory of the bed: agents and stand-ins.
mem = subprocess.run(["free", "-m"], capture_output=True, text=True).stdout.splitlines()[1].split()
say(f"  machine memory used {mem[2]} MB of {mem[1]} MB")

# Kill drill: the last client's agent.
clients = [h["name"] for h in json.load(open(os.path.join(run, "truth.json")))["hosts"] if h["roles"] == ["client"]]
victim, dropper = clients[-1], clients[0]
subprocess.run(net + ["kill", victim], env=env, check=True)
k0 = time.time()
kb = peer_age + passs
kill_took = None
while time.time() - k0 < kb + 4 * passs:
    rc, rep = report("--skip", victim, "--gone", victim)
    if not rep["gone"][victim]:
        kill_took = time.time() - k0
        break
    time.sleep(2)
say(wall(f"kill {victim}: pruned everywhere after", kill_took) + f" (bound {kb:.0f} s)" if kill_took is not None
    else f"kill {victim}: still a peer of {len(rep['gone'][victim])} agents after {time.time() - k0:.0f} s (bound {kb:.0f} s)")

# Drop drill: the first client's name server.
ns = next(d["server"] for d in json.load(open(os.path.join(run, "truth.json")))["dependencies"]
          if d["client"] == dropper and d["type"] == 3)
subprocess.run(net + ["drop", dropper, "3", ns], env=env, check=True)
d0 = time.time()
db = dep_age + 2 * passs
drop_took = None
key = f"{dropper} 3 {ns}"
while time.time() - d0 < db + 2 * passs:
    rc, rep = report("--skip", victim, "--gone", victim, "--absent", dropper, "3", ns)
    if not rep["absent"][key]:
        drop_took = time.time() - d0
        break
    time.sleep(2)
say(wall(f"drop {dropper} -> {ns} (DNS): gone everywhere after", drop_took) + f" (bound {db:.0f} s)"
    if drop_took is not None else
    f"drop {dropper} -> {ns} (DNS): still held by {len(rep['absent'][key])} agents after {time.time() - d0:.0f} s "
    f"(bound {db:.0f} s)")

# Anchor: snmpbulkwalk beside a dependencyTable fetch, from the site router.
if os.path.exists("/usr/sbin/snmpd") and subprocess.run(["sh", "-c", "command -v snmpbulkwalk"],
                                                        capture_output=True).returncode == 0:
    plan = [l.split() for l in open(os.path.join(run, "plan"))]
    picks = [p for p in plan if p[3] == "1" and p[0] != victim and not p[0].endswith("-r")][:5]
    walk, fetch = [], []
    for h, s, addr, _, _ in picks:
        hns, rns = f"{prefix}-{h}", f"{prefix}-s{s}-r"
        conf = os.path.join(run, h, "snmpd.conf")
        with open(conf, "w") as f:
            f.write(f"agentaddress udp:{addr}:161\nrocommunity public 198.18.0.0/15\n")
        d = subprocess.Popen(["ip", "netns", "exec", hns, "/usr/sbin/snmpd", "-f", "-Lo", "-C", "-c", conf,
                              "-p", os.path.join(run, h, "snmpd.pid")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.5)
        pid = pids[h]

        def dev():
            return next(sum(int(x) for x in (l.split(":", 1)[1].split()[0], l.split(":", 1)[1].split()[8]))
                        for l in open(f"/proc/{pid}/net/dev") if l.strip().startswith("eth0:"))

        def measure(cmd, cwd=None):
            b0, t0 = dev(), time.time()
            out = subprocess.run(["ip", "netns", "exec", rns, *cmd], capture_output=True, text=True, cwd=cwd).stdout
            return dev() - b0, time.time() - t0, out.count("\n")

        w = [measure(["snmpbulkwalk", "-v2c", "-c", "public", "-t", "5", addr, o])
             for o in ("1.3.6.1.2.1.6.19", "1.3.6.1.2.1.4.24.4")]
        walk.append((sum(x[0] for x in w), sum(x[1] for x in w), sum(x[2] for x in w)))
        fetch.append(measure([os.path.join(build, "bin", "qelquery"), "-json", f"{addr},5270", "fleetReport",
                              os.path.join(root, "examples", "queries", "kestrova-dependency-table.xml")],
                             cwd=os.path.join(run, "client")))
        d.terminate()
        d.wait()
    say(f"anchor over {len(picks)} hosts: snmpbulkwalk tcpConnectionTable + ipCidrRouteTable: bytes "
        f"{fig([x[0] for x in walk])}, wall s {fig([x[1] for x in walk])}, lines {fig([x[2] for x in walk])}")
    say(f"  beside one dependencyTable fetch (qelquery, TLS handshake included): bytes {fig([x[0] for x in fetch])}, "
        f"wall s {fig([x[1] for x in fetch])}")
else:
    say("anchor skipped: Debian's snmpd and snmp are not installed")

subprocess.run(net + ["down", "--quiet"], env=env)
PY
done
