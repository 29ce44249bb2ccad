<?php
// The main job from PHP: start the toolkit from a zlog configuration; read the certificates of
// an SM2 key file and a PKCS#12 file and their fields, and verify them against their roots;
// sign and verify data and a file with SM2 and RSA (PKCS#1, PKCS#7 detached and attached);
// make and open digital envelopes with SM2 and RSA; encrypt and decrypt data and a file with
// symmetric keys; hash data and a file; shut the toolkit down and show the end of the log it
// wrote, then a summary.
// Exits non-zero when any step fails.
//
// Run it through examples/run, or from a folder where examples/make_fixtures has made its
// keys and certificates:
//   php -n -d extension=/path/to/ORVAExtension.so main.php [config file] [log file]
$config = $argv[1] ?? 'kelulog.conf';
$log = $argv[2] ?? 'kelu.log';
const PASSWORD = 'example password';  // of the fixtures' SM2 key file and PKCS#12 file
const KEY_FILES = ['SM2' => 'sm2.sm2', 'RSA' => 'rsa.p12'];
const CA_FILES = ['SM2' => 'ca-sm2.pem', 'RSA' => 'ca-rsa.pem'];
const LOG_LINES_SHOWN = 10;

if (!extension_loaded('ORVAExtension')) {
    fwrite(STDERR, "the module is not loaded: php -d extension=/path/to/ORVAExtension.so main.php\n");
    exit(2);
}
if (!is_file($config)) {
    fwrite(STDERR, "$config is missing: give a zlog configuration file (examples/kelulog.conf)\n");
    exit(2);
}
// The lists share their keys: merge their values, not the lists.
foreach ([...array_values(KEY_FILES), ...array_values(CA_FILES)] as $file) {
    if (!is_file($file)) {
        fwrite(STDERR, "$file is missing: run examples/make_fixtures in this folder first\n");
        exit(2);
    }
}
$functions = get_extension_funcs('ORVAExtension');
printf("ORVAExtension %s, %d functions\n", phpversion('ORVAExtension'), count($functions));

$failures = 0;

// Prints one step: its result code and what it gave; a code other than 0, or a result that is
// not what was expected, counts as a failure.
function step(string $what, int $rc, string $shown = '', bool $expected = true): bool {
    global $failures;
    $ok = $rc === 0 && $expected;
    if (!$ok) $failures++;
    $text = $rc === 0 ? $shown : sprintf('failed with %d (0x%08X)', $rc, $rc & 0xFFFFFFFF);
    if ($rc === 0 && !$expected) $text .= ' -- not the expected result';
    printf("  %-58s %s\n", $what, $text);
    return $ok;
}

function shorten(string $text): string {
    return strlen($text) > 48 ? substr($text, 0, 24) . '...' . substr($text, -16) . ' (' . strlen($text) . ' chars)' : $text;
}

$rc = kelu_initialize($config);
step("kelu_initialize($config)", $rc);
if ($rc !== 0) exit(1);

$message = "An example message,\0 with a zero byte inside.";
$file = 'example-data.bin';
file_put_contents($file, str_repeat("0123456789abcdef", 2048) . "and a short tail");

echo "== Certificates\n";
$certs = [];
foreach (KEY_FILES as $alg => $keyFile) {
    $cert = '';
    step("kelu_getPublicCertFromPFX($alg, $keyFile)", kelu_getPublicCertFromPFX($alg, $keyFile, PASSWORD, $cert), shorten($cert));
    $certs[$alg] = $cert;
    foreach (['CertType', 'SubjectDN', 'IssuerDN', 'SerialNumber', 'ValidFrom', 'ValidTo'] as $type) {
        $info = '';
        step("  kelu_getCertificateInfo($type)", kelu_getCertificateInfo($cert, $type, $info), $info,
            $type !== 'CertType' || $info === $alg);
    }
    step('  kelu_verifyCertificate(validity and chain to ' . CA_FILES[$alg] . ')',
        kelu_verifyCertificate($cert, 0x1 | 0x4, CA_FILES[$alg], ''), 'trusted');
}

