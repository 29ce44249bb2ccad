<?php
// SM2 SignedData of peers through the script functions: messages built here around signatures
// of openssl pkeyutl (SM3 with the default ID), in each form of the signature value under each
// signedData content type, and with signed attributes as RFC 5652 allows and forbids them,
// detached and attached. Under pkcs7-signedData an OCTET STRING of 64 bytes is r || s and one of
// 66 to 72 bytes an SM2Q1; under the SM signedData type it is always an SM2Q1. Signed attributes
// hold exactly one messageDigest of one value and at most one contentType of one value, the
// eContentType. A message that verifies hands out the signer's certificate (and the content);
// one that does not gives the code of a bad signature (-1 from the file verifier) and leaves the
// outputs as they were.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/pki.php';
require __DIR__ . '/support/der.php';

$work = start_logged();
$pki = new Pki("$work/pki");
$pki->root('sm2-ca', 'SM2', '/C=CN/O=Kelu Test/CN=SM2 Root');
$pki->issue('sm2', 'sm2-ca', 'SM2', '/C=CN/O=Kelu Test/CN=SM2 Signer');
$cert = file_get_contents($pki->der('sm2'));

$data = "Peer's data\0" . random_bytes(500);
$dataFile = "$work/data.bin";
file_put_contents($dataFile, $data);

const SM_TYPES = ['1.2.156.10197.6.1.4.2.2', '1.2.156.10197.6.1.4.2.1'];
const PKCS7_TYPES = ['1.2.840.113549.1.7.2', '1.2.840.113549.1.7.1'];
const CONTENT_TYPE = '1.2.840.113549.1.9.3';
const MESSAGE_DIGEST = '1.2.840.113549.1.9.4';

// OpenSSL's DER signature of the bytes: SM2 over SM3(Z || bytes) with the default ID.
function pkeyutl_sign(Pki $pki, string $work, string $bytes): string {
    file_put_contents("$work/tbs.bin", $bytes);
    $pki->openssl("pkeyutl -sign -rawin -digest sm3 -inkey {$pki->key('sm2')} -pkeyopt distid:"
        . SM2_DISTID . " -in $work/tbs.bin -out $work/sig.der");
    return file_get_contents("$work/sig.der");
}

// r || s of the DER, 32 bytes each.
function raw_of(string $der): string {
    $rs = '';
    foreach (der_children($der) as [, $value]) $rs .= str_pad(ltrim($value, "\0"), 32, "\0", STR_PAD_LEFT);
    return $rs;
}

function algorithm(string $oid): string {
    return der_encode(0x30, der_oid($oid) . "\x05\x00");
}

function attribute(string $oid, string ...$values): string {
    return der_encode(0x30, der_oid($oid) . der_encode(0x31, implode('', $values)));
}

// ContentInfo(SignedData) of one signer: its certificate, SM3, the toolkit's SM2 signature
// algorithm, the signature value element(s) as given, signed attributes when given.
function signed_data(string $cert, ?string $content, string $signature, array $types,
                     string $attributes = ''): string {
    [$outer, $inner] = $types;
    $tbs = der_elements(der_elements($cert)[0]);  // [0] version, serial, signature, issuer, ...
    $sm3 = algorithm('1.2.156.10197.1.401');
    $signer = der_encode(0x30, "\x02\x01\x01" . der_encode(0x30, $tbs[3] . $tbs[1]) . $sm3
        . ($attributes === '' ? '' : der_encode(0xA0, $attributes))
        . algorithm('1.2.156.10197.1.301.1') . $signature);
    $contentInfo = der_encode(0x30, der_oid($inner)
        . ($content === null ? '' : der_encode(0xA0, der_encode(0x04, $content))));
    $signedData = der_encode(0x30, "\x02\x01\x01" . der_encode(0x31, $sm3) . $contentInfo
        . der_encode(0xA0, $cert) . der_encode(0x31, $signer));
    return der_encode(0x30, der_oid($outer) . der_encode(0xA0, $signedData));
}

