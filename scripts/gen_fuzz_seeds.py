#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets to fuzz/corpus/<target>/.

The seeds come from the protocol's known-answer vectors (docs/protocol.md,
Appendix A) and from the documents the test suites read. They are small on
purpose: the fuzzer grows its own corpus from them (in build-fuzz/corpus).

    scripts/gen_fuzz_seeds.py
"""

import hashlib
import pathlib
import re
import shutil
import struct

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"


def vectors():
    doc = (ROOT / "docs" / "protocol.md").read_text()
    appendix = doc[doc.index("## Appendix A. Test vectors"):]
    return {m[1]: m[2] for m in re.finditer(r"^([a-z0-9_.]+) = (-?[0-9a-f]+)$", appendix, re.M)}


def write(target, seeds):
    out = CORPUS / target
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    for name, data in seeds.items():
        if isinstance(data, str):
            data = data.encode()
        # Named after the content as well, so that a new seed never overwrites another.
        (out / f"{name}-{hashlib.sha1(data).hexdigest()[:8]}").write_bytes(data)


def p2p_messages(v):
    # Byte 0: bit 0 parses with the target's fixed key, bit 1 also builds armed messages.
    seeds = {}
    for name in ["app_unarmed", "hello_super_peer_unarmed", "short_unarmed"]:
        seeds[name] = bytes([0]) + bytes.fromhex(v[name])
    for name in ["app_armed", "hello_armed", "ack_armed", "short_armed"]:
        seeds[name] = bytes([1]) + bytes.fromhex(v[name])
    # An endpoint list on its own, for the armed builders.
    seeds["endpoints"] = bytes([3]) + bytes.fromhex(v["hello_super_peer_unarmed"])[79 + 8:]
    return seeds


def record(ctl0, ctl1, msg_type, data):
    return bytes([ctl0, ctl1, msg_type, len(data)]) + data


def p2p_on_packet(v):
    # Records: ctl0 (bit 0 armed, bit 1 TCP, bits 2-3 form), ctl1 (bits 0-1 sender,
    # bits 2-3 source, bit 6 fresh time), type, length, data. See the target.
    ACK, APP, HELLO, UNITE = 0, 1, 2, 3
    SEALED, SHORT = 2 << 2, 3 << 2
    DIRECT, RELAYED, FRESH = 1 << 2, 0, 0x40
    payload = bytes.fromhex(v["msg.payload"])
    hello = bytes(8) + bytes.fromhex(v["msg.short_id"])
    ack = bytes(8)
    sp = 3
    # UNITE: some node's key, then 127.0.0.1:40001 and [::1]:40002.
    unite = (bytes.fromhex(v["public_key_b"]) + bytes([2, 4, 127, 0, 0, 1]) + struct.pack(">H", 40001) +
             bytes([6]) + bytes(15) + bytes([1]) + struct.pack(">H", 40002))
    seeds = {}
    for armed in (0, 1):
        tag = "armed" if armed else "unarmed"
        seeds[f"app-direct-{tag}"] = record(armed | SEALED, DIRECT, APP, payload)
        seeds[f"app-relayed-{tag}"] = record(armed | SEALED, RELAYED, APP, payload)
        seeds[f"hello-then-ack-{tag}"] = (record(armed | SEALED, DIRECT | FRESH, HELLO, hello) +
                                          record(armed | SEALED, DIRECT | FRESH, ACK, ack))
        seeds[f"hello-relayed-tcp-{tag}"] = record(armed | 2 | SEALED, RELAYED | FRESH, HELLO, hello)
        seeds[f"super-peer-ack-{tag}"] = record(armed | SEALED, sp | RELAYED | FRESH, ACK, ack)
        seeds[f"unite-{tag}"] = record(armed | SEALED, sp | RELAYED, UNITE, unite)
        seeds[f"short-{tag}"] = record(armed | SHORT, DIRECT, APP, payload)
    # The vectors as raw datagrams (another node's messages: refused early).
    for name in ["app_armed", "hello_armed", "short_armed"]:
        data = bytes.fromhex(v[name])[:255]
        seeds[f"raw-{name}"] = record(1, DIRECT, 0, data)
    return seeds


NETWORK_TOML = """id = "67E55044-10B1-426F-9247-BB680E5FE0C8"
network = "10.0.0.7/24"
name = "Office"

