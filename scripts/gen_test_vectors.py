#!/usr/bin/env python3
"""Computes the known-answer vectors of the wire protocol (docs/protocol.md, Appendix A).

Nothing here uses the project's code: the byte layouts are written out from the
protocol description with `struct`, hashes come from Python's hashlib, the
X25519 key exchange is recomputed in pure Python (RFC 7748) and checked against
libsodium, and libsodium (called directly through ctypes) supplies Ed25519 key
derivation and XChaCha20-Poly1305.

    scripts/gen_test_vectors.py            print the appendix
    scripts/gen_test_vectors.py --update   rewrite the appendix in docs/protocol.md
"""

import ctypes
import ctypes.util
import hashlib
import pathlib
import struct
import sys

HEADING = "## Appendix A. Test vectors"

# --- libsodium through ctypes ----------------------------------------------------

_path = ctypes.util.find_library("sodium") or "libsodium.so.23"
sodium = ctypes.CDLL(_path)
if sodium.sodium_init() < 0:
    sys.exit("libsodium failed to initialise")
u8p = ctypes.c_char_p
ull = ctypes.c_ulonglong


def _buf(n):
    return ctypes.create_string_buffer(n)


def ed25519_seed_keypair(seed):
    pk, sk = _buf(32), _buf(64)
    assert sodium.crypto_sign_seed_keypair(pk, sk, u8p(seed)) == 0
    return pk.raw, sk.raw


def ed25519_pk_to_x25519(pk):
    out = _buf(32)
    assert sodium.crypto_sign_ed25519_pk_to_curve25519(out, u8p(pk)) == 0
    return out.raw


def ed25519_sk_to_x25519(sk64):
    out = _buf(32)
    assert sodium.crypto_sign_ed25519_sk_to_curve25519(out, u8p(sk64)) == 0
    return out.raw


def kx_client(client_pk, client_sk, server_pk):
    rx, tx = _buf(32), _buf(32)
    assert sodium.crypto_kx_client_session_keys(rx, tx, u8p(client_pk), u8p(client_sk), u8p(server_pk)) == 0
    return rx.raw, tx.raw


def kx_server(server_pk, server_sk, client_pk):
    rx, tx = _buf(32), _buf(32)
    assert sodium.crypto_kx_server_session_keys(rx, tx, u8p(server_pk), u8p(server_sk), u8p(client_pk)) == 0
    return rx.raw, tx.raw


def xchacha_seal(plain, ad, nonce, key):
    """Returns ciphertext and tag (detached)."""
    c, mac = _buf(max(len(plain), 1)), _buf(16)
    maclen = ull(0)
    rc = sodium.crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
        c, mac, ctypes.byref(maclen), u8p(plain), ull(len(plain)), u8p(ad), ull(len(ad)), None, u8p(nonce), u8p(key))
    assert rc == 0 and maclen.value == 16
    return c.raw[: len(plain)], mac.raw


# --- pure-Python cross-checks of the key derivation -----------------------------

P = 2**255 - 19


def x25519(k, u):
    """RFC 7748 scalar multiplication on Curve25519."""
    k = bytearray(k)
    k[0] &= 248
    k[31] &= 127
    k[31] |= 64
    k = int.from_bytes(k, "little")
    x1 = int.from_bytes(u, "little") & ((1 << 255) - 1)
    x2, z2, x3, z3, swap = 1, 0, x1, 1, 0
    for t in reversed(range(255)):
        bit = (k >> t) & 1
        swap ^= bit
        if swap:
            x2, x3, z2, z3 = x3, x2, z3, z2
        swap = bit
        a, b = (x2 + z2) % P, (x2 - z2) % P
        aa, bb = a * a % P, b * b % P
        e = (aa - bb) % P
        c, d = (x3 + z3) % P, (x3 - z3) % P
        da, cb = d * a % P, c * b % P
        x3 = (da + cb) ** 2 % P
        z3 = x1 * (da - cb) ** 2 % P
        x2 = aa * bb % P
        z2 = e * (aa + 121665 * e) % P
    if swap:
        x2, x3, z2, z3 = x3, x2, z3, z2
    return (x2 * pow(z2, P - 2, P) % P).to_bytes(32, "little")


def edwards_to_montgomery(pk):
    y = int.from_bytes(pk, "little") & ((1 << 255) - 1)
    return ((1 + y) * pow(1 - y, P - 2, P) % P).to_bytes(32, "little")


def seed_to_x25519_sk(seed):
    h = bytearray(hashlib.sha512(seed).digest()[:32])
    h[0] &= 248
    h[31] &= 127
    h[31] |= 64
    return bytes(h)


# --- the protocol, written out ----------------------------------------------------

MAGIC = bytes([0x1E, 0x3F, 0x50, 0x01])
VERSION = 1
FLAG_ARMED = 0x01
ACK, APP, HELLO, UNITE = 0, 1, 2, 3


def pow_hash(pk, nonce):
    return hashlib.sha256(pk + struct.pack(">i", nonce)).digest()


