#!/usr/bin/python3
"""Reads a private-conversation backup with nothing but docs/private-backup.md and libsodium
(through PyNaCl), to show that the document is enough: a second reader, written from the
document alone, must agree with the program on the committed backup file."""

import json
import struct
import sys
import unicodedata

import nacl.bindings as sodium

HEADER = 67


def read_backup(data: bytes, passphrase: str) -> dict:
    if len(data) < HEADER + 16 or data[:16] != b"KestruneAIBackup":
        raise ValueError("not a backup")
    version, algorithm, opslimit, memory_kib = struct.unpack_from("<HBII", data, 16)
    if version != 1 or algorithm != 2:
        raise ValueError(f"version {version}, algorithm {algorithm}")
    salt = data[27:43]
    nonce = data[43:67]
    key = sodium.crypto_pwhash_alg(
        32,
        unicodedata.normalize("NFC", passphrase).encode("utf-8"),
        salt,
        opslimit,
        memory_kib * 1024,
        sodium.crypto_pwhash_ALG_ARGON2ID13,
    )
    # The ciphertext and its tag follow the header, as the combined form expects them.
    payload = sodium.crypto_aead_xchacha20poly1305_ietf_decrypt(
        data[HEADER:], data[:HEADER], nonce, key
    )
    return json.loads(payload.decode("utf-8"))


def main() -> int:
    path, passphrase = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        data = f.read()
    content = read_backup(data, passphrase)
    expected = {
        "format": "kestrune-private-backup",
        "account_id": "u-fixture",
        "username": "mei",
        "created_at": 1796000000,
        "program_version": "0.1.0",
    }
    for key, value in expected.items():
        if content.get(key) != value:
            print(f"{key}: {content.get(key)!r}, expected {value!r}")
            return 1
    titles = [thread["title"] for thread in content["threads"]]
    if titles != ["旅行计划 🏔️", "مرحبا שלום"]:
        print(f"titles: {titles!r}")
        return 1
    try:
        read_backup(data, passphrase + "x")
    except Exception:  # the wrong passphrase must not open it
        print("read as documented")
        return 0
    print("a wrong passphrase opened the backup")
    return 1


if __name__ == "__main__":
    sys.exit(main())