[[node]]
pk = "{k1}"
ip = "10.0.0.1"
hostname = "Web-01"
groups = ["b", "a", "a"]

[[route]]
dest = "10.1.0.0/16"
gw = "{k1}"
groups = ["b"]

[[policy]]
source_groups = ["a"]
destination_groups = ["ALL"]
"""

NETWORK_JSON = """{{
  "id": "67E55044-10B1-426F-9247-BB680E5FE0C8", "network": "10.0.0.7/24", "name": "Office",
  "node": [{{"pk": "{k1}", "ip": "10.0.0.1", "hostname": "Web-01", "groups": ["b", "a", "a"]}}],
  "route": [{{"dest": "10.1.0.0/16", "gw": "{k1}", "groups": ["b"]}}],
  "policy": [{{"source_groups": ["a"], "destination_groups": ["ALL"]}}]
}}
"""

MULTI_TOML = """version = 3

[[network]]
network = "10.1.0.0/24"
name = "second"
[[network.node]]
pk = "{k1}"
ip = "10.1.0.1"
hostname = "a"

[[network]]
network = "10.0.0.0/24"
[[network.route]]
dest = "10.9.0.0/16"
gw = "{k2}"
"""


def network_config():
    keys = {"k1": f"{0x1001:064x}", "k2": f"{0x1002:064x}"}
    return {
        "single-toml": NETWORK_TOML.format(**keys),
        "single-json": NETWORK_JSON.format(**keys),
        "multi-toml": MULTI_TOML.format(**keys),
        "minimal": 'network = "10.0.0.0/24"\n',
        "strings-and-comments": 'network = "10.0.0.0/24" # caf\u00e9\nname = """\nmulti \\\n  line\n"""\n',
    }


AGENT_TOML = """mtu = 1200
super_peers = [
    "udp://sp.example:22527?publicKey={sp}&networkId=9",
]
update_check = false
auto_connect = true

[identity]
sk = "{sk}"
pow = 7

[[network]]
config_url = "file:///tmp/a.toml"
disabled = false

[[network]]
config_url = "https://b.example/net.toml"
disabled = true
name = "Bee \\"quoted\\"\\n"

[dns]
disabled = true