def leading_zero_bits(h):
    n = 0
    for b in h:
        if b == 0:
            n += 8
            continue
        return n + 8 - b.bit_length()
    return n


def long_header(msg_type, armed, network_id, recipient, sender, pow_nonce):
    return (MAGIC + bytes([VERSION, FLAG_ARMED if armed else 0]) + struct.pack(">I", network_id) + recipient +
            sender + struct.pack(">i", pow_nonce) + bytes([msg_type]))


def arm(prefix, body, key, nonce):
    ct, tag = xchacha_seal(body, prefix, nonce, key)
    return prefix + nonce + ct + tag


def nonce_of(time_us, stream8, counter):
    # time | stream | counter, each 64 bits big-endian
    return struct.pack(">Q", time_us) + stream8 + struct.pack(">Q", counter)


def endpoint(family, addr, port):
    return bytes([family]) + addr + struct.pack(">H", port)


# --- the vectors --------------------------------------------------------------------

def compute():
    v = []  # (name, value) in order; values are bytes (written in hex) or ints (decimal)
    notes = {}

    seed_a = bytes(range(0, 32))
    seed_b = bytes(range(32, 64))
    pk_a, sk64_a = ed25519_seed_keypair(seed_a)
    pk_b, sk64_b = ed25519_seed_keypair(seed_b)
    v += [("seed_a", seed_a), ("public_key_a", pk_a), ("seed_b", seed_b), ("public_key_b", pk_b)]

    # Proof of work on key A.
    def search(pred, start=0):
        n = start
        while not pred(n):
            n += 1
        return n

    strong = search(lambda n: leading_zero_bits(pow_hash(pk_a, n)) >= 14)
    odd = search(lambda n: leading_zero_bits(pow_hash(pk_a, n)) == 9)
    # The strong nonce must tell the byte orders apart.
    le = hashlib.sha256(pk_a + struct.pack("<i", strong)).digest()
    assert leading_zero_bits(le) != leading_zero_bits(pow_hash(pk_a, strong))
    pows = [("0", 0), ("1", 1), ("2", 0x01020304), ("3", -1), ("4", -2**31), ("5", odd), ("6", strong)]
    for tag, n in pows:
        h = pow_hash(pk_a, n)
        v += [(f"pow.{tag}.nonce", n), (f"pow.{tag}.hash", h), (f"pow.{tag}.difficulty", leading_zero_bits(h))]
    notes["strong"] = strong

    # Session keys.
    xpk_a, xpk_b = ed25519_pk_to_x25519(pk_a), ed25519_pk_to_x25519(pk_b)
    xsk_a, xsk_b = ed25519_sk_to_x25519(sk64_a), ed25519_sk_to_x25519(sk64_b)
    assert xpk_a == edwards_to_montgomery(pk_a) and xpk_b == edwards_to_montgomery(pk_b)
    assert xsk_a == seed_to_x25519_sk(seed_a) and xsk_b == seed_to_x25519_sk(seed_b)
    assert x25519(xsk_a, (9).to_bytes(32, "little")) == xpk_a
    shared = x25519(xsk_a, xpk_b)
    assert shared == x25519(xsk_b, xpk_a)
    a_is_client = xpk_a <= xpk_b
    client_pk, client_sk, server_pk, server_sk = (
        (xpk_a, xsk_a, xpk_b, xsk_b) if a_is_client else (xpk_b, xsk_b, xpk_a, xsk_a))
    c_rx, c_tx = kx_client(client_pk, client_sk, server_pk)
    s_rx, s_tx = kx_server(server_pk, server_sk, client_pk)
    assert c_tx == s_rx and c_rx == s_tx and c_tx != c_rx
    digest = hashlib.blake2b(shared + client_pk + server_pk, digest_size=64).digest()
    assert digest[:32] == c_rx and digest[32:] == c_tx
    session = c_tx
    v += [("x25519_public_key_a", xpk_a), ("x25519_secret_key_a", xsk_a), ("x25519_public_key_b", xpk_b),
          ("x25519_secret_key_b", xsk_b), ("x25519_shared_secret", shared),
          ("kx_client_is_a", 1 if a_is_client else 0), ("session_key", session),
          ("server_to_client_key", c_rx)]

    # Messages from A to B.
    network_id = 0x12345678
    pow_a = strong
    stream = bytes(range(0xA8, 0xB0))
    time_us = 1_700_000_000_123_456
    short_id = 0x0A0B0C0D
    payload = b"velarix test payload"
    v += [("msg.network_id", struct.pack(">I", network_id)), ("msg.sender", pk_a), ("msg.recipient", pk_b),
          ("msg.pow", pow_a), ("msg.nonce_stream", stream), ("msg.time", struct.pack(">Q", time_us)),
          ("msg.short_id", struct.pack(">I", short_id)), ("msg.payload", payload)]

    app_header = long_header(APP, False, network_id, pk_b, pk_a, pow_a)
    v += [("app_unarmed", app_header + payload)]

    n1 = nonce_of(time_us, stream, 1)
    v += [("app_armed.nonce", n1),
          ("app_armed", arm(long_header(APP, True, network_id, pk_b, pk_a, pow_a), payload, session, n1))]

    n2 = nonce_of(time_us, stream, 2)
    hello_body = struct.pack(">QI", time_us, short_id)
    v += [("hello_armed.nonce", n2),
          ("hello_armed", arm(long_header(HELLO, True, network_id, pk_b, pk_a, pow_a), hello_body, session, n2))]

    n3 = nonce_of(time_us, stream, 3)
    v += [("ack_armed.nonce", n3),
          ("ack_armed", arm(long_header(ACK, True, network_id, pk_b, pk_a, pow_a), struct.pack(">Q", time_us),
                            session, n3))]

    n4 = nonce_of(time_us, stream, 0x0102030405060708)
    sid = struct.pack(">I", short_id)
    v += [("short_armed.nonce", n4), ("short_armed", arm(sid, payload, session, n4)),
          ("short_unarmed", sid + payload)]

    eps = bytes([2]) + endpoint(4, bytes([198, 18, 0, 1]), 51820) + endpoint(
        6, bytes.fromhex("20010db8000000000000000000000001"), 443)
    v += [("hello_super_peer_unarmed",
           long_header(HELLO, False, network_id, pk_b, pk_a, pow_a) + struct.pack(">Q", time_us) + eps)]
    return v, notes