echo "== Signatures\n";
foreach (KEY_FILES as $alg => $keyFile) {
    $hash = 'SHA-256';  // the RSA digest; SM2 always digests with SM3
    $signature = $signer = $content = '';
    step("kelu_signData_PKCS1($alg)", kelu_signData_PKCS1($alg, $message, $keyFile, PASSWORD, $hash, $signature), shorten($signature));
    step("  kelu_verifyDataSignature_PKCS1($alg)", kelu_verifyDataSignature_PKCS1($alg, $message, $certs[$alg], $hash, $signature), 'valid');

    step("kelu_signData_PKCS7Detached($alg)", kelu_signData_PKCS7Detached($alg, $message, $keyFile, PASSWORD, $hash, $signature), shorten($signature));
    step("  kelu_verifyDataSignature_PKCS7Detached($alg)",
        kelu_verifyDataSignature_PKCS7Detached($alg, $message, $signature, $signer), 'valid, signed by the key file\'s certificate',
        $signer === $certs[$alg]);

    step("kelu_signData_PKCS7Attached($alg)", kelu_signData_PKCS7Attached($alg, $message, $keyFile, PASSWORD, $hash, $signature), shorten($signature));
    step("  kelu_verifyDataSignature_PKCS7Attached($alg)",
        kelu_verifyDataSignature_PKCS7Attached($alg, $signature, $signer, $content), 'valid, the whole message inside',
        $content === $message && $signer === $certs[$alg]);

    step("kelu_signFile_PKCS7Detached($alg, $file)", kelu_signFile_PKCS7Detached($alg, $file, $keyFile, PASSWORD, $hash, $signature), shorten($signature));
    step("  kelu_verifyFileSignature_PKCS7Detached($alg)",
        kelu_verifyFileSignature_PKCS7Detached($alg, $file, $signature, $signer), 'valid', $signer === $certs[$alg]);
}

echo "== Digital envelopes\n";
$envelopes = [  // algorithm, content cipher, encryption, decryption
    ['SM2', 'SM4_CBC', 'kelu_encryptDataToCMSEnvelope', 'kelu_decryptDataFromCMSEnvelope'],
    ['SM2', 'SM4_CBC', 'kelu_encryptDataToCMSEnvelopeEx', 'kelu_decryptDataFromCMSEnvelopeEx'],
    ['SM2', 'SM4_ECB', 'kelu_encryptDataToCMSEnvelope', 'kelu_decryptDataFromCMSEnvelope_ECB'],
    ['SM2', 'SM4_ECB', 'kelu_encryptDataToCMSEnvelopeEx', 'kelu_decryptDataFromCMSEnvelopeEx_ECB'],
    ['RSA', '3DES', 'kelu_encryptDataToCMSEnvelope', 'kelu_decryptDataFromCMSEnvelope'],
    ['RSA', 'RC4', 'kelu_encryptDataToCMSEnvelopeEx', 'kelu_decryptDataFromCMSEnvelopeEx'],
];
foreach ($envelopes as [$alg, $cipher, $encrypt, $decrypt]) {
    $envelope = $plain = '';
    step("$encrypt($alg, $cipher)", $encrypt($alg, $message, $certs[$alg], $cipher, $envelope), shorten($envelope));
    step("  $decrypt($alg)", $decrypt($alg, $envelope, KEY_FILES[$alg], PASSWORD, $plain),
        'opened: the whole message', $plain === $message);
}

echo "== Symmetric keys\n";
foreach (['SM4_CBC', '3DES_CBC', 'RC4'] as $cipher) {
    $key = $sealed = $plain = '';
    step("kelu_genSymKey($cipher)", kelu_genSymKey($cipher, $key), 'a key text of ' . strlen($key) . ' characters');
    step("  kelu_symEncryptData($cipher)", kelu_symEncryptData($message, $cipher, $key, $sealed), shorten($sealed));
    step("  kelu_symDecryptData($cipher)", kelu_symDecryptData($sealed, $cipher, $key, $plain),
        'the whole message', $plain === $message);
}
foreach (['SM4_CBC', '3DES_CBC'] as $cipher) {
    $key = '';
    step("kelu_symEncryptFile($cipher, $file)", kelu_symEncryptFile($cipher, $file, "$file.enc", $key),
        "$file.enc, " . filesize("$file.enc") . ' bytes');
    step("  kelu_symDecryptFile($cipher)", kelu_symDecryptFile($cipher, "$file.enc", $key, "$file.dec"),
        "$file.dec, the same bytes", file_get_contents("$file.dec") === file_get_contents($file));
}

echo "== Digests\n";
foreach (['SM3', 'MD5', 'SHA-1', 'SHA-256'] as $name) {
    $hex = '';
    step("kelu_calculateDataHash($name)", kelu_calculateDataHash($message, $name, $hex), $hex);
    step("kelu_calculateFileHash($name, $file)", kelu_calculateFileHash($file, $name, $hex), $hex);
}

$rc = kelu_uninitialize();
step('kelu_uninitialize', $rc);

// Each step line ends with a blank line: those are not counted.
$lines = array_values(array_filter(file($log, FILE_IGNORE_NEW_LINES) ?: [], fn ($l) => trim($l) !== ''));
$shown = array_slice($lines, -LOG_LINES_SHOWN);
printf("== the last %d of %d log lines (the whole log: %s)\n", count($shown), count($lines), realpath($log) ?: $log);
foreach ($shown as $line) echo "  $line\n";
printf("== %s\n", $failures === 0 ? 'every step succeeded' : "$failures step(s) failed");
exit($failures === 0 ? 0 : 1);
