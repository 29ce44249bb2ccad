<?php
// Digital envelopes from scripts against independent peers: RSA envelopes open with openssl cms
// (3DES) and openssl cms's (3DES, RC4) with the module; SM2 envelopes, in each of their four
// forms (SM4-CBC or SM4-ECB content, the content key as the raw SM2 cipher text or as DER),
// open with OpenSSL's SM2 (the content key) and openssl enc (the content). Plaintexts with zero
// bytes pass whole; failures leave the outputs as they were; neither plaintexts nor the
// password reach the log.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/pki.php';
require __DIR__ . '/support/der.php';

$work = start_logged();

const SIGN_ONLY = "basicConstraints = CA:false\nkeyUsage = digitalSignature\nsubjectKeyIdentifier = hash\n";

$pki = new Pki("$work/pki");
$pki->root('rsa-ca', 'RSA', '/CN=RSA Root');
$pki->issue('rsa', 'rsa-ca', 'RSA', '/CN=RSA Recipient');
$pki->issue('rsa-sign', 'rsa-ca', 'RSA', '/CN=RSA Signer Only', SIGN_ONLY);
$pki->root('sm2-ca', 'SM2', '/CN=SM2 Root');
$pki->issue('sm2', 'sm2-ca', 'SM2', '/CN=SM2 Recipient');
$pki->issue('sm2-other', 'sm2-ca', 'SM2', '/CN=SM2 Other Recipient');
$pki->issue('sm2-sign', 'sm2-ca', 'SM2', '/CN=SM2 Signer Only', SIGN_ONLY);
$password = 'Envelope-Password-59';
$keyFiles = ['RSA' => $pki->pkcs12('rsa', $password), 'SM2' => $pki->sm2KeyFile('sm2', $password)];
$otherKeyFile = $pki->sm2KeyFile('sm2-other', $password);

$marker = 'ENVELOPED-PLAINTEXT';
$data = "$marker\0with zero bytes\0" . random_bytes(5000);
$dataFile = "$work/data.bin";
file_put_contents($dataFile, $data);

function subject_key_id(Pki $pki, string $name): string {
    $parsed = openssl_x509_parse(file_get_contents($pki->pem($name)));
    return hex2bin(str_replace(':', '', $parsed['extensions']['subjectKeyIdentifier']));
}

// Opens an SM2 envelope without the module: OpenSSL's SM2 decrypts the content key (DER
// SM2Cipher, or the raw x || y || C2 || C3 put into that form), openssl enc the content.
function open_sm2_envelope(Pki $pki, string $work, string $der, bool $rawKey, bool $ecb): string {
    $octets = der_values($der, 0x04);  // the encrypted key, then the IV of a CBC envelope
    $implicit = der_values($der, 0x80);  // the recipient's key identifier, then the content
    check_same(subject_key_id($pki, 'sm2'), $implicit[0], 'the recipient is named by its key identifier');
    $key = $octets[0];
    if ($rawKey) {
        check_same(64 + 16 + 32, strlen($key), 'raw SM2 cipher text of a 16-byte key');
        $key = der_encode(0x30, der_integer(substr($key, 0, 32)) . der_integer(substr($key, 32, 32))
            . der_encode(0x04, substr($key, -32)) . der_encode(0x04, substr($key, 64, 16)));
    }
    file_put_contents("$work/key.der", $key);
    check(openssl_ok("pkeyutl -decrypt -inkey {$pki->key('sm2')} -in $work/key.der -out $work/key.bin"),
        "OpenSSL's SM2 decrypts the content key");
    $contentKey = (string) file_get_contents("$work/key.bin");
    check_same(16, strlen($contentKey), 'a 16-byte SM4 key');
    check_same($ecb ? 1 : 2, count($octets), $ecb ? 'no IV' : 'an IV');
    file_put_contents("$work/content.bin", end($implicit));
    $iv = $ecb ? '' : ' -iv ' . bin2hex($octets[1]);
    check(openssl_ok('enc -d -sm4-' . ($ecb ? 'ecb' : 'cbc') . ' -K ' . bin2hex($contentKey) . "$iv -in $work/content.bin -out $work/plain.bin"),
        'openssl enc decrypts the content');
    return (string) file_get_contents("$work/plain.bin");
}

