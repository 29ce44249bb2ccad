<?php
// Signatures from scripts, SM2 and RSA, PKCS#1 and PKCS#7 detached and attached, of data and of
// files, against independent peers: RSA PKCS#1 signatures are the bytes of openssl_sign and
// openssl dgst, RSA SignedData verifies with openssl cms and smime and theirs with the module;
// SM2 signature values (bare and inside SignedData) verify with OpenSSL's SM2 and sm-crypto-v2,
// and OpenSSL's with the module. Data and signed contents with zero bytes pass whole; failures
// leave the outputs as they were; the password never reaches the log.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/pki.php';
require __DIR__ . '/support/der.php';
require __DIR__ . '/support/peers.php';

$work = start_logged();

$pki = new Pki("$work/pki");
$pki->root('rsa-ca', 'RSA', '/C=CN/O=Kelu Test/CN=RSA Root');
$pki->issue('rsa', 'rsa-ca', 'RSA', '/C=CN/O=Kelu Test/CN=RSA Signer');
$pki->root('sm2-ca', 'SM2', '/C=CN/O=Kelu Test/CN=SM2 Root');
$pki->issue('sm2', 'sm2-ca', 'SM2', '/C=CN/O=Kelu Test/CN=SM2 Signer');
$pki->issue('sm2-nosign', 'sm2-ca', 'SM2', '/CN=SM2 Encipherment Only',
    "basicConstraints = CA:false\nkeyUsage = keyEncipherment\nsubjectKeyIdentifier = hash\n");
$password = 'Signing-Password-31';
$keyFiles = ['RSA' => $pki->pkcs12('rsa', $password), 'SM2' => $pki->sm2KeyFile('sm2', $password)];
$certs = ['RSA' => $pki->base64('rsa'), 'SM2' => $pki->base64('sm2')];
$pki->openssl('x509 -in ' . $pki->pem('sm2') . " -noout -pubkey -out $work/sm2.pub");

$data = "Signed data\0with zero bytes\0" . random_bytes(3000);
$dataFile = "$work/data.bin";
file_put_contents($dataFile, $data);

// OpenSSL's SM2 verification over Z || data with the default user ID.
function openssl_sm2_verifies(string $work, string $data, string $signatureDer): bool {
    file_put_contents("$work/sm2.sig", der_minimal_signature($signatureDer));
    file_put_contents("$work/sm2.data", $data);
    return openssl_ok("dgst -sm3 -verify $work/sm2.pub -sigopt distid:" . SM2_DISTID
        . " -signature $work/sm2.sig $work/sm2.data");
}

function sm_crypto_v2_verifies(Pki $pki, string $data, string $signatureDer): bool {
    return sm_crypto_v2('console.log(sm2.doVerifySignature(hex(a[0]), a[1], a[2], { hash: true, der: true }));',
        [bin2hex($data), bin2hex(der_minimal_signature($signatureDer)), public_point_hex($pki->pem('sm2'))]) === 'true';
}

// The signature value of a SignedData of one signer: its last OCTET STRING.
function signer_signature(string $signedData): string {
    $values = der_values($signedData, 0x04);
    return end($values);
}

$peer = sm_crypto_v2_available();
if (!$peer) echo "sm-crypto-v2 is not installed (scripts/setup): its checks are skipped\n";

// ---- PKCS#1 ----
foreach (['SHA-1' => 'sha1', 'sha-256' => 'sha256'] as $hash => $md) {
    $signature = 'old';
    check_same(KELU_OK, kelu_signData_PKCS1('RSA', $data, $keyFiles['RSA'], $password, $hash, $signature), "RSA PKCS#1 $hash");
    openssl_sign($data, $theirs, file_get_contents($pki->key('rsa')), $md);
    check_same(base64_encode($theirs), $signature, "RSA PKCS#1 $hash: the bytes of openssl_sign");
    check_same(KELU_OK, kelu_verifyDataSignature_PKCS1('RSA', $data, $certs['RSA'], $hash, base64_encode($theirs)),
        "openssl_sign's $hash signature verifies");
    check_same(KELU_ERR_BAD_SIGNATURE, kelu_verifyDataSignature_PKCS1('RSA', "$data.", $certs['RSA'], $hash, $signature),
        "RSA PKCS#1 $hash over other data");
}
$pki->openssl('dgst -sha256 -sign ' . $pki->key('rsa') . " -out $work/rsa.sig $dataFile");
kelu_signData_PKCS1('RSA', $data, $keyFiles['RSA'], $password, 'SHA-256', $signature);
check_same(base64_encode(file_get_contents("$work/rsa.sig")), $signature, 'RSA PKCS#1: the bytes of openssl dgst');

