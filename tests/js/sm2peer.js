#!/usr/bin/env node
// An independent SM2 peer for the interoperability tests: it reads and
// makes PKCS#7 messages of the GM profile with sm-crypto (SM2, SM3) and
// asn1js/pkijs (ASN.1), sharing no code with the control.  Test tool only.
//
//   sm2peer.js inspect SIGNED.pem OUTDIR
//       Reads the first signer of a signed-data message; writes
//       OUTDIR/content.bin, OUTDIR/signed.der (what the signature covers:
//       DER of the signed attributes as a SET, or the content) and
//       OUTDIR/sig.der; prints contentType, digestAlg, signatureAlg,
//       messageDigest (hex), sm3 (SM3 of the content, hex) and verified
//       (sm-crypto's check of the signature, default identity).
//   sm2peer.js sign KEY.pem CERT.pem CONTENT attrs|noattrs OUT.pem [content|signature]
//       Signs CONTENT as the GM profile says (SM3, SM2 1.2.156.10197.1.301.1),
//       with or without signed attributes (contentType, messageDigest).
//       The last argument, when given, names what to spoil after signing
//       (last byte of the content, or of the signature's s).
//   sm2peer.js unwrap ENVELOPE.pem KEY.pem
//       Recovers the content key of the message's first recipient with
//       sm-crypto and decrypts the content; prints keyEncAlg, keyLength and
//       content (hex).
//
// Results are printed as NAME=VALUE lines.
//   sm2peer.js envelope CERT.pem CONTENT OUT.pem
//       Enveloped data for CERT: Triple-DES CBC content, the key wrapped
//       with sm-crypto as a GM/T 0009 SM2Cipher (1.2.156.10197.1.301.3).
//
// GM systems' forms (the arguments after the usual ones, "-" for the default):
//   sign ... [SPOIL|attrs] [pkcs7|gm|gminner] [PKCS7|CMS|base64] [smc|v2]
//       GM/T 0010 outer and inner content types (gminner: inner only), the
//       armour, and the SM2 library (sm-crypto or sm-crypto-v2) that signs.
//   envelope ... [des3|sm4|sm4bare] [KEYFORM] [pkcs7|gm] [ARMOUR] [c3|ciphertext]
//       SM4-CBC named 1.2.156.10197.1.104.2 (sm4) or 1.2.156.10197.1.104
//       (sm4bare), by sm-crypto-v2; KEYFORM: der (SM2Cipher), unsigned (x
//       32 bytes with the top bit set), padded (x, y with a redundant 00),
//       der-c1c2c3, raw04, raw, raw-c1c2c3 (sm-crypto-v2's forms).
//   unwrap ... [smc|v2]   also reads GM types and SM4 content; prints cipher.
//
// KEY.pem is an unencrypted PKCS#8 SM2 private key.  Exit status 0 on
// success; any failure is reported on standard error with status 1.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const asn1js = require('asn1js');
const pkijs = require('pkijs');
const {sm2, sm3} = require('sm-crypto');
const v2 = require('sm-crypto-v2');

const OID = {
  data: '1.2.840.113549.1.7.1',
  signedData: '1.2.840.113549.1.7.2',
  envelopedData: '1.2.840.113549.1.7.3',
  contentType: '1.2.840.113549.1.9.3',
  messageDigest: '1.2.840.113549.1.9.4',
  sm3: '1.2.156.10197.1.401',
  sm2Sign: '1.2.156.10197.1.301.1',
  sm2Encrypt: '1.2.156.10197.1.301.3',
  desEde3Cbc: '1.2.840.113549.3.7',
  sm4Cbc: '1.2.156.10197.1.104.2',
  sm4: '1.2.156.10197.1.104',
  gmData: '1.2.156.10197.6.1.4.2.1',
  gmSigned: '1.2.156.10197.6.1.4.2.2',
  gmEnveloped: '1.2.156.10197.6.1.4.2.3',
};
const given = (arg, dflt) => (arg === undefined || arg === '-' ? dflt : arg);
const USER_ID = '1234567812345678';

const hex = (bytes) => Buffer.from(bytes).toString('hex');
const fail = (why) => {
  throw new Error(why);
};

function report(fields) {
  for (const [name, value] of Object.entries(fields)) console.log(`${name}=${value}`);
}

function readPem(file, label) {
  const text = fs.readFileSync(file, 'latin1');
  const m = text.match(new RegExp(`-----BEGIN ${label}-----([\\s\\S]*?)-----END ${label}-----`));
  if (!m) fail(`${file}: no ${label}`);
  return Buffer.from(m[1].replace(/\s+/g, ''), 'base64');
}

