#!/usr/bin/env python3
"""Writes the seed corpora fuzz/corpus/<target>/ from certificates, messages
and PFX files that the openssl command makes on the spot (recipient key and
certificate: fuzz/data/).  Run again to refresh the seeds; the fuzzers need
nothing but what this leaves in the tree.  Seeds are kept small (a few KB).
"""
import base64
import os
import shutil
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
CORPUS = os.path.join(HERE, "corpus")
KEY = os.path.join(DATA, "recipient-key.pem")
CERT = os.path.join(DATA, "recipient-cert.pem")


def ossl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True,
                          capture_output=True).stdout


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def der_items(der):
    """(tag, whole, content) of each element of a DER SEQUENCE's content."""
    out, i = [], 0
    while i < len(der):
        tag, n = der[i], der[i + 1]
        hdr = 2
        if n & 0x80:
            k = n & 0x7F
            n = int.from_bytes(der[i + 2:i + 2 + k], "big")
            hdr = 2 + k
        out.append((tag, der[i:i + hdr + n], der[i + hdr:i + hdr + n]))
        i += hdr + n
    return out


def subject_of(cert_der):
    tbs = der_items(der_items(cert_der)[0][2])[0][2]
    items = der_items(tbs)
    if items[0][0] == 0xA0:
        items = items[1:]
    return items[4][1]  # serial, sigalg, issuer, validity, subject