$signature = 'old';
check_same(KELU_OK, kelu_signData_PKCS1('SM2', $data, $keyFiles['SM2'], $password, 'not used', $signature), 'SM2 PKCS#1');
check(openssl_sm2_verifies($work, $data, base64_decode($signature)), "OpenSSL's SM2 verifies the SM2 PKCS#1 signature");
if ($peer) check(sm_crypto_v2_verifies($pki, $data, base64_decode($signature)), 'sm-crypto-v2 verifies it');
check_same(KELU_OK, kelu_verifyDataSignature_PKCS1('SM2', $data, $certs['SM2'], '', $signature), 'SM2 PKCS#1 verifies');
check_same(KELU_ERR_BAD_SIGNATURE, kelu_verifyDataSignature_PKCS1('SM2', "$data.", $certs['SM2'], '', $signature),
    'SM2 PKCS#1 over other data');
$pki->openssl('dgst -sm3 -sign ' . $pki->key('sm2') . ' -sigopt distid:' . SM2_DISTID . " -out $work/theirs.sig $dataFile");
check_same(KELU_OK, kelu_verifyDataSignature_PKCS1('SM2', $data, $certs['SM2'], '', base64_encode(file_get_contents("$work/theirs.sig"))),
    "OpenSSL's SM2 signature verifies");

// ---- PKCS#7, RSA: openssl cms and smime read ours, the module reads theirs ----
$ca = $pki->pem('rsa-ca');
foreach (['SHA-1', 'SHA-256'] as $hash) {
    $detached = $attached = $signer = $content = 'old';
    check_same(KELU_OK, kelu_signData_PKCS7Detached('RSA', $data, $keyFiles['RSA'], $password, $hash, $detached), "RSA detached $hash");
    file_put_contents("$work/detached.der", base64_decode($detached));
    check(openssl_ok("cms -verify -binary -inform DER -in $work/detached.der -content $dataFile -CAfile $ca -out /dev/null"),
        "openssl cms verifies the detached $hash SignedData");
    check(openssl_ok("smime -verify -binary -inform DER -in $work/detached.der -content $dataFile -CAfile $ca -out /dev/null"),
        "openssl smime verifies the detached $hash SignedData");
    check_same(KELU_OK, kelu_verifyDataSignature_PKCS7Detached('RSA', $data, $detached, $signer), "RSA detached $hash verifies");
    check_same($certs['RSA'], $signer, 'the signer certificate');

    check_same(KELU_OK, kelu_signData_PKCS7Attached('RSA', $data, $keyFiles['RSA'], $password, $hash, $attached), "RSA attached $hash");
    file_put_contents("$work/attached.der", base64_decode($attached));
    check(openssl_ok("cms -verify -binary -inform DER -in $work/attached.der -CAfile $ca -out $work/content.bin"),
        "openssl cms verifies the attached $hash SignedData");
    check_same($data, file_get_contents("$work/content.bin"), 'openssl cms finds the whole data inside');
    $signer = 'old';
    check_same(KELU_OK, kelu_verifyDataSignature_PKCS7Attached('RSA', $attached, $signer, $content), "RSA attached $hash verifies");
    check_same($data, $content, 'the whole content, zero bytes included');
    check_same($certs['RSA'], $signer, 'the signer certificate of the attached SignedData');
}
foreach (['detached' => '', 'attached' => '-nodetach', 'with attributes' => '-nodetach -md sha256'] as $what => $options) {
    $noattr = $what === 'with attributes' ? '' : '-noattr';
    $pki->openssl("cms -sign -binary $noattr $options -signer {$pki->pem('rsa')} -inkey {$pki->key('rsa')} "
        . "-outform DER -in $dataFile -out $work/theirs.der");
    $theirs = base64_encode(file_get_contents("$work/theirs.der"));
    $signer = $content = 'old';
    if ($what === 'detached') {
        check_same(KELU_OK, kelu_verifyDataSignature_PKCS7Detached('RSA', $data, $theirs, $signer), "openssl cms $what verifies");
        check_same(KELU_OK, kelu_verifyFileSignature_PKCS7Detached('RSA', $dataFile, $theirs, $signer), "openssl cms $what verifies the file");
    } else {
        check_same(KELU_OK, kelu_verifyDataSignature_PKCS7Attached('RSA', $theirs, $signer, $content), "openssl cms $what verifies");
        check_same($data, $content, "the content of openssl cms $what");
    }
    check_same($certs['RSA'], $signer, "the signer of openssl cms $what");
}

