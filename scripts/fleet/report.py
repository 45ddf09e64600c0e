#!/usr/bin/env python3
"""Asks every agent of the fleet bed for its dependency and peer tables and
graph counts and compares them with the ground truth (FLEET_RUN/truth.json).

Usage: report.py [--json FILE] [--quiet] [--absent CLIENT TYPE SERVER]
                 [--gone HOST] [--skip HOST] FLEET_RUN BUILD PREFIX

What a host's map should hold, from the truth:
  own       its own dependencies (it is the client), and the TCP sessions
            it serves (it sees them arrive);
  shared    every dependency of another host on a server and type this host
            also uses (the peer exchange tells it of them);
and its peers are the hosts of those shared dependencies. A map is complete
when it holds every dependency it should and names every peer it should.
--absent: also no agent may hold CLIENT's dependency of TYPE on SERVER
(after a drop); --gone: no agent may name HOST as a peer, hold a dependency
of HOST's but a TCP session that a live agent serves, or keep HOST as a node
of its graph with no dependency at all (after a kill).
--skip: HOST is not asked (its agent is known to be down). Exit status 0
when every map asked is complete and every --absent and --gone holds, 1
otherwise, 2 on usage errors.
"""
import argparse
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
USER = "fleetReport"


def short(name, by_address):
    """A host name as the truth spells it: no domain, addresses mapped."""
    if name in by_address:
        return by_address[name]
    return name.split(".", 1)[0] if name and not name[0].isdigit() else name


def rows_of(reply):
    """{key: {object: value}} of one JSON reply line."""
    rows = {}
    for v in reply.get("variables", []):
        rows.setdefault(v.get("key", ""), {})[v.get("object")] = v.get("value")
    return rows