// ARMOUR: a PEM label, or "base64" for bare Base64 lines of the DER.
function writePem(file, label, der) {
  const b64 = Buffer.from(der).toString('base64').match(/.{1,64}/g).join('\n');
  if (label === 'base64') fs.writeFileSync(file, `${b64}\n`);
  else fs.writeFileSync(file, `-----BEGIN ${label}-----\n${b64}\n-----END ${label}-----\n`);
}

function parse(der) {
  const buf = new Uint8Array(der).buffer;
  const r = asn1js.fromBER(buf);
  if (r.offset === -1) fail('bad DER');
  return r.result;
}

function readCert(file) {
  return pkijs.Certificate.fromBER(new Uint8Array(readPem(file, 'CERTIFICATE')).buffer);
}

// 04 || X || Y of the certificate's key, as sm-crypto takes it.
function publicKeyHex(cert) {
  return hex(cert.subjectPublicKeyInfo.subjectPublicKey.valueBlock.valueHexView);
}

// The private scalar of a PKCS#8 SM2 key (PrivateKeyInfo holding an
// ECPrivateKey).
function privateKeyHex(file) {
  const info = parse(readPem(file, 'PRIVATE KEY'));
  const ecKey = parse(info.valueBlock.value[2].valueBlock.valueHexView);
  const d = ecKey.valueBlock.value[1].valueBlock.valueHexView;
  if (d.length !== 32) fail('not a 256-bit EC private key');
  return hex(d);
}

// A DER INTEGER of the unsigned big-endian BYTES.
function unsignedInteger(bytes) {
  let b = Buffer.from(bytes);
  while (b.length > 1 && b[0] === 0) b = b.subarray(1);
  if (b[0] & 0x80) b = Buffer.concat([Buffer.from([0]), b]);
  return new asn1js.Integer({valueHex: b});
}

// 32 big-endian bytes of a DER INTEGER's value.
function coordinate(integer) {
  let b = Buffer.from(integer.valueBlock.valueHexView);
  while (b.length > 32 && b[0] === 0) b = b.subarray(1);
  if (b.length > 32) fail('coordinate longer than 32 bytes');
  return Buffer.concat([Buffer.alloc(32 - b.length), b]);
}

const oid = (id) => new asn1js.ObjectIdentifier({value: id});
const algorithm = (id, params) =>
  new asn1js.Sequence({value: params ? [oid(id), params] : [oid(id)]});

function contentInfo(type, content) {
  return new asn1js.Sequence({
    value: [
      oid(type),
      new asn1js.Constructed({idBlock: {tagClass: 3, tagNumber: 0}, value: [content]}),
    ],
  });
}

function issuerAndSerial(cert) {
  return new asn1js.Sequence({
    value: [cert.issuer.toSchema(), unsignedInteger(cert.serialNumber.valueBlock.valueHexView)],
  });
}

// ---- inspect ----

function inspect(signedPem, outDir) {
  const info = pkijs.ContentInfo.fromBER(new Uint8Array(readPem(signedPem, 'PKCS7')).buffer);
  if (![OID.signedData, OID.gmSigned].includes(info.contentType)) fail(`type ${info.contentType}`);
  const sd = new pkijs.SignedData({schema: info.content});
  const eContent = sd.encapContentInfo.eContent;
  const content = eContent ? Buffer.from(eContent.getValue()) : Buffer.alloc(0);
  const si = sd.signerInfos[0];
  const certs = (sd.certificates || []).filter((c) => c instanceof pkijs.Certificate);
  const serial = hex(si.sid.serialNumber.valueBlock.valueHexView);
  const cert = certs.find((c) => hex(c.serialNumber.valueBlock.valueHexView) === serial);
  if (!cert) fail('no signer certificate in the message');

  let signed = content;
  let messageDigest = '';
  if (si.signedAttrs) {
    // What was signed is the attributes' DER with the SET tag (RFC 2315 9.3).
    signed = Buffer.from(si.signedAttrs.encodedValue);
    signed[0] = 0x31;
    const md = si.signedAttrs.attributes.find((a) => a.type === OID.messageDigest);
    if (md) messageDigest = hex(md.values[0].valueBlock.valueHexView);
  }
  const sig = Buffer.from(si.signature.valueBlock.valueHexView);
  fs.writeFileSync(path.join(outDir, 'content.bin'), content);
  fs.writeFileSync(path.join(outDir, 'signed.der'), signed);
  fs.writeFileSync(path.join(outDir, 'sig.der'), sig);
  const verified = sm2.doVerifySignature([...signed], hex(sig), publicKeyHex(cert),
      {der: true, hash: true, userId: USER_ID});
  report({
    outerType: info.contentType,
    contentType: sd.encapContentInfo.eContentType,
    digestAlg: si.digestAlgorithm.algorithmId,
    signatureAlg: si.signatureAlgorithm.algorithmId,
    messageDigest,
    sm3: sm3([...content]),
    verified,
  });
}

