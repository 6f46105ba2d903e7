#!/usr/bin/env bash
# The files the page scripts read, made by the openssl command in DIR: a
# small CA, an RSA certificate of a user with a Chinese name, and its PFX
# under a Chinese file name ("证书.pfx", password 1234).
set -euo pipefail
cd "$1"
cfg="[req]
distinguished_name=dn
[dn]
[ca]
basicConstraints=critical,CA:true
keyUsage=keyCertSign,cRLSign
[user]
keyUsage=digitalSignature,keyEncipherment,dataEncipherment
extendedKeyUsage=clientAuth,emailProtection"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -utf8 \
  -subj "/C=CN/O=Tolmix Test/CN=测试根证书" -config <(echo "$cfg") -extensions ca 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout user.key -out user.csr -utf8 \
  -subj "/C=CN/ST=北京/O=Tolmix Test/OU=研发部/CN=张三/emailAddress=zhang@example.com" \
  -config <(echo "$cfg") 2>/dev/null
openssl x509 -req -in user.csr -CA ca.pem -CAkey ca.key -set_serial 0x1A2B3C -days 730 \
  -extfile <(echo "$cfg") -extensions user -out user.pem 2>/dev/null
openssl pkcs12 -export -in user.pem -inkey user.key -passout pass:1234 -out "证书.pfx" \
  -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1