[controller]
url = "https://ctl.example/api"
shared_secret = "c2VjcmV0"
"""


def agent_config(v):
    sk = v["seed_a"]
    sp = v["public_key_b"]
    return {
        "full": AGENT_TOML.format(sk=sk, sp=sp),
        "identity-only": f'[identity]\nsk = "{sk}"\npow = {v["pow.6.nonce"]}\n',
        "guarded-character": "\u0299",
    }


def dns_name(text):
    out = b""
    for label in text.split(".") if text else []:
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def agent_dns():
    # Header: ID 0x4242, RD, then the four counts.
    def header(qd=1, an=0, ns=0, ar=0):
        return struct.pack(">HHHHHH", 0x4242, 0x0100, qd, an, ns, ar)

    question = dns_name("db.velarix.internal") + struct.pack(">HH", 1, 1)
    opt = b"\0" + struct.pack(">HHIH", 41, 1232, 0, 0)
    # An A record whose owner points back at the question's name.
    compressed = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 5, 4) + bytes([10, 20, 0, 7])
    return {
        "member-a": header() + question,
        "member-a-edns": header(ar=1) + question + opt,
        "compressed-record": header(an=1) + question + compressed,
        # The question's name is a pointer to itself.
        "pointer-loop": header() + b"\xc0\x0c" + struct.pack(">HH", 1, 1),
    }


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f">{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4(src, dst, proto, payload, df=False, more_fragments=False, offset=0, options=b""):
    header_len = 20 + len(options)
    flags = (0x4000 if df else 0) | (0x2000 if more_fragments else 0) | offset
    header = struct.pack(">BBHHHBBH4s4s", 0x40 | header_len // 4, 0, header_len + len(payload), 0x1234, flags,
                         64, proto, 0, bytes(src), bytes(dst)) + options
    header = header[:10] + struct.pack(">H", checksum(header)) + header[12:]
    return header + payload


def udp(sport, dport, data):
    return struct.pack(">HHHH", sport, dport, 8 + len(data), 0) + data


def agent_inbound():
    # Bytes 0-1 the MTU (big-endian), the rest the packet. The target's RX trie
    # holds 10.0.0.0/8 from 10.1.0.0/16, and 192.0.2.7 from anywhere.
    def seed(mtu, packet):
        return struct.pack(">H", mtu) + packet

    member, peer, host = (10, 1, 0, 5), (10, 0, 0, 7), (192, 0, 2, 7)
    echo = bytes([8, 0]) + struct.pack(">H", 0) + struct.pack(">HH", 1, 1) + b"ping"
    echo = echo[:2] + struct.pack(">H", checksum(echo)) + echo[4:]
    tcp_syn = struct.pack(">HHIIBBHHH", 40000, 443, 1, 0, 5 << 4, 0x02, 65535, 0, 0)
    big = udp(40000, 5000, bytes(972))
    return {
        "udp-lookup": seed(1073, ipv4(member, peer, 17, udp(40000, 5000, b"hello"))),
        "tcp-lookup": seed(1073, ipv4(member, peer, 6, tcp_syn)),
        "icmp-host-route": seed(1073, ipv4((198, 51, 100, 1), host, 1, echo)),
        "no-route": seed(1073, ipv4((172, 16, 0, 1), peer, 17, udp(1, 2, b"x"))),
        "control": seed(1073, ipv4(member, peer, 17, udp(40000, 5000, bytes.fromhex("1e3f5001") + bytes(8)))),
        "too-big-df": seed(576, ipv4(member, peer, 17, big, df=True)),
        "too-big-fragmentable": seed(576, ipv4(member, peer, 17, big)),
        "mtu-zero": seed(0, ipv4(member, peer, 17, udp(1, 2, b""), df=True)),
        "options": seed(1073, ipv4(member, peer, 17, udp(1, 2, b"opt"), options=bytes([1, 1, 1, 0]))),
        "fragment": seed(1073, ipv4(member, peer, 17, b"middle", more_fragments=True, offset=185)),
        "header-cut": seed(1073, ipv4(member, peer, 17, udp(1, 2, b""), options=bytes(8))[:24]),
        "ipv6": seed(1073, bytes([0x60]) + bytes(39)),
    }


CONTROLLER_TOML = """[[network]]
id = "6a3c2f1e-8d4b-4c5a-9e7f-0123456789ab"
name = "Office"
network = "10.0.0.0/24"

[[network.node]]
pk = "{k1}"
ip = "10.0.0.1"
hostname = "web"
groups = ["servers"]

[[network.node]]
pk = "{k2}"
ip = "10.0.0.2"
hostname = "laptop"
groups = ["staff", "servers"]

[[network.route]]
dest = "10.1.0.0/16"
gw = "{k1}"
groups = ["staff"]

[[network.policy]]
source_groups = ["staff"]
destination_groups = ["servers"]

[[network]]
id = "0f0e0d0c-0b0a-4908-8706-050403020100"
network = "10.9.0.0/16"

[[network.node]]
pk = "{k2}"
ip = "10.9.0.2"

[[network.policy]]
source_groups = ["ALL"]
destination_groups = ["ALL"]
"""


def controller_answer():
    keys = {"k1": f"{0x1001:064x}", "k2": f"{0x1002:064x}"}
    one = CONTROLLER_TOML.format(**keys)
    return {
        "two-networks": one,
        "no-network": "network = []\n",
        # Refused as a whole: a network without its id.
        "missing-id": 'version = 1\n[[network]]\nnetwork = "10.0.0.0/24"\n',
        # Not validated: two members on one address, a route through a stranger.
        "unvalidated": one.replace('"10.0.0.2"', '"10.0.0.1"').replace('gw = "' + keys["k1"], 'gw = "' + f"{7:064x}"),
    }


def main():
    v = vectors()
    write("fuzz_p2p_messages", p2p_messages(v))
    write("fuzz_p2p_on_packet", p2p_on_packet(v))
    write("fuzz_network_config", network_config())
    write("fuzz_agent_config", agent_config(v))
    write("fuzz_agent_dns", agent_dns())
    write("fuzz_agent_inbound", agent_inbound())
    write("fuzz_controller_answer", controller_answer())


if __name__ == "__main__":
    main()