// ---- sign ----

function sign(keyPem, certPem, contentFile, mode, outPem, spoilArg, typesArg, armourArg, libArg) {
  const spoil = given(spoilArg, undefined);
  const types = given(typesArg, 'pkcs7');
  const dataType = types === 'pkcs7' ? OID.data : OID.gmData;
  const lib = given(libArg, 'smc') === 'v2' ? v2.sm2 : sm2;
  const d = privateKeyHex(keyPem);
  const cert = readCert(certPem);
  const pub = publicKeyHex(cert);
  const content = fs.readFileSync(contentFile);
  let signedAttrs = null;
  let toSign = content;
  if (mode === 'attrs') {
    const attribute = (type, value) =>
      new asn1js.Sequence({value: [oid(type), new asn1js.Set({value: [value]})]});
    const set = new asn1js.Set({value: [
      attribute(OID.contentType, oid(dataType)),
      attribute(OID.messageDigest,
          new asn1js.OctetString({valueHex: Buffer.from(sm3([...content]), 'hex')})),
    ]});
    toSign = Buffer.from(set.toBER());
    // The same bytes as [0] IMPLICIT in the signer info.
    signedAttrs = Buffer.from(toSign);
    signedAttrs[0] = 0xA0;
  } else if (mode !== 'noattrs') {
    fail('attrs or noattrs');
  }
  const sig = Buffer.from(lib.doSignature(lib === sm2 ? [...toSign] : Uint8Array.from(toSign), d,
      {der: true, hash: true, publicKey: pub, userId: USER_ID}), 'hex');
  if (spoil === 'content' && content.length > 0) content[content.length - 1] ^= 0x01;
  else if (spoil === 'signature') sig[sig.length - 1] ^= 0x01;
  else if (spoil === 'attrs' && signedAttrs) signedAttrs[signedAttrs.length - 1] ^= 0x01;
  else if (spoil !== undefined) fail('spoil content or signature');
  const sm3Alg = () => algorithm(OID.sm3, new asn1js.Null());
  const signerInfo = new asn1js.Sequence({value: [
    new asn1js.Integer({value: 1}),
    issuerAndSerial(cert),
    sm3Alg(),
    ...(signedAttrs ? [parse(signedAttrs)] : []),
    algorithm(OID.sm2Sign),
    new asn1js.OctetString({valueHex: sig}),
  ]});
  const signedData = new asn1js.Sequence({value: [
    new asn1js.Integer({value: 1}),
    new asn1js.Set({value: [sm3Alg()]}),
    contentInfo(dataType, new asn1js.OctetString({valueHex: content})),
    new asn1js.Constructed({idBlock: {tagClass: 3, tagNumber: 0}, value: [cert.toSchema()]}),
    new asn1js.Set({value: [signerInfo]}),
  ]});
  const outer = types === 'gm' ? OID.gmSigned : OID.signedData;
  writePem(outPem, given(armourArg, 'PKCS7'), contentInfo(outer, signedData).toBER());
}

// ---- unwrap ----

// SM2Cipher (GM/T 0009: SEQUENCE { x, y INTEGER, hash, cipherText OCTET
// STRING }) -> sm-crypto's C1 C3 C2 hex (C1 without its 04).
function sm2CipherToHex(der) {
  const [x, y, c3, c2] = parse(der).valueBlock.value;
  if (!c2 || c3.valueBlock.valueHexView.length !== 32) fail('not an SM2Cipher');
  return hex(Buffer.concat([coordinate(x), coordinate(y), Buffer.from(c3.valueBlock.valueHexView),
    Buffer.from(c2.valueBlock.valueHexView)]));
}

function unwrap(envelopePem, keyPem, libArg) {
  const info = pkijs.ContentInfo.fromBER(new Uint8Array(readPem(envelopePem, 'PKCS7')).buffer);
  if (![OID.envelopedData, OID.gmEnveloped].includes(info.contentType)) fail('not enveloped');
  const ed = new pkijs.EnvelopedData({schema: info.content});
  const ri = ed.recipientInfos[0].value;
  const lib = given(libArg, 'smc') === 'v2' ? v2.sm2 : sm2;
  const key = lib.doDecrypt(sm2CipherToHex(ri.encryptedKey.valueBlock.valueHexView),
      privateKeyHex(keyPem), 1, {output: 'array'});
  if (key.length === 0) fail('sm-crypto could not decrypt the content key');
  const eci = ed.encryptedContentInfo;
  const alg = eci.contentEncryptionAlgorithm.algorithmId;
  const iv = Buffer.from(eci.contentEncryptionAlgorithm.algorithmParams.valueBlock.valueHexView);
  const encrypted = Buffer.from(eci.getEncryptedContent());
  let plain;
  if (alg === OID.desEde3Cbc) {
    const decipher = crypto.createDecipheriv('des-ede3-cbc', Buffer.from(key), iv);
    plain = Buffer.concat([decipher.update(encrypted), decipher.final()]);
  } else if (alg === OID.sm4Cbc || alg === OID.sm4) {
    plain = Buffer.from(v2.sm4.decrypt(encrypted, Uint8Array.from(key), {mode: 'cbc', iv, output: 'array'}));
  } else {
    fail(`content cipher ${alg}`);
  }
  report({
    cipher: alg,
    keyEncAlg: ri.keyEncryptionAlgorithm.algorithmId,
    keyLength: key.length,
    content: hex(plain),
  });
}