// ---- PKCS#7, SM2: OpenSSL's SM2 and sm-crypto-v2 verify the signature value inside ----
$detached = $attached = $signer = $content = 'old';
check_same(KELU_OK, kelu_signData_PKCS7Detached('SM2', $data, $keyFiles['SM2'], $password, '', $detached), 'SM2 detached');
$der = base64_decode($detached);
check(str_contains(bin2hex($der), '060a2a811ccf550601040202'), 'SM2 SignedData content type');
check(openssl_sm2_verifies($work, $data, signer_signature($der)), "OpenSSL's SM2 verifies the detached SignedData's signature");
if ($peer) check(sm_crypto_v2_verifies($pki, $data, signer_signature($der)), 'sm-crypto-v2 verifies it');
check_same(KELU_OK, kelu_verifyDataSignature_PKCS7Detached('SM2', $data, $detached, $signer), 'SM2 detached verifies');
check_same($certs['SM2'], $signer, 'the SM2 signer certificate');
$signer = 'kept';
check_same(KELU_ERR_BAD_SIGNATURE, kelu_verifyDataSignature_PKCS7Detached('SM2', "$data.", $detached, $signer), 'SM2 detached over other data');
check_same('kept', $signer, 'no signer certificate for a bad signature');

check_same(KELU_OK, kelu_signData_PKCS7Attached('SM2', $data, $keyFiles['SM2'], $password, '', $attached), 'SM2 attached');
$der = base64_decode($attached);
check(in_array($data, der_values($der, 0x04), true), 'the SM2 SignedData holds the whole data');
check(openssl_sm2_verifies($work, $data, signer_signature($der)), "OpenSSL's SM2 verifies the attached SignedData's signature");
$signer = 'old';
check_same(KELU_OK, kelu_verifyDataSignature_PKCS7Attached('SM2', $attached, $signer, $content), 'SM2 attached verifies');
check_same($data, $content, 'the whole SM2 content, zero bytes included');
check_same($certs['SM2'], $signer, 'the SM2 signer of the attached SignedData');

// ---- Files ----
foreach (['RSA' => 'SHA-256', 'SM2' => ''] as $alg => $hash) {
    $signature = $signer = 'old';
    check_same(KELU_OK, kelu_signFile_PKCS7Detached($alg, $dataFile, $keyFiles[$alg], $password, $hash, $signature), "$alg file");
    check_same(KELU_OK, kelu_verifyFileSignature_PKCS7Detached($alg, $dataFile, $signature, $signer), "$alg file verifies");
    check_same($certs[$alg], $signer, "$alg file signer");
    check_same(KELU_OK, kelu_verifyDataSignature_PKCS7Detached($alg, $data, $signature, $signer), "$alg file signature over the data");
    file_put_contents("$work/detached.der", base64_decode($signature));
    if ($alg === 'RSA') {
        check(openssl_ok("cms -verify -binary -inform DER -in $work/detached.der -content $dataFile -CAfile $ca -out /dev/null"),
            'openssl cms verifies the file signature');
    } else {
        check(openssl_sm2_verifies($work, $data, signer_signature(base64_decode($signature))), "OpenSSL's SM2 verifies the file signature");
    }
    file_put_contents("$work/other.bin", "$data.");
    $signer = 'kept';
    check(kelu_verifyFileSignature_PKCS7Detached($alg, "$work/other.bin", $signature, $signer) !== KELU_OK, "$alg file signature of another file");
    check_same('kept', $signer, "$alg: no signer for another file");
}

// ---- A key file whose key is not its certificate's: no signature ----
// One changed bit in the first block of the encrypted key: SM4-CBC keeps the padding valid.
$keyFileDer = base64_decode(file_get_contents($keyFiles['SM2']));
$encryptedKey = der_values($keyFileDer, 0x04)[0];
check_same(48, strlen($encryptedKey), 'the encrypted key of the key file');
$changedKey = "$work/changed-key.sm2";
file_put_contents($changedKey, base64_encode(str_replace($encryptedKey, ($encryptedKey[0] ^ "\x01") . substr($encryptedKey, 1), $keyFileDer)));
// The writer refuses another holder's key beside the certificate.
[$status, $output] = make_sm2_key_file([$pki->key('sm2-nosign'), $pki->der('sm2'), "$work/other-key.sm2"], $password);
check_same(1, $status, 'make_sm2_key_file refuses a key that is not the certificate\'s');
check(str_contains($output, 'is not the key of the certificate') && !file_exists("$work/other-key.sm2"), 'its reason, and no file');

// ---- An RSA SignedData naming a digest the library does not have (valgrind: nothing kept) ----
$rsaDetached = 'old';
check_same(KELU_OK, kelu_signData_PKCS7Detached('RSA', $data, $keyFiles['RSA'], $password, 'SHA-256', $rsaDetached), 'RSA detached SHA-256');
$unknownDigest = base64_encode(str_replace(hex2bin('0609608648016503040201'), hex2bin('060960864801650304027f'),
    base64_decode($rsaDetached)));
