<?php
// PHP's own openssl functions share the process's crypto library with the module: the module's
// legacy algorithms (RC4, RC2-40 PKCS#12 files) stay its own, and its failed calls leave no
// error for openssl_error_string to report.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/pki.php';

$work = work_dir();
$pki = new Pki("$work/pki");
$pki->root('ca', 'RSA', '/CN=Sharing Root');
$pki->issue('leaf', 'ca', 'RSA', '/CN=Sharing Leaf');
$password = 'p12 pass';
$legacyP12 = "$work/pki/leaf-legacy.p12";
$pki->openssl("pkcs12 -export -legacy -in {$pki->pem('leaf')} -inkey {$pki->key('leaf')} "
    . '-passout ' . escapeshellarg("pass:$password") . " -out $legacyP12");
file_put_contents("$work/junk.p12", "0\x82\x01\x00 not a PKCS#12 file");
write_log_config("$work/log.conf", "$work/kelu.log");
putenv('KELU_LOG_CONF_PATH');

function drain_php_openssl_errors(): void {
    while (openssl_error_string() !== false);
}

// What PHP's openssl offers: its cipher names (with aliases) and the legacy algorithms.
function php_openssl_offer(string $legacyP12, string $password): array {
    $key = str_repeat("k", 16);
    $offer = [
        'ciphers' => openssl_get_cipher_methods(),
        'ciphers and aliases' => openssl_get_cipher_methods(true),
        'rc4' => openssl_encrypt('x', 'rc4', $key, OPENSSL_RAW_DATA) !== false,
        'des-cbc' => openssl_encrypt('x', 'des-cbc', $key, OPENSSL_RAW_DATA, str_repeat("\0", 8)) !== false,
        'bf-cbc' => openssl_encrypt('x', 'bf-cbc', $key, OPENSSL_RAW_DATA, str_repeat("\0", 8)) !== false,
        'legacy PKCS#12' => openssl_pkcs12_read(file_get_contents($legacyP12), $certs, $password),
    ];
    drain_php_openssl_errors();
    return $offer;
}

$before = php_openssl_offer($legacyP12, $password);
check(!$before['rc4'] && !$before['legacy PKCS#12'], 'PHP has no legacy provider of its own here');

check_same(KELU_OK, kelu_initialize("$work/log.conf"), 'kelu_initialize');
check_same($before, php_openssl_offer($legacyP12, $password), 'PHP openssl after kelu_initialize');

// The module's own legacy algorithms keep working.
$key = '';
check_same(KELU_OK, kelu_genSymKey('RC4', $key), 'RC4 key');
$sealed = $opened = '';
check_same(KELU_OK, kelu_symEncryptData('legacy plaintext', 'RC4', $key, $sealed), 'RC4 encryption');
check_same(KELU_OK, kelu_symDecryptData($sealed, 'RC4', $key, $opened), 'RC4 decryption');
check_same('legacy plaintext', $opened, 'RC4 round trip');
$cert = '';
check_same(KELU_OK, kelu_getPublicCertFromPFX('RSA', $legacyP12, $password, $cert), 'the module reads an RC2-40 file');
check_same($pki->base64('leaf'), $cert, 'its certificate');
check_same($before, php_openssl_offer($legacyP12, $password), 'PHP openssl after the module used them');

// Failed script functions, several of them inside the crypto library.
$failing = [
    'certificate that is no DER' => fn (&$o) => kelu_getCertificateInfo('MIIBAAECAwQF', 'SubjectDN', $o),
    'PKCS#12 file that is no DER' => fn (&$o) => kelu_getPublicCertFromPFX('RSA', "$work/junk.p12", $password, $o),
    'wrong PKCS#12 password' => fn (&$o) => kelu_getPublicCertFromPFX('RSA', $legacyP12, 'wrong', $o),
    'SM4 cipher text with a wrong key' => fn (&$o) => kelu_symDecryptData('AAAAAAAAAAAAAAAAAAAAAA==', 'SM4_CBC',
        str_repeat('0123456789ABCDEF', 4), $o),
];
foreach ($failing as $what => $call) {
    $out = '';
    check($call($out) !== KELU_OK, "$what fails");
    check_same(false, openssl_error_string(), "$what: no error for PHP's openssl");
    check_same(64, strlen(openssl_digest('abc', 'sha256')), "$what: PHP's openssl still digests");
    check_same(false, openssl_error_string(), "$what: nothing queued after PHP's own call");
}

// PHP's own errors, which it keeps in a list of its own, wait there through the module's calls.
function php_openssl_errors(): array {
    $errors = [];
    while (($error = openssl_error_string()) !== false) $errors[] = $error;
    return $errors;
}
$calls = $failing + [
    'RC4 key' => fn (&$o) => kelu_genSymKey('RC4', $o),
    'RC2-40 PKCS#12 file' => fn (&$o) => kelu_getPublicCertFromPFX('RSA', $legacyP12, $password, $o),
];
foreach ($calls as $what => $call) {
    openssl_pkey_get_private('not a key');
    $want = php_openssl_errors();
    check(count($want) > 0, "$what: PHP's failed call left errors");
    openssl_pkey_get_private('not a key');
    $out = '';
    $call($out);
    check_same($want, php_openssl_errors(), "$what: PHP's errors after the call");
}

check_same(KELU_OK, kelu_uninitialize(), 'kelu_uninitialize');
check_same($before, php_openssl_offer($legacyP12, $password), 'PHP openssl after kelu_uninitialize');

finish();
