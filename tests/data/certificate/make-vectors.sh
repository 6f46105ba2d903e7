#!/usr/bin/env bash
# Makes the certificate and PFX vectors of tests/certificate with the openssl
# command into the folder $1.  Run by the test fixture; every file is made
# afresh, nothing is kept in the source tree.
#
#   rsa.key                 RSA 2048 key shared by the certificates below
#   utf8.der                v3, subject with a Chinese UTF8String CN and a
#                           multi-valued RDN, serial 0x80112233 (encoded
#                           with a leading zero byte), key usage
#                           digitalSignature, keyAgreement, decipherOnly
#   plain.der               v3, serial 0x7f, no key usage
#   ca.pem                  a second self-signed certificate (CA of the PFX)
#   ascii.pfx               utf8.der + key + ca.pem, password "abc123"
#   chinese.pfx             utf8.der + key, password "密码" given as UTF-8
#   rawbytes.pfx            utf8.der + key, password = the GBK bytes of
#                           "密码" handed over raw (what older tools did),
#                           legacy (RC2/3DES) encryption
#   rawbytes-pbes2.pfx      the same with OpenSSL 3's default PBES2 encryption
#   legacy.pfx              utf8.der + key, "abc123", RC2-40/3DES
#   empty.pfx               plain.der + key, empty password
#   sm2.der                 SM2-with-SM3 self-signed certificate (if the
#                           openssl command can make one)
set -euo pipefail
out=$1
cd "$out"
export OPENSSL_CONF=/dev/null

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.key 2>/dev/null

openssl req -new -x509 -key rsa.key -utf8 -multivalue-rdn -days 30 -sha256 \
  -subj "/C=CN/O=测试单位/OU=研发部+CN=张三" \
  -set_serial 0x80112233 \
  -addext "keyUsage=critical,digitalSignature,keyAgreement,decipherOnly" \
  -outform DER -out utf8.der
openssl x509 -inform DER -in utf8.der -out utf8.pem

openssl req -new -x509 -key rsa.key -days 30 -sha256 \
  -subj "/C=CN/O=Plain Org/CN=plain" -set_serial 0x7f \
  -outform DER -out plain.der
openssl x509 -inform DER -in plain.der -out plain.pem

openssl req -new -x509 -key rsa.key -days 30 -subj "/CN=Test CA" -out ca.pem

openssl pkcs12 -export -inkey rsa.key -in utf8.pem -certfile ca.pem \
  -passout pass:abc123 -out ascii.pfx
openssl pkcs12 -export -inkey rsa.key -in utf8.pem -passout pass:密码 -out chinese.pfx
printf '\xc3\xdc\xc2\xeb' > gbk-password.txt
openssl pkcs12 -export -legacy -inkey rsa.key -in utf8.pem \
  -passout file:gbk-password.txt -out rawbytes.pfx
openssl pkcs12 -export -inkey rsa.key -in utf8.pem \
  -passout file:gbk-password.txt -out rawbytes-pbes2.pfx
openssl pkcs12 -export -legacy -inkey rsa.key -in utf8.pem -passout pass:abc123 -out legacy.pfx
openssl pkcs12 -export -inkey rsa.key -in plain.pem -passout pass: -out empty.pfx

{ openssl genpkey -algorithm SM2 -out sm2.key &&
  openssl req -new -x509 -key sm2.key -sm3 -days 30 -subj "/CN=sm2" -outform DER -out sm2.der
} 2>/dev/null || rm -f sm2.der
exit 0
