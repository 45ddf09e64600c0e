#!/usr/bin/env python3
"""Writes the example requests for the mib2 plug-in into examples/queries/."""
import os

NS = "http://qel.kestrova.org/xsd/qel-1.0"
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "queries")


def message(msg_id, msg_type, variables, table=None):
    lines = ['<?xml version="1.0" encoding=\'US-ASCII\' ?>',
             f'<qel xmlns="{NS}" message-id="{msg_id}">', f"<{msg_type}>",
             "<error-status>noError</error-status>", "<error-index>0</error-index>"]
    if table:
        lines += ["<tableInfo>", "<mib>mib2</mib>", f"<object>{table}</object>", "<key>*</key>",
                  "<max-rows>0</max-rows>", "</tableInfo>"]
    lines.append("<variableList>")
    for obj in variables:
        lines += ["<variable>", f"<varname><mib>mib2</mib><object>{obj}</object><key/></varname>",
                  '<varvalue vartype="nullSyntax"/>', "</variable>"]
    lines += ["</variableList>", f"</{msg_type}>", "</qel>"]
    return "\n".join(lines) + "\n"


SCALARS = {
    "mib2-ip.xml": ["pluginVersion", "ipForwarding", "ipDefaultTTL", "ipInReceives", "ipInHdrErrors",
                    "ipInAddrErrors", "ipForwDatagrams", "ipInUnknownProtos", "ipInDiscards",
                    "ipInDelivers", "ipOutRequests", "ipOutDiscards", "ipOutNoRoutes", "ipReasmTimeout",
                    "ipReasmReqds", "ipReasmOKs", "ipReasmFails", "ipFragOKs", "ipFragFails",
                    "ipFragCreates", "ipRoutingDiscards"],
    "mib2-icmp.xml": ["icmpInMsgs", "icmpInErrors", "icmpInDestUnreachs", "icmpInTimeExcds",
                      "icmpInParmProbs", "icmpInSrcQuenchs", "icmpInRedirects", "icmpInEchos",
                      "icmpInTimestamps", "icmpInTimestampReps", "icmpInAddrMasks",
                      "icmpInAddrMaskReps", "icmpOutMsgs", "icmpOutErrors", "icmpOutDestUnreachs",
                      "icmpOutTimeExcds", "icmpOutParmProbs", "icmpOutSrcQuenchs", "icmpOutRedirects",
                      "icmpOutEchos", "icmpOutEchoReps", "icmpOutTimestamps", "icmpOutTimestampReps",
                      "icmpOutAddrMasks", "icmpOutAddrMaskReps"],
    "mib2-tcp-udp.xml": ["udpInDatagrams", "udpNoPorts", "udpInErrors", "udpOutDatagrams",
                         "tcpRtoAlgorithm", "tcpRtoMin", "tcpRtoMax", "tcpMaxConn", "tcpActiveOpens",
                         "tcpPassiveOpens", "tcpAttemptFails", "tcpEstabResets", "tcpCurrEstab",
                         "tcpInSegs", "tcpOutSegs", "tcpRetransSegs", "tcpInErrs", "tcpOutRsts"],
}

TABLES = {
    "mib2-udp-table.xml": ("udpTable", ["udpLocalAddress", "udpLocalPort", "udpEndptState",
                                        "udpRemAddress", "udpRemPort"]),
    "mib2-tcp-table.xml": ("tcpConnTable", ["tcpConnState", "tcpConnLocalAddress", "tcpConnLocalPort",
                                            "tcpConnRemAddress", "tcpConnRemPort"]),
    "mib2-if-table.xml": ("ifTable", ["ifDescr", "ifType", "ifMtu", "ifSpeed", "ifPhysAddress",
                                      "ifAdminStatus", "ifOperStatus", "ifInOctets", "ifInUcastPkts",
                                      "ifInNucastPkts", "ifInDiscards", "ifInErrors",
                                      "ifInUnknownProtos", "ifOutOctets", "ifOutUcastPkts",
                                      "ifOutNUcastPkts", "ifOutDiscards", "ifOutErrors", "ifOutQLen",
                                      "ifIndex"]),
    "mib2-addr-table.xml": ("ipAddrTable", ["ipAdEntAddr", "ipAdEntIfname", "ipAdEntNetMask",
                                            "ipAdEntBcastAddr", "ipAdEntReasmMaxSize"]),
    "mib2-route-table.xml": ("ipRouteTable", ["ipRouteDest", "ipRouteIfname", "ipRouteMetric",
                                              "ipRouteNextHop", "ipRouteType", "ipRouteProto",
                                              "ipRouteAge", "ipRouteMask"]),
    "mib2-arp-table.xml": ("ipNetToMediaTable", ["ipNetToMediaIfname", "ipNetToMediaPhysAddress",
                                                 "ipNetToMediaNetAddress", "ipNetToMediaType"]),
}

msg_id = 100
for name, objs in SCALARS.items():
    msg_id += 1
    with open(os.path.join(OUT, name), "w") as f:
        f.write(message(msg_id, "GetRequest", objs))
for name, (table, cols) in TABLES.items():
    msg_id += 1
    with open(os.path.join(OUT, name), "w") as f:
        f.write(message(msg_id, "SelectTableRequest", cols, table))