// ---- envelope ----

// The content key wrapped for PUB in KEYFORM (see the usage above).
function wrapKey(key, pub, form) {
  if (form.startsWith('raw') || form === 'der-c1c2c3') {
    const mode = form.endsWith('c1c2c3') ? 0 : 1;
    const c = v2.sm2.doEncrypt(Uint8Array.from(key), pub, mode, {asn1: form === 'der-c1c2c3'});
    return Buffer.from(form === 'raw04' ? `04${c}` : c, 'hex');
  }
  // sm-crypto's C1 C3 C2, until x has the top bit the form needs.
  let c;
  do c = Buffer.from(sm2.doEncrypt([...key], pub, 1), 'hex');
  while ((form === 'unsigned' && !(c[0] & 0x80)) || (form === 'padded' && (c[0] & 0x80)));
  const integer = form === 'unsigned' ? (b) => new asn1js.Integer({valueHex: b})
    : form === 'padded' ? (b) => new asn1js.Integer({valueHex: Buffer.concat([Buffer.alloc(1), b])})
    : unsignedInteger;
  return Buffer.from(new asn1js.Sequence({value: [integer(c.subarray(0, 32)),
    integer(c.subarray(32, 64)), new asn1js.OctetString({valueHex: c.subarray(64, 96)}),
    new asn1js.OctetString({valueHex: c.subarray(96)})]}).toBER());
}

function envelope(certPem, contentFile, outPem, cipherArg, formArg, typesArg, armourArg, spoil) {
  const cert = readCert(certPem);
  const content = fs.readFileSync(contentFile);
  const cipherName = given(cipherArg, 'des3');
  const des3 = cipherName === 'des3';
  const key = crypto.randomBytes(des3 ? 24 : 16);
  const iv = crypto.randomBytes(des3 ? 8 : 16);
  let encrypted;
  if (des3) {
    const cipher = crypto.createCipheriv('des-ede3-cbc', key, iv);
    encrypted = Buffer.concat([cipher.update(content), cipher.final()]);
  } else {
    encrypted = Buffer.from(v2.sm4.encrypt(content, key, {mode: 'cbc', iv, output: 'array'}));
  }
  const form = given(formArg, 'der');
  const wrapped = wrapKey(key, publicKeyHex(cert), form);
  // The last byte of C3: last of all (C1C2C3), else before C2 (and its DER header).
  const c3End = form.endsWith('c1c2c3') ? 1 : key.length + (form.startsWith('raw') ? 1 : 3);
  if (spoil === 'c3') wrapped[wrapped.length - c3End] ^= 1;
  if (spoil === 'ciphertext') encrypted[encrypted.length - 1] ^= 1;  // its padding
  const recipient = new asn1js.Sequence({value: [
    new asn1js.Integer({value: 0}),
    issuerAndSerial(cert),
    algorithm(OID.sm2Encrypt),
    new asn1js.OctetString({valueHex: wrapped}),
  ]});
  const alg = des3 ? OID.desEde3Cbc : cipherName === 'sm4' ? OID.sm4Cbc : OID.sm4;
  const encryptedContentInfo = new asn1js.Sequence({value: [
    oid(OID.data),
    algorithm(alg, new asn1js.OctetString({valueHex: iv})),
    new asn1js.Primitive({idBlock: {tagClass: 3, tagNumber: 0}, valueHex: encrypted}),
  ]});
  const envelopedData = new asn1js.Sequence({value: [
    new asn1js.Integer({value: 0}),
    new asn1js.Set({value: [recipient]}),
    encryptedContentInfo,
  ]});
  const outer = given(typesArg, 'pkcs7') === 'gm' ? OID.gmEnveloped : OID.envelopedData;
  writePem(outPem, given(armourArg, 'PKCS7'), contentInfo(outer, envelopedData).toBER());
}

const commands = {inspect, sign, unwrap, envelope};
try {
  const [command, ...args] = process.argv.slice(2);
  if (!commands[command]) fail('usage: sm2peer.js inspect|sign|unwrap|envelope ...');
  commands[command](...args);
} catch (e) {
  process.stderr.write(`sm2peer: ${e.message}\n`);
  process.exit(1);
}
