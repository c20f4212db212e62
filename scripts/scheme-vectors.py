#!/usr/bin/env python3
"""Makes the password-scheme test vectors again, from programs that are not
ours: Dovecot's doveadm (dovecot-core), mkpasswd (whois), the argon2 command
(argon2) and Python's hashlib. scripts/deps.sh installs all three packages.

    scripts/scheme-vectors.py [OUTPUT]     (default tests/schemes/vectors.txt)

Each line: how the value was made, the scheme a value without a {SCHEME}
prefix is read in ("-" for prefixed values), the password and the stored
value, separated by tabs. Password and value write a backslash as \\\\ and
every byte outside printable ASCII as \\xNN.
"""
import base64
import hashlib
import os
import subprocess
import sys

PASSWORDS = [
    b"secret",
    b"pa ss with blanks",
    b"it's \"quoted\"",
    b"back\\slash\\\\",
    b"caf\xe9 \xa3 8-bit",
    "pässwörd ünïcødé €".encode(),
    b"Correct horse battery staple! " * 3,  # 90 bytes: bcrypt reads 72
]
# Slow methods (Argon2 at Dovecot's costs, scrypt, SunMD5) take two passwords only.
FEW_PASSWORDS = [PASSWORDS[1], PASSWORDS[5]]
SLOW_MKPASSWD = ["scrypt", "sunmd5"]

DOVEADM = ["SHA512-CRYPT", "SHA256-CRYPT", "BLF-CRYPT", "MD5-CRYPT", "DES-CRYPT", "CRYPT",
           "PBKDF2", "SHA", "SHA1", "SHA256", "SHA512", "SSHA", "SSHA256", "SSHA512", "PLAIN",
           "CLEAR", "PLAIN-MD5", "LDAP-MD5", "SMD5", "SHA256.HEX", "SSHA.HEX", "SHA512.B64",
           "PLAIN.B64", "PLAIN.HEX"]
MKPASSWD = [["yescrypt"], ["gost-yescrypt"], ["scrypt"], ["bcrypt"], ["bcrypt-a"],
            ["sha512crypt"], ["sha512crypt", "-R", "1000"], ["sha256crypt"], ["md5crypt"],
            ["descrypt"], ["sunmd5"], ["nt"]]
ARGON2 = [["-id", "-t", "1", "-k", "64", "-p", "1"], ["-i", "-t", "3", "-k", "64", "-p", "1"]]


def escape(data: bytes) -> str:
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


def run(argv, stdin=None) -> bytes:
    return subprocess.run(argv, input=stdin, check=True, capture_output=True).stdout.rstrip(b"\n")


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


def salt_text() -> str:
    return base64.b64encode(os.urandom(12), b"./").decode()


def main():
    out_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(__file__), "..", "tests", "schemes", "vectors.txt")
    rows = []

    def add(made_by, default, password, stored):
        rows.append("\t".join([made_by, default, escape(password), escape(stored)]))

    for scheme in DOVEADM + ["ARGON2ID", "ARGON2I"]:
        for pw in FEW_PASSWORDS if scheme.startswith("ARGON2") else PASSWORDS:
            add("doveadm -O pw -s %s -p PASSWORD" % scheme, "-", pw,
                run([b"doveadm", b"-O", b"pw", b"-s", scheme.encode(), b"-p", pw]))
    for method in MKPASSWD:
        for pw in FEW_PASSWORDS if method[0] in SLOW_MKPASSWD else PASSWORDS:
            add("printf PASSWORD | mkpasswd -s -m %s" % " ".join(method), "CRYPT", pw,
                run(["mkpasswd", "-s", "-m"] + method, pw))
    for options in ARGON2:
        default = "ARGON2ID" if options[0] == "-id" else "ARGON2I"
        for pw in PASSWORDS:
            add("printf PASSWORD | argon2 SALT %s -e" % " ".join(options), default, pw,
                run(["argon2", salt_text()] + options + ["-e"], pw))
    wide = ["-id", "-t", "2", "-k", "256", "-p", "4", "-l", "64"]
    add("printf PASSWORD | argon2 SALT %s -e" % " ".join(wide), "ARGON2ID", PASSWORDS[2],
        run(["argon2", salt_text()] + wide + ["-e"], PASSWORDS[2]))

    for pw in PASSWORDS:
        salt = os.urandom(8)
        add("python3 hashlib: {SHA}base64(sha1(PASSWORD))", "-", pw,
            ("{SHA}" + b64(hashlib.sha1(pw).digest())).encode())
        add("python3 hashlib: hex(sha256(PASSWORD)), read as SHA256", "SHA256", pw,
            hashlib.sha256(pw).hexdigest().encode())
        add("python3 hashlib: {SHA512.HEX}hex(sha512(PASSWORD))", "-", pw,
            ("{SHA512.HEX}" + hashlib.sha512(pw).hexdigest()).encode())
        add("python3 hashlib: {SSHA256}base64(sha256(PASSWORD+SALT)+SALT)", "-", pw,
            ("{SSHA256}" + b64(hashlib.sha256(pw + salt).digest() + salt)).encode())
        add("python3 hashlib: {SSHA512}base64(sha512(PASSWORD+SALT)+SALT)", "-", pw,
            ("{SSHA512}" + b64(hashlib.sha512(pw + salt).digest() + salt)).encode())
        add("python3 hashlib: {SMD5}base64(md5(PASSWORD+SALT)+SALT)", "-", pw,
            ("{SMD5}" + b64(hashlib.md5(pw + salt).digest() + salt)).encode())
        add("python3 hashlib: {PLAIN-MD5}hex(md5(PASSWORD))", "-", pw,
            ("{PLAIN-MD5}" + hashlib.md5(pw).hexdigest()).encode())
        text_salt = salt_text()[:16]
        add("python3 hashlib: {PBKDF2}$1$SALT$1000$hex(pbkdf2_hmac(sha1, PASSWORD, SALT, 1000))",
            "-", pw, ("{PBKDF2}$1$%s$1000$%s" % (text_salt, hashlib.pbkdf2_hmac(
                "sha1", pw, text_salt.encode(), 1000, 20).hex())).encode())

    with open(out_path, "w") as f:
        f.write("# Password-scheme test vectors, made by scripts/scheme-vectors.py; do not edit.\n"
                "# made by<TAB>scheme of an unprefixed value<TAB>password<TAB>stored value\n"
                "# (\\\\ is a backslash and \\xNN a byte outside printable ASCII)\n")
        f.write("\n".join(rows) + "\n")
    print("%d vectors written to %s" % (len(rows), out_path))


if __name__ == "__main__":
    main()