def u16(n):
    return struct.pack("<H", n)


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    tmp = tempfile.mkdtemp()
    t = lambda name: os.path.join(tmp, name)
    cert_pem = open(CERT, "rb").read()
    cert_der = ossl("x509", "-in", CERT, "-outform", "DER")

    # Certificates: the recipient, one with a rich Chinese subject, key
    # usage and extensions, and an SM2 one.
    ossl("req", "-x509", "-key", KEY, "-out", t("rich.pem"), "-days", "3650", "-utf8",
         "-subj", "/C=CN/ST=\u5317\u4eac/L=Haidian/O=Org, Inc./OU=Unit+CN=\u5f20\u4e09/"
                  "emailAddress=a@b.cn/serialNumber=0042",
         "-addext", "keyUsage=critical,digitalSignature,keyEncipherment,decipherOnly",
         "-addext", "subjectAltName=email:x@y.cn",
         "-addext", "1.2.3.4.5=ASN1:UTF8String:private", "-set_serial", "0x80ff")
    rich_der = ossl("x509", "-in", t("rich.pem"), "-outform", "DER")
    ossl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:SM2", "-out", t("sm2.key"))
    ossl("req", "-x509", "-key", t("sm2.key"), "-sm3", "-out", t("sm2.pem"), "-days", "3650",
         "-subj", "/CN=sm2")
    sm2_der = ossl("x509", "-in", t("sm2.pem"), "-outform", "DER")

    # base64
    write("base64", "pem-body", base64.encodebytes(cert_der).replace(b"\n", b"\r\n"))
    write("base64", "short", b"QUJD")
    write("base64", "padded", b"QQ==")
    write("base64", "outside-alphabet", b"QU*D")
    write("base64", "blank-in-piece", b" " + base64.b64encode(bytes(range(96))))
    write("base64", "quoted", b"> " + base64.b64encode(b"mail quote") + b"\n>")

    # ini: buffer size byte, long-buffer flag, section, key, file content
    def ini(name, section, key, content, size=20):
        write("ini", name, bytes([size, 1]) + u16(len(section)) + section + u16(len(key)) +
              key + content)
    ini("p11", b"Device_1", b"DLLName",
        b"[DeviceCount]\r\nDeviceCount=2\r\n[Device_1]\r\nDLLName=libsofthsm2.so\r\n"
        b"[device_2]\r\n  dllname = \"with blank.so\" \r\n")
    ini("colon-comments", b"DeviceCount", b"DeviceCount",
        b"; comment\n#x=1\n[ DeviceCount ]\n[DeviceCount]\nDeviceCount:3\nDeviceCount=4\n"
        b"[Device_1]\nDLLName=a:b=c\n[Device_3]\nDLLName=c\n")
    ini("long-line", b"", b"k", b"k=" + b"v" * 600 + b"\n[x\n\t k=1\n\"\n", size=255)

    # cert: mode 0 = DER, mode 1 = the text itself
    write("cert", "der-rsa", b"\0" + cert_der)
    write("cert", "der-rich", b"\0" + rich_der)
    write("cert", "der-sm2", b"\0" + sm2_der)
    write("cert", "text-pem", b"\1" + cert_pem)
    write("cert", "text-bare-base64", b"\1" + base64.b64encode(rich_der))
    write("cert", "text-no-end", b"\1" + cert_pem.split(b"-----END")[0])

    # name: mode, cut (u16), DER Name or value bytes
    write("name", "rich", b"\0" + u16(60) + subject_of(rich_der))
    write("name", "plain", b"\0" + u16(1023) + subject_of(cert_der))
    write("name", "bmp-value", b"\3" + u16(3) + "\u5f20\u4e09".encode("utf-16-be"))
    write("name", "utf8-value", b"\1" + u16(5) + "a\u5f20,\"b\" ".encode("utf-8"))
    write("name", "octets-value", b"\x11" + u16(0) + b"\x00\x01\xff")

    # verify: mode 0 = DER wrapped into PEM, 1 = the text itself
    open(t("content"), "wb").write(b"signed content")
    for name, extra in (("attached", []), ("noattr", ["-noattr"])):
        der = ossl("smime", "-sign", "-binary", "-nodetach", "-in", t("content"), "-signer", CERT,
                   "-inkey", KEY, "-outform", "DER", "-md", "sha1", *extra)
        write("verify", name + "-der", b"\0" + der)
    pem = ossl("smime", "-sign", "-binary", "-nodetach", "-in", t("content"), "-signer", CERT,
               "-inkey", KEY, "-outform", "PEM")
    write("verify", "attached-pem", b"\1" + pem)
    der = ossl("smime", "-sign", "-binary", "-in", t("content"), "-signer", CERT, "-inkey", KEY,
               "-outform", "DER")
    write("verify", "detached-der", b"\0" + der)
    # OpenSSL 3.0 cannot sign PKCS#7 with SM2: a certificates-only message
    # carries the SM2 certificate instead.
    der = ossl("crl2pkcs7", "-nocrl", "-certfile", t("sm2.pem"), "-outform", "DER")
    write("verify", "sm2-certs-only-der", b"\0" + der)

    # envelope: mode 0 = DER in PEM, 1 = text, 2 = DER for the file reader
    open(t("plain"), "wb").write(b"secret text\0after the NUL" + b"x" * 100)
    der = ossl("smime", "-encrypt", "-binary", "-des3", "-in", t("plain"), "-outform", "DER",
               CERT)
    write("envelope", "des3-der", b"\0" + der)
    write("envelope", "des3-file-der", b"\2" + der)
    pem = ossl("smime", "-encrypt", "-binary", "-des3", "-in", t("plain"), "-outform", "PEM",
               CERT)
    write("envelope", "des3-pem", b"\1" + pem)
    ber = ossl("cms", "-encrypt", "-binary", "-stream", "-des3", "-in", t("plain"), "-outform",
               "DER", "-recip", CERT)
    write("envelope", "indefinite-ber", b"\2" + ber)
    write("envelope", "indefinite-ber-pem", b"\0" + ber)

    # rawverify: mode, data (u16 length), block (mode 0) or its Base64 (mode 1)
    data = b"raw signed text"
    sig = ossl("dgst", "-sha1", "-sign", KEY, data=data)
    block = sig.ljust(256, b"\0") + cert_pem
    write("rawverify", "block", b"\0" + u16(len(data)) + data + block)
    write("rawverify", "text", b"\1" + u16(len(data)) + data + base64.b64encode(block))
    write("rawverify", "short-block", b"\0" + u16(1) + b"x" + sig[:100])
    write("rawverify", "sm2-block", b"\2" + u16(0) + sig.ljust(256, b"\0") +
          open(t("sm2.pem"), "rb").read())

    # pfx: mode, password (u16 length), image
    for name, pw, extra in (("aes", b"1234", []), ("empty-password", b"", []),
                            ("nomac", b"pw", ["-nomac"]),
                            ("gbk-password", "\u5bc6\u7801".encode("gbk"), [])):
        pfx = ossl("pkcs12", "-export", "-in", CERT, "-inkey", KEY, "-passout",
                   b"pass:".decode() + pw.decode("latin-1"), *extra)
        write("pfx", name, b"\1" + u16(len(pw)) + pw + pfx)
    pfx = ossl("pkcs12", "-export", "-in", CERT, "-nokeys", "-certpbe", "NONE", "-passout",
               "pass:x")
    write("pfx", "plain-certbag", b"\0" + u16(1) + b"x" + pfx)

    # invoke: calls by name (op 0) with ASCII texts and numbers
    def text(s):
        s = s.encode() if isinstance(s, str) else s
        kind = 0x80 if len(s) > 255 else 0
        out = bytes([kind, len(s) & 0xFF]) + (bytes([len(s) >> 8]) if kind else b"")
        return out + b"".join(bytes([5, c - 0x20]) for c in s)

    def call(name, args, flags=1):
        out = b"\0" + text(name) + b"\0" + bytes([flags, len(args)])
        if args:
            out += b"\1"  # no named argument
        for a in args:
            out += (b"\2" + struct.pack("<i", a)) if isinstance(a, int) else (b"\6" + text(a))
        return out + b"\1"

    pem_text = cert_pem.decode().replace("\n", " ")
    seeds = {
        "certparse-getters": call("CertParse", [pem_text]) + call("GetSubjectEx", ["cn"]) +
                             call("GetSerialNumber", []) + call("GetNotAfter", []),
        "getcertinfo": call("GetCertInfo", [pem_text, 3007, ""]),
        "setpasswd-sign": call("SetPasswd", ["P11", "1234", 1]) + call("Sign", ["text"]) +
                          call("GetLastErrorInfo", [0]),
        "digest": call("Digest", ["abc", 5]) + call("DigestData", [], flags=2),
        "property-put": b"\0" + text("SignedData") + b"\0" + bytes([4, 1, 0]) + b"\6" +
                        text("x") + b"\1",
        "files": call("EncryptFile", ["in.txt", "out.p7", pem_text]) +
                 call("DecryptFile", ["out.p7", "back.txt"]) +
                 call("GetCertInfoPfx", ["a.pfx", 3001, "1234"]),
        "verify": call("Verify", ["", "-----BEGIN PKCS7-----"]) +
                  call("P1Verify", ["a", "QUJD"]) + call("AboutBox", []),
    }
    for name, data in seeds.items():
        write("invoke", name, data)
    shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