// ---- SM2, four forms ----
$forms = [  // encryption, content cipher, opening, raw content key
    ['kelu_encryptDataToCMSEnvelope', 'SM4_CBC', 'kelu_decryptDataFromCMSEnvelope', true],
    ['kelu_encryptDataToCMSEnvelopeEx', 'sm4_cbc', 'kelu_decryptDataFromCMSEnvelopeEx', false],
    ['kelu_encryptDataToCMSEnvelope', 'SM4_ECB', 'kelu_decryptDataFromCMSEnvelope_ECB', true],
    ['kelu_encryptDataToCMSEnvelopeEx', 'Sm4_Ecb', 'kelu_decryptDataFromCMSEnvelopeEx_ECB', false],
];
$sm2Envelopes = [];
foreach ($forms as [$encrypt, $cipher, $decrypt, $rawKey]) {
    $ecb = stripos($cipher, 'ECB') !== false;
    foreach (['one byte' => "\0", 'block' => str_repeat('b', 16), 'data' => $data] as $what => $plain) {
        $envelope = $opened = 'old';
        check_same(KELU_OK, $encrypt('SM2', $plain, $pki->base64('sm2'), $cipher, $envelope), "$encrypt($cipher) of $what");
        $der = base64_decode($envelope);
        check(str_starts_with(bin2hex($der), '30') && str_contains(bin2hex($der), '060a2a811ccf550601040203'),
            'SM2 enveloped data content type');
        check_same($plain, open_sm2_envelope($pki, $work, $der, $rawKey, $ecb), "peers open the $cipher envelope of $what");
        check_same(KELU_OK, $decrypt('SM2', $envelope, $keyFiles['SM2'], $password, $opened), "$decrypt of $what");
        check_same($plain, $opened, "$decrypt gives the whole $what");
    }
    $sm2Envelopes[$decrypt] = $envelope;
}
// The opening must match the making.
foreach ([
    ['kelu_decryptDataFromCMSEnvelope', $sm2Envelopes['kelu_decryptDataFromCMSEnvelope_ECB'], KELU_ERR_ENVELOPE_FORMAT],
    ['kelu_decryptDataFromCMSEnvelope_ECB', $sm2Envelopes['kelu_decryptDataFromCMSEnvelope'], KELU_ERR_ENVELOPE_FORMAT],
    ['kelu_decryptDataFromCMSEnvelope', $sm2Envelopes['kelu_decryptDataFromCMSEnvelopeEx'], null],
] as [$decrypt, $envelope, $code]) {
    $out = 'kept';
    $rc = $decrypt('SM2', $envelope, $keyFiles['SM2'], $password, $out);
    if ($code === null) check($rc !== KELU_OK, "$decrypt of another form fails"); else check_same($code, $rc, "$decrypt of another form");
    check_same('kept', $out, "$decrypt of another form: output kept");
}

// ---- RSA: openssl cms both ways ----
// RC4 envelopes carry NULL content-encryption parameters, which openssl cms does not read
// (it writes an empty OCTET STRING); the module reads both.
foreach (['3DES' => true, 'rc4' => false] as $cipher => $opensslOpens) {
    foreach (['kelu_encryptDataToCMSEnvelope' => 'kelu_decryptDataFromCMSEnvelope',
              'kelu_encryptDataToCMSEnvelopeEx' => 'kelu_decryptDataFromCMSEnvelopeEx'] as $encrypt => $decrypt) {
        $envelope = $opened = 'old';
        check_same(KELU_OK, $encrypt('RSA', $data, $pki->base64('rsa'), $cipher, $envelope), "$encrypt(RSA, $cipher)");
        if ($opensslOpens) {
            file_put_contents("$work/envelope.der", base64_decode($envelope));
            check(openssl_ok("cms -decrypt -binary -inform DER -in $work/envelope.der -inkey {$pki->key('rsa')} "
                . "-recip {$pki->pem('rsa')} -out $work/plain.bin"), "openssl cms opens the $cipher envelope");
            check_same($data, file_get_contents("$work/plain.bin"), "openssl cms finds the whole $cipher plaintext");
        }
        check_same(KELU_OK, $decrypt('RSA', $envelope, $keyFiles['RSA'], $password, $opened), "$decrypt(RSA, $cipher)");
        check_same($data, $opened, "$decrypt gives the whole $cipher plaintext");
    }
}
foreach (['des3', 'rc4'] as $cipher) {
    $pki->openssl("cms -encrypt -provider legacy -provider default -binary -$cipher -keyid -outform DER "
        . "-in $dataFile -out $work/theirs.der {$pki->pem('rsa')}");
    $opened = 'old';
    check_same(KELU_OK, kelu_decryptDataFromCMSEnvelope('RSA', base64_encode(file_get_contents("$work/theirs.der")),
        $keyFiles['RSA'], $password, $opened), "the $cipher envelope of openssl cms opens");
    check_same($data, $opened, "the whole plaintext of openssl cms's $cipher envelope");
}

