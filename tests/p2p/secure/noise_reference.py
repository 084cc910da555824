#!/usr/bin/env python3
"""Known-answer values for handshake_test.cpp's KnownAnswer test.

Written from the Noise protocol framework document (revision 34, pattern NX) and p2p/PROTOCOL.md with
Python's hashlib/hmac and the cryptography package, independently of the C++ code, so the
test checks the handshake, certificate and datagram bytes against a second rendering of
the same documents. Run it to print the values; they are fixed inputs, so the output never
changes.
"""
import hashlib
import hmac
import struct

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives import serialization

RAW = serialization.Encoding.Raw, serialization.PublicFormat.Raw


def blake2b(data):
    return hashlib.blake2b(data, digest_size=64).digest()


def hkdf2(ck, ikm):
    temp = hmac.new(ck, ikm, hashlib.blake2b).digest()
    out1 = hmac.new(temp, b"\x01", hashlib.blake2b).digest()
    out2 = hmac.new(temp, out1 + b"\x02", hashlib.blake2b).digest()
    return out1, out2


def nonce(n):
    return b"\x00" * 4 + struct.pack("<Q", n)


class Symmetric:
    def __init__(self, name):
        self.h = name.ljust(64, b"\x00") if len(name) <= 64 else blake2b(name)
        self.ck = self.h
        self.k = None
        self.n = 0

    def mix_hash(self, data):
        self.h = blake2b(self.h + data)

    def mix_key(self, ikm):
        self.ck, temp = hkdf2(self.ck, ikm)
        self.k, self.n = temp[:32], 0

    def encrypt_and_hash(self, plain):
        if self.k is None:
            out = plain
        else:
            out = ChaCha20Poly1305(self.k).encrypt(nonce(self.n), plain, self.h)
            self.n += 1
        self.mix_hash(out)
        return out

    def split(self):
        a, b = hkdf2(self.ck, b"")
        return a[:32], b[:32]


def x25519(secret, public):
    return X25519PrivateKey.from_private_bytes(secret).exchange(
        X25519PublicKey.from_public_bytes(public))


def public(secret):
    return X25519PrivateKey.from_private_bytes(secret).public_key().public_bytes(*RAW)


DID = b"ZEVO-000001-ABCDE"
SESSION = 0x1122334455667788
SERVICE_SEED = bytes(range(1, 33))
DEVICE_STATIC = bytes([0x11] * 32)
VIEWER_E = bytes([0x22] * 32)
DEVICE_E = bytes([0x33] * 32)
NOT_BEFORE, NOT_AFTER = 1_799_996_400, 1_800_086_400

service = Ed25519PrivateKey.from_private_bytes(SERVICE_SEED)
service_pub = service.public_key().public_bytes(*RAW)
key_id = hashlib.blake2b(service_pub, digest_size=32).digest()[:8]
cert = (bytes([1, 0]) + DID.ljust(24, b"\x00") + public(DEVICE_STATIC) +
        struct.pack("<QQ", NOT_BEFORE, NOT_AFTER) + key_id)
cert += service.sign(b"zevo-p2p device certificate" + cert)
assert len(cert) == 146

prologue = b"zevo-p2p secure 1" + DID.ljust(24, b"\x00") + struct.pack("<Q", SESSION)
s = Symmetric(b"Noise_NX_25519_ChaChaPoly_BLAKE2b")
s.mix_hash(prologue)
hello = b"S\x11\x00\x00" + public(VIEWER_E)
s.mix_hash(public(VIEWER_E))
hello += s.encrypt_and_hash(bytes([0x01]) + bytes(213))
assert len(hello) == 250

reply = b"S\x12\x00\x00" + public(DEVICE_E)
s.mix_hash(public(DEVICE_E))
s.mix_key(x25519(DEVICE_E, public(VIEWER_E)))
reply += s.encrypt_and_hash(public(DEVICE_STATIC))
s.mix_key(x25519(DEVICE_STATIC, public(VIEWER_E)))
reply += s.encrypt_and_hash(bytes([0x01, 0, 0, 0]) + cert)
assert len(reply) == 250
k1, k2 = s.split()

# A DATA datagram viewer -> device, counter 1, epoch 0, and the next epoch's key.
header = b"S\x13\x00\x00" + struct.pack("<Q", 1)
datagram = header + ChaCha20Poly1305(k1).encrypt(nonce(1), b"hello", header)
next_key = hashlib.blake2b(b"zevo-p2p next epoch", digest_size=32, key=k1).digest()

for name, value in [("hello", hello), ("reply", reply), ("k1", k1), ("k2", k2),
                    ("hash", s.h), ("datagram", datagram), ("next_k1", next_key)]:
    print(name, value.hex())