def ask(run, build, prefix, host, address, graphs):
    """Host's dependency and peer tables and counts, or an error text."""
    # A directory per agent: its TLS session is kept apart from the others'.
    client = os.path.join(run, "client", host)
    cmd = ["ip", "netns", "exec", f"{prefix}-{host}", os.path.join(build, "bin", "qelquery"), "-json",
           f"{address},5270", USER]
    out = {}
    for files in (["fleet-dependencies.xml", "fleet-peers.xml"], ["fleet-counts.xml"]):
        try:
            p = subprocess.run(cmd + [os.path.join(HERE, f) for f in files], cwd=client,
                               capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            return None, "no answer within 60 s"
        replies = []
        for line in p.stdout.splitlines():
            try:
                replies.append(json.loads(line))
            except ValueError:
                pass
        # An empty table answers noErrorMoreData.
        if len(replies) != len(files) or any(not r.get("errorStatus", "").startswith("noError")
                                             for r in replies):
            why = (p.stderr.strip().splitlines() or ["no reply"])[-1]
            return None, f"qelquery exit {p.returncode}: {why}"
        for f, r in zip(files, replies):
            out[f] = r
    if graphs:
        path = os.path.join(client, "graph.graphml")
        g = subprocess.run(["ip", "netns", "exec", f"{prefix}-{host}", os.path.join(build, "bin", "qelgetsubgraph"),
                            f"{address},5270", USER, path], cwd=client, capture_output=True, text=True,
                           timeout=120)
        if g.returncode != 0:
            return None, f"qelgetsubgraph exit {g.returncode}: {(g.stderr.strip().splitlines() or [''])[-1]}"
        out["graph"] = path
    return out, None


def graph_of(path):
    """The nodes and the (client, server, type) of every edge of a GraphML file."""
    nodes, edges = [], []
    for _, e in ET.iterparse(path):
        tag = e.tag.rsplit("}", 1)[-1]
        if tag == "node":
            nodes.append(e.get("id", ""))
        elif tag == "edge":
            try:
                edges.append((e.get("client", ""), e.get("server", ""), int(e.get("type", "0"))))
            except ValueError:
                pass
            e.clear()
    return nodes, edges


def copy_private(src, dst):
    with open(src, "rb") as s:
        data = s.read()
    fd = os.open(dst + ".new", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as d:
        d.write(data)
    os.replace(dst + ".new", dst)


def enrol(a, agents):
    """The client's key and certificate, made once (by one query, before
    any run in parallel could make several) and copied to each agent's
    directory."""
    base = os.path.join(a.run, "client")
    bin_dir = os.path.join(a.build, "bin")
    for prog, args in (("qelquery", [os.path.join(HERE, "fleet-counts.xml")]),
                       ("qelgetsubgraph", [os.path.join(base, "enrol.graphml")])):
        for h in agents:
            if os.path.exists(os.path.join(base, f"{prog}.pem")):
                break
            subprocess.run(["ip", "netns", "exec", f"{a.prefix}-{h['name']}", os.path.join(bin_dir, prog),
                            f"{h['addresses'][0]},5270", USER, *args], cwd=base, capture_output=True, timeout=60)
    for h in agents:
        d = os.path.join(base, h["name"])
        os.makedirs(d, exist_ok=True)
        for f in ("kestrova.pem", "qelquery.pem", "qelquery.csr", "qelgetsubgraph.pem", "qelgetsubgraph.csr"):
            if os.path.exists(os.path.join(base, f)) and not os.path.exists(os.path.join(d, f)):
                copy_private(os.path.join(base, f), os.path.join(d, f))


def main(argv):
    ap = argparse.ArgumentParser(add_help=True, usage=__doc__.strip().splitlines()[3])
    ap.add_argument("--json")
    ap.add_argument("--quiet", action="store_true")
    ap.add_argument("--absent", nargs=3, action="append", default=[])
    ap.add_argument("--gone", action="append", default=[])
    ap.add_argument("--skip", action="append", default=[])
    ap.add_argument("--no-graphs", action="store_true")
    ap.add_argument("run")
    ap.add_argument("build")
    ap.add_argument("prefix")
    a = ap.parse_args(argv[1:])
    a.run, a.build = os.path.abspath(a.run), os.path.abspath(a.build)

    with open(os.path.join(a.run, "truth.json")) as f:
        truth = json.load(f)
    os.makedirs(os.path.join(a.run, "client"), exist_ok=True)
    ca = os.path.join(a.run, "client", "kestrova.pem")
    if not os.path.exists(ca):
        copy_private(os.path.join(a.run, truth["hosts"][0]["name"], "home", "kestrova.pem"), ca)

    hosts = {h["name"]: h for h in truth["hosts"]}
    by_address = {ad: h["name"] for h in truth["hosts"] for ad in h["addresses"]}
    deps = {(d["client"], d["server"], d["type"]) for d in truth["dependencies"]}
    agents = [h for h in truth["hosts"] if h["agent"] and h["name"] not in a.skip]
    enrol(a, agents)

    def expected(name):
        own = {d for d in deps if d[0] == name}
        own |= {(c, s, t) for (c, s, t) in deps
                if s == name and any(x["client"] == c and x["server"] == s and x["type"] == t
                                     and x["source"] == "tcp" for x in truth["dependencies"])}
        uses = {(s, t) for (c, s, t) in deps if c == name}
        # A host whose agent is gone tells nobody of its dependencies.
        shared = {(c, s, t) for (c, s, t) in deps
                  if c != name and s != name and (s, t) in uses and c not in a.gone}
        return own, shared

    with ThreadPoolExecutor(max_workers=8) as pool:
        answers = dict(zip([h["name"] for h in agents],
                           pool.map(lambda h: ask(a.run, a.build, a.prefix, h["name"], h["addresses"][0],
                                                       not a.no_graphs),
                                    agents)))

    tcp = {(d["client"], d["server"], d["type"]) for d in truth["dependencies"] if d["source"] == "tcp"}
    served_by_live = {(c, s, t) for (c, s, t) in deps if (c, s, t) in tcp and s not in a.gone}
    per_type = {}
    per_host = {}
    failed = []
    absent_hits = {tuple([c, int(t), s]): [] for c, t, s in a.absent}
    gone_hits = {g: [] for g in a.gone}
    for name, (reply, err) in sorted(answers.items()):
        if err:
            failed.append(name)
            per_host[name] = {"error": err}
            continue
        def named(c, s, t):
            c, s = short(c, by_address), short(s, by_address)
            return (c if c not in ("localhost", "") else name, s if s not in ("localhost", "") else name, t)

        found = set()
        for row in rows_of(reply["fleet-dependencies.xml"]).values():
            try:
                t = int(row.get("dependType", "0"))
            except ValueError:
                continue
            found.add(named(row.get("dependClient", ""), row.get("dependServer", ""), t))
        graph, nodes = None, set()
        if "graph" in reply:
            node_list, edge_list = graph_of(reply["graph"])
            graph = {named(c, s, t) for (c, s, t) in edge_list}
            nodes = {short(v, by_address) for v in node_list}
        peers = set()
        for row in rows_of(reply["fleet-peers.xml"]).values():
            peers.add(short(row.get("peerName", ""), by_address))
        counts = {}
        for v in reply["fleet-counts.xml"].get("variables", []):
            try:
                counts[v["object"]] = int(v.get("value", "0"))
            except (ValueError, KeyError):
                pass
        own, shared = expected(name)
        want_peers = {c for (c, s, t) in shared}
        # The table holds the host's own dependencies, the graph those and
        # what its peers told it.
        missing = sorted((own - found) | ((shared - graph) if graph is not None else set()))
        held = found | (graph or set())
        extra = sorted(held - deps)
        for (c, s, t) in own | (shared if graph is not None else set()):
            e = per_type.setdefault(t, {"expected": 0, "found": 0, "missing": 0, "unexpected": 0})
            e["expected"] += 1
            if (c, s, t) in held:
                e["found"] += 1
            else:
                e["missing"] += 1
        for (c, s, t) in extra:
            per_type.setdefault(t, {"expected": 0, "found": 0, "missing": 0, "unexpected": 0})["unexpected"] += 1
        for key in absent_hits:
            if (key[0], key[2], key[1]) in held:
                absent_hits[key].append(name)
        for g in gone_hits:
            # A host whose agent is gone stays only through the sessions
            # it still holds to a live agent's services, which that agent
            # sees and tells.
            stale = [e for e in held if e[0] == g and e not in served_by_live]
            touching = [e for e in held if g in (e[0], e[1])]
            if g in peers or stale or (g in nodes and not touching):
                gone_hits[g].append(name)
        per_host[name] = {
            "dependencies": len(found), "own": len(own), "ownMissing": len(own - found), "edges": len(graph) if graph is not None else None,
            "expected": len(own | shared), "missing": [list(m) for m in missing],
            "unexpected": [list(x) for x in extra], "peers": sorted(peers),
            "missingPeers": sorted(want_peers - peers), "extraPeers": sorted(peers - want_peers - set(a.gone)),
            "numGraphNodes": counts.get("numGraphNodes"), "numGraphEdges": counts.get("numGraphEdges"),
            "inSessions": counts.get("inSessions"), "outSessions": counts.get("outSessions"),
            "inBytes": counts.get("inBytes"), "outBytes": counts.get("outBytes"),
            "complete": not missing and not (want_peers - peers),
        }

    complete = [n for n, h in per_host.items() if h.get("complete")]
    ok = (len(complete) == len(agents) and all(not v for v in absent_hits.values())
          and all(not v for v in gone_hits.values()))
    summary = {"agents": len(agents), "answered": len(agents) - len(failed), "complete": len(complete),
               "types": {str(t): v for t, v in sorted(per_type.items())}, "hosts": per_host,
               "absent": {f"{k[0]} {k[1]} {k[2]}": v for k, v in absent_hits.items()},
               "gone": gone_hits, "ok": ok}
    if a.json:
        with open(a.json + ".new", "w") as f:
            json.dump(summary, f, indent=1)
        os.replace(a.json + ".new", a.json)
    if not a.quiet:
        print(f"fleet report: {len(agents)} agents asked, {len(agents) - len(failed)} answered, "
              f"{len(complete)} maps complete")
        print("  type  expected     found   missing  unexpected")
        for t, v in sorted(per_type.items()):
            print(f"  {t:4d}  {v['expected']:8d}  {v['found']:8d}  {v['missing']:8d}  {v['unexpected']:10d}")
        print("  host       table   own  graph  want  peers  want  nodes  edges  map")
        for name, h in sorted(per_host.items()):
            if "error" in h:
                print(f"  {name:10s}  no answer: {h['error']}")
                continue
            want_p = len(h["peers"]) - len(h["extraPeers"]) + len(h["missingPeers"])
            state = "complete" if h["complete"] else "incomplete"
            print(f"  {name:10s} {h['dependencies']:5d} {h['own']:5d} {h['edges'] or 0:6d} {h['expected']:5d}"
                  f" {len(h['peers']):6d} {want_p:5d} {h['numGraphNodes'] or 0:6d} {h['numGraphEdges'] or 0:6d}  {state}")
            if not h["complete"]:
                for m in h["missing"][:5]:
                    print(f"      missing {m[0]} -> {m[1]} type {m[2]}")
                if len(h["missing"]) > 5:
                    print(f"      ... and {len(h['missing']) - 5} more")
                if h["missingPeers"]:
                    print(f"      missing peers: {' '.join(h['missingPeers'][:8])}")
        for k, v in summary["absent"].items():
            print(f"  dropped {k}: {'still held by ' + ' '.join(v) if v else 'held by no agent'}")
        for k, v in gone_hits.items():
            print(f"  killed {k}: {'still a peer or in the graph of ' + ' '.join(v) if v else 'in no peer table or graph'}")
        print(f"fleet report: {'complete' if ok else 'not complete'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