$ofContent = pkeyutl_sign($pki, $work, $data);
$forms = [
    'r || s in an OCTET STRING' => der_encode(0x04, raw_of($ofContent)),
    'SM2Q1 in an OCTET STRING' => der_encode(0x04, $ofContent),
    'the SM2Q1 SEQUENCE' => $ofContent,
    'two INTEGERs' => substr($ofContent, 2),
];
$digest = openssl_digest($data, 'sm3', true);
$otherDigest = openssl_digest("$data.", 'sm3', true);
$rows = [];  // [what, signature value, types, signed attributes, verifies]
foreach (['SM types' => SM_TYPES, 'PKCS#7 types' => PKCS7_TYPES] as $name => $types) {
    $pkcs7 = $types === PKCS7_TYPES;
    foreach ($forms as $form => $value) {
        $rows[] = ["$name, $form", $value, $types, '', $pkcs7 || $form !== 'r || s in an OCTET STRING'];
    }
    $type = attribute(CONTENT_TYPE, der_oid($types[1]));
    $md = attribute(MESSAGE_DIGEST, der_encode(0x04, $digest));
    $otherMd = attribute(MESSAGE_DIGEST, der_encode(0x04, $otherDigest));
    $otherData = ($pkcs7 ? SM_TYPES : PKCS7_TYPES)[1];
    $blocks = [
        'contentType and one messageDigest' => [$type . $md, true],
        'one messageDigest, no contentType' => [$md, true],
        "two messageDigests, the content's first" => [$type . $md . $otherMd, false],
        "two messageDigests, the content's second" => [$type . $otherMd . $md, false],
        'a messageDigest of two values' => [$type . attribute(MESSAGE_DIGEST, der_encode(0x04, $digest), der_encode(0x04, $digest)), false],
        'contentType envelopedData' => [attribute(CONTENT_TYPE, der_oid('1.2.840.113549.1.7.3')) . $md, false],
        'contentType of the other data type' => [attribute(CONTENT_TYPE, der_oid($otherData)) . $md, false],
        'contentType twice' => [$type . $type . $md, false],
        'a contentType of two values' => [attribute(CONTENT_TYPE, der_oid($types[1]), der_oid($types[1])) . $md, false],
    ];
    foreach ($blocks as $what => [$attributes, $verifies]) {
        $value = der_encode(0x04, pkeyutl_sign($pki, $work, der_encode(0x31, $attributes)));
        $rows[] = ["$name, $what", $value, $types, $attributes, $verifies];
    }
}

$signerText = base64_encode($cert);
foreach ($rows as [$what, $value, $types, $attributes, $verifies]) {
    $detached = base64_encode(signed_data($cert, null, $value, $types, $attributes));
    $attachedDer = signed_data($cert, $data, $value, $types, $attributes);
    file_put_contents("$work/attached.der", $attachedDer);
    check(openssl_ok("asn1parse -inform DER -in $work/attached.der -out /dev/null"), "$what: openssl asn1parse reads it");
    $attached = base64_encode($attachedDer);
    $exported = $verifies ? KELU_OK : KELU_ERR_BAD_SIGNATURE;
    $signer = $fileSigner = $attachedSigner = $content = 'kept';
    check_same($exported, kelu_verifyDataSignature_PKCS7Detached('SM2', $data, $detached, $signer), "$what: detached");
    check_same($verifies ? KELU_OK : KELU_ERR_FAILED, kelu_verifyFileSignature_PKCS7Detached('SM2', $dataFile, $detached, $fileSigner),
        "$what: detached, the file");
    check_same($exported, kelu_verifyDataSignature_PKCS7Attached('SM2', $attached, $attachedSigner, $content), "$what: attached");
    foreach ([$signer, $fileSigner, $attachedSigner] as $handedOut) {
        check_same($verifies ? $signerText : 'kept', $handedOut, "$what: the signer's certificate");
    }
    check_same($verifies ? $data : 'kept', $content, "$what: the content, zero byte included");
}

check_same(KELU_OK, kelu_uninitialize(), 'shut-down');
finish();