check($unknownDigest !== $rsaDetached, 'the digest OID replaced');

// ---- Failures: the code reaches the script, the output keeps its value ----
check_failures([
    'SM2 key that is not the certificate\'s, PKCS#1' => [fn (&$o) => kelu_signData_PKCS1('SM2', $data, $changedKey, $password, '', $o), KELU_ERR_KEY_FILE_PASSWORD],
    'RSA detached, unknown digest' => [fn (&$o) => kelu_verifyDataSignature_PKCS7Detached('RSA', $data, $unknownDigest, $o), KELU_ERR_BAD_SIGNATURE],
    'SM2 key that is not the certificate\'s, file' => [fn (&$o) => kelu_signFile_PKCS7Detached('SM2', $dataFile, $changedKey, $password, '', $o), KELU_ERR_KEY_FILE_PASSWORD],
    'SM2 wrong password' => [fn (&$o) => kelu_signData_PKCS7Detached('SM2', $data, $keyFiles['SM2'], 'wrong', '', $o), KELU_ERR_KEY_FILE_PASSWORD],
    'SM2 key without digitalSignature' => [fn (&$o) => kelu_signData_PKCS1('SM2', $data, $pki->sm2KeyFile('sm2-nosign', $password), $password, '', $o), KELU_ERR_KEY_USAGE],
    'unknown algorithm, missing key file' => [fn (&$o) => kelu_signData_PKCS1('XYZ', $data, "$work/missing", $password, 'SHA-1', $o), KELU_ERR_OPEN_FILE],
    'unknown algorithm' => [fn (&$o) => kelu_signData_PKCS7Attached('XYZ', $data, $keyFiles['RSA'], $password, 'SHA-1', $o), KELU_ERR_INVALID_PARAMETER],
    'RSA with MD5' => [fn (&$o) => kelu_signData_PKCS7Detached('RSA', $data, $keyFiles['RSA'], $password, 'MD5', $o), KELU_ERR_INVALID_PARAMETER],
    'empty data' => [fn (&$o) => kelu_signData_PKCS1('SM2', '', $keyFiles['SM2'], $password, '', $o), KELU_ERR_INVALID_PARAMETER],
    'password with a zero byte' => [fn (&$o) => kelu_signData_PKCS1('SM2', $data, $keyFiles['SM2'], "$password\0", '', $o), KELU_ERR_INVALID_PARAMETER],
    'missing file' => [fn (&$o) => kelu_signFile_PKCS7Detached('RSA', "$work/missing", $keyFiles['RSA'], $password, 'SHA-1', $o), KELU_ERR_OPEN_FILE],
    'tampered attached' => [function (&$o) use ($attached) {
        $content = 'kept';
        $tampered = str_replace('Signed data', 'Signed date', base64_decode($attached));
        return kelu_verifyDataSignature_PKCS7Attached('SM2', base64_encode($tampered), $o, $content);
    }, KELU_ERR_BAD_SIGNATURE],
]);

check_same(KELU_OK, kelu_uninitialize(), 'shut-down');

$log = file_get_contents("$work/kelu.log");
check(!str_contains($log, $password), 'the password is not in the log');
check(str_contains($log, 'strSourceData size:[' . strlen($data) . "]\nstrSourceData:[Signed data]\n"), 'the data up to its zero byte, and its length');
check(str_contains($log, 'nSourceDataLen:[' . strlen($data) . "]\npbySourceData:[Signed data]\n"), 'the signed content up to its zero byte, and its length');
check(str_contains($log, "(kelu_verifyDataSignature_PKCS7Attached -- New memory)\t\t--OK\n"), 'the copy of the content');
check(str_contains($log, "(kelu_signData_PKCS7Attached -- Check params size().)\t\t--OK\n"), 'count step with a full stop');
check(str_contains($log, "(kelu_signData_PKCS1 -- Check params size())\t\t--OK\n"), 'count step without');
check(str_contains($log, "pszBase64PKCS7AttachedSignature:[$attached]\n"), 'the signature handed out');
check(str_contains($log, "pszBase64SignCert:[{$certs['SM2']}]\n"), 'the signer certificate handed out');
check(str_contains($log, sprintf("(kelu_signData_PKCS7Detached -- SignData_PKCS7Detached)\t\t--Failed:(0x%08x) [Reason:KELU_OK != nResult]\n",
    KELU_ERR_KEY_FILE_PASSWORD & 0xFFFFFFFF)), 'the failed call');

finish();