// ---- Failures: the code reaches the script, the output keeps its value ----
$sm2Envelope = $sm2Envelopes['kelu_decryptDataFromCMSEnvelope'];
check_failures([
    'SM2 with 3DES' => [fn (&$o) => kelu_encryptDataToCMSEnvelope('SM2', $data, $pki->base64('sm2'), '3DES', $o), KELU_ERR_INVALID_PARAMETER],
    'RSA with SM4_CBC' => [fn (&$o) => kelu_encryptDataToCMSEnvelopeEx('RSA', $data, $pki->base64('rsa'), 'SM4_CBC', $o), KELU_ERR_INVALID_PARAMETER],
    'SM2 certificate without keyEncipherment' => [fn (&$o) => kelu_encryptDataToCMSEnvelope('SM2', $data, $pki->base64('sm2-sign'), 'SM4_CBC', $o), KELU_ERR_KEY_USAGE],
    'RSA certificate without keyEncipherment' => [fn (&$o) => kelu_encryptDataToCMSEnvelope('RSA', $data, $pki->base64('rsa-sign'), '3DES', $o), KELU_ERR_KEY_USAGE],
    'empty data' => [fn (&$o) => kelu_encryptDataToCMSEnvelope('SM2', '', $pki->base64('sm2'), 'SM4_CBC', $o), KELU_ERR_INVALID_PARAMETER],
    'SM2 wrong password' => [fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $sm2Envelope, $keyFiles['SM2'], 'wrong', $o), KELU_ERR_KEY_FILE_PASSWORD],
    'another recipient' => [fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $sm2Envelope, $otherKeyFile, $password, $o), KELU_ERR_DECRYPT],
    'unknown algorithm, missing key file' => [fn (&$o) => kelu_decryptDataFromCMSEnvelope('XYZ', $sm2Envelope, "$work/missing", $password, $o), KELU_ERR_OPEN_FILE],
    'RSA wrong password' => [fn (&$o) => kelu_decryptDataFromCMSEnvelopeEx('RSA', $sm2Envelope, $keyFiles['RSA'], 'wrong', $o), null],
]);

check_same(KELU_OK, kelu_uninitialize(), 'shut-down');

$log = file_get_contents("$work/kelu.log");
check(!str_contains($log, $marker), 'no plaintext in the log');
check(!str_contains($log, $password), 'the password is not in the log');
check(str_contains($log, 'strPlainData size:[' . strlen($data) . "]\n"), 'the length of a plaintext given');
check(str_contains($log, 'nPlainDataLen:[' . strlen($data) . "]\n"), 'the length of a plaintext opened');
check(str_contains($log, "(kelu_decryptDataFromCMSEnvelopeEx_ECB -- New memory)\t\t--OK\n"), 'the copy of the plaintext');
check(str_contains($log, "strBase64CMSEnvelope:[$sm2Envelope]\n"), 'the envelope given');
check(str_contains($log, "strSymEncAlg:[Sm4_Ecb]\n"), 'the content cipher');
check(str_contains($log, 'strBase64Cert:[' . $pki->base64('sm2') . "]\n"), 'the certificate');

finish();