def render(v, notes):
    vals = dict(v)

    def block(names):
        lines = []
        for name in names:
            val = vals[name]
            lines.append(f"{name} = {val}" if isinstance(val, int) else f"{name} = {val.hex()}")
        return "```\n" + "\n".join(lines) + "\n```\n"

    pow_names = [n for n, _ in v if n.startswith("pow.")]
    out = f"""{HEADING}

These values were computed once by an implementation independent of this code
base, `scripts/gen_test_vectors.py`: the byte layouts are written out from this
page with Python's `struct`, SHA-256, SHA-512 and BLAKE2b come from Python's
`hashlib`, X25519 is recomputed in pure Python (RFC 7748) and checked against
libsodium, and libsodium, called directly through `ctypes`, supplies Ed25519 key
derivation, the key-exchange functions and XChaCha20-Poly1305. Run the script to
compute them again (`--update` rewrites this appendix). The test suite
(`tests/p2p/wire_vectors_test.cpp`) reads the blocks below and checks the code
against every value.

Each line is `name = value`: hexadecimal bytes, or a decimal number for nonces
and difficulties.

### A.1 Identities

Two Ed25519 seeds and their public keys.

{block(["seed_a", "public_key_a", "seed_b", "public_key_b"])}
### A.2 Proof of work

Key A with several nonces: the SHA-256 of the 32 key bytes followed by the nonce
as 4 bytes big-endian, and its difficulty (leading zero bits). Nonce
{notes["strong"]} (`pow.6`) is the first with a difficulty of 14 or more; written
little-endian it gives another hash and another difficulty. `pow.5` is the first
nonce with a difficulty of exactly 9, which ends inside a byte.

{block(pow_names)}
### A.3 Session key

X25519 forms of both keys, the X25519 shared secret, which side takes the
key-exchange client role (`kx_client_is_a`: 1 when A, the side with the smaller
X25519 public key, is the client, 0 when B is), and the session key both
sides use: the client-to-server key. `server_to_client_key` is the other key of
the exchange, which is never used.

{block(["x25519_public_key_a", "x25519_secret_key_a", "x25519_public_key_b", "x25519_secret_key_b",
        "x25519_shared_secret", "kx_client_is_a", "session_key", "server_to_client_key"])}
### A.4 Messages

All from A to B: network id, sender, recipient, sender's proof of work, the
sending thread's nonce stream, HELLO time (and the ACK's echo of it; also the
time of every nonce below), B's short
id as A's tx short id, and the application payload (ASCII "velarix test
payload").

{block(["msg.network_id", "msg.sender", "msg.recipient", "msg.pow", "msg.nonce_stream", "msg.time",
        "msg.short_id", "msg.payload"])}
An unarmed APP (long header and payload), then an armed APP, HELLO to a node
peer and ACK, each with its nonce (time, stream and counter 1, 2 and 3), sealed with
the session key of A.3:

{block(["app_unarmed", "app_armed.nonce", "app_armed", "hello_armed.nonce", "hello_armed", "ack_armed.nonce",
        "ack_armed"])}
Short-header messages with B's short id, armed (counter 0x0102030405060708) and
unarmed:

{block(["short_armed.nonce", "short_armed", "short_unarmed"])}
An unarmed HELLO to a super peer with two endpoints, 198.18.0.1 port 51820 and
2001:db8::1 port 443:

{block(["hello_super_peer_unarmed"])}"""
    return out


def main():
    v, notes = compute()
    text = render(v, notes)
    if len(sys.argv) > 1 and sys.argv[1] == "--update":
        doc = pathlib.Path(__file__).resolve().parent.parent / "docs" / "protocol.md"
        old = doc.read_text()
        at = old.find(HEADING)
        base = old if at < 0 else old[:at]
        doc.write_text(base.rstrip("\n") + "\n\n" + text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
