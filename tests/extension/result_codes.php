<?php
// The result codes table of README.md, situation by situation: the codes are read from the
// table by their names (and checked against the headers that define them), and each situation
// the table names is a call here that must return its row's code and, when it fails, leave its
// output variable as it was (all but memory and the random source failing, which a script
// cannot bring about). A row that says no function gives its code has no call.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/pki.php';
require __DIR__ . '/support/der.php';

ini_set('memory_limit', '1G');
putenv('KELU_LOG_CONF_PATH');  // no configuration but the one kelu_initialize is given
// The openssl command lines need no sanitizer runtime (which would slow each one down).
if (under_sanitizer()) putenv('LD_PRELOAD');
$top = dirname(__DIR__, 2);

// name => [PHP int, the row's text] of the table that follows "Result codes as a script sees
// them"; each row's PHP int must be its code as a signed 32-bit value.
function readme_codes(string $readme): array {
    $codes = [];
    $inSection = false;
    foreach (explode("\n", file_get_contents($readme)) as $line) {
        $inSection = $inSection || str_starts_with($line, 'Result codes as a script sees them');
        if (!$inSection) continue;
        if (preg_match('/^\| (-?\d+) \| (-1|0|0x[0-9A-F]+) \| `(KELU_\w+)` \| (.+) \|$/', $line, $m)) {
            check_same(signed32(intval($m[2], 0)), (int) $m[1], "$m[3]: the PHP int is the code");
            $codes[$m[3]] = [(int) $m[1], $m[4]];
        } elseif ($codes !== [] && !str_starts_with($line, '|')) {
            break;
        }
    }
    return $codes;
}

// name => value of each result code a header defines.
function header_codes(string $header): array {
    preg_match_all('/^#define (KELU_\w+)\s+\(*(?:\(int\))?(-?(?:0x[0-9A-Fa-f]+|\d+))\)*\s*$/m',
        file_get_contents($header), $m, PREG_SET_ORDER);
    $codes = [];
    foreach ($m as [, $name, $value]) $codes[$name] = signed32(intval($value, 0));
    return $codes;
}

$codes = readme_codes("$top/README.md");
$errors = header_codes("$top/logging/KeluErrors.h");
$defined = $errors + header_codes("$top/logging/kelu_zlog.h");
foreach ($codes as $name => [$value]) check_same($defined[$name] ?? null, $value, "$name as the headers define it");
foreach ($errors as $name => $value) check(isset($codes[$name]), "$name has a row in the README's table");

// ---- Fixtures ----
$work = work_dir();
const SIGN_ONLY = "basicConstraints = CA:false\nkeyUsage = digitalSignature\nsubjectKeyIdentifier = hash\n";
const ENCIPHER_ONLY = "basicConstraints = CA:false\nkeyUsage = keyEncipherment\nsubjectKeyIdentifier = hash\n";
const NO_KEY_USAGE = "basicConstraints = CA:false\nsubjectKeyIdentifier = hash\n";
const NO_KEY_ID = "basicConstraints = CA:false\nkeyUsage = keyEncipherment\nsubjectKeyIdentifier = none\n";
$pki = new Pki("$work/pki");
$pki->root('rsa-ca', 'RSA', '/CN=RSA Root');
$pki->issue('rsa', 'rsa-ca', 'RSA', '/CN=RSA Holder');
$pki->issue('rsa-other', 'rsa-ca', 'RSA', '/CN=RSA Other Holder');
$pki->root('sm2-ca', 'SM2', '/CN=SM2 Root');
$pki->root('sm2-other-ca', 'SM2', '/CN=SM2 Other Root');
$pki->issue('sm2', 'sm2-ca', 'SM2', '/CN=SM2 Holder');
$pki->issue('sm2-other', 'sm2-ca', 'SM2', '/CN=SM2 Other Holder');
$pki->issue('sm2-sign', 'sm2-ca', 'SM2', '/CN=SM2 Signer Only', SIGN_ONLY);
$pki->issue('sm2-encipher', 'sm2-ca', 'SM2', '/CN=SM2 Encipherer Only', ENCIPHER_ONLY);
$pki->issue('sm2-no-usage', 'sm2-ca', 'SM2', '/CN=SM2 No Key Usage', NO_KEY_USAGE);
$pki->issue('sm2-no-key-id', 'sm2-ca', 'SM2', '/CN=SM2 No Key Id', NO_KEY_ID);
$pki->issue('sm2-expired', 'sm2-ca', 'SM2', '/CN=SM2 Expired', LEAF_EXTENSIONS, time() - 10 * 86400, time() - 86400);
$pki->issue('sm2-future', 'sm2-ca', 'SM2', '/CN=SM2 Future', LEAF_EXTENSIONS, time() + 86400, time() + 10 * 86400);
$pki->issue('sm2-revoked', 'sm2-ca', 'SM2', '/CN=SM2 Revoked');
$pki->issue('sm2-foreign', 'sm2-other-ca', 'SM2', '/CN=SM2 Foreign');
$pki->revoke('sm2-ca', 'sm2-revoked');
$pki->makeCrl('sm2-ca', 'sm2-ca');
$pki->openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=ECDSA -keyout $work/ec.key -outform DER -out $work/ec.der");
$pki->openssl("req -x509 -key $work/ec.key -set_serial 0 -subj /CN=Zero -outform DER -out $work/zero.der");

$pw = 'Result-Codes-7';
$p12 = $pki->pkcs12('rsa', $pw);
$p12Other = $pki->pkcs12('rsa-other', $pw);
$pki->openssl("pkcs12 -export -nocerts -inkey {$pki->key('rsa')} -passout pass:$pw -out $work/no-cert.p12");
$sm2 = $pki->sm2KeyFile('sm2', $pw);
$sm2Other = $pki->sm2KeyFile('sm2-other', $pw);
$sm2Encipherer = $pki->sm2KeyFile('sm2-encipher', $pw);
$cert = ['SM2' => $pki->base64('sm2'), 'RSA' => $pki->base64('rsa')];
$ca = $pki->pem('sm2-ca');
$crl = $pki->crl('sm2-ca');

// The SM2 key file of $keyFile with another certificate in it: its private key is not that
// certificate's.
function key_file_with_certificate(string $keyFile, string $certDer, string $out): string {
    $der = base64_decode(file_get_contents($keyFile));
    [$version, $private, $public] = der_children($der);
    $publicData = der_children($der, $public[2]);
    $newPublic = der_encode(0x30, der_encode($publicData[0][0], $publicData[0][1]) . der_encode(0x04, $certDer));
    file_put_contents($out, base64_encode(der_encode(0x30, der_encode($version[0], $version[1])
        . der_encode($private[0], $private[1]) . $newPublic)) . "\n");
    return $out;
}

// A PKCS#12 file of $name whose certificate is damaged (its outer tag changed) under a MAC
// made again with the password, so that the MAC verifies and the contents do not parse.
function pkcs12_with_damaged_certificate(Pki $pki, string $name, string $password, string $out): string {
    $pki->openssl("pkcs12 -export -in {$pki->pem($name)} -inkey {$pki->key($name)} -certpbe NONE "
        . "-passout pass:$password -out $out");
    $p12 = file_get_contents($out);
    $p12[strpos($p12, file_get_contents($pki->der($name)))] = "\x31";
    [, $authSafe, $macData] = der_children($p12);
    $content = der_values($p12, 0x04, $authSafe[2], $macData[2])[0];
    [$digestInfo, $salt, $iterations] = der_children($p12, $macData[2]);
    $bmpPassword = implode('', array_map(fn ($c) => "\0$c", str_split($password))) . "\0\0";
    $key = $pki->openssl('kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexpass:' . bin2hex($bmpPassword)
        . ' -kdfopt hexsalt:' . bin2hex($salt[1]) . ' -kdfopt iter:' . hexdec(bin2hex($iterations[1]))
        . ' -kdfopt id:3 PKCS12KDF');
    $mac = der_children($p12, $digestInfo[2])[1][1];
    $newMac = hash_hmac('sha256', $content, hex2bin(str_replace(':', '', trim($key))), true);
    file_put_contents($out, str_replace($mac, $newMac, $p12));
    return $out;
}

// The Base64 text of $text's DER with $from replaced by $to (bytes of the same length).
function with_bytes(string $text, string $from, string $to): string {
    return base64_encode(str_replace($from, $to, base64_decode($text)));
}

// The envelope of kelu_encryptDataToCMSEnvelopeEx with its content key's SM2Cipher made a SET.
function with_content_key_reshaped(string $envelope): string {
    $key = der_values(base64_decode($envelope), 0x04)[0];
    return with_bytes($envelope, $key, "\x31" . substr($key, 1));
}

$data = 'Result codes data';
$file = "$work/data.bin";
file_put_contents($file, $data);
$otherFile = "$work/other.bin";
file_put_contents($otherFile, 'other data');
$empty = "$work/empty.bin";
file_put_contents($empty, '');
$folder = "$work/folder";
mkdir($folder);
$missing = "$work/missing";
$text = "$work/text.txt";
file_put_contents($text, "not a key file\n");
function sparse_file(string $path, int $size): string {
    $f = fopen($path, 'w');
    ftruncate($f, $size);
    fclose($f);
    return $path;
}
$hugeKeyFile = sparse_file("$work/huge.sm2", 2147483648);
$hugePlain = sparse_file("$work/huge.bin", 524288001);
$mismatched = key_file_with_certificate($sm2, file_get_contents($pki->der('sm2-other')), "$work/mismatched.sm2");
$damagedP12 = pkcs12_with_damaged_certificate($pki, 'rsa', $pw, "$work/damaged.p12");
$fifty = str_repeat('L', 52428800);

// Signatures, envelopes and cipher texts, made before the start-up (which RC4 alone needs).
$sig = [];
foreach (['SM2' => $sm2, 'RSA' => $p12] as $alg => $keyFile) {
    foreach (['PKCS1', 'PKCS7Detached', 'PKCS7Attached'] as $form) {
        $s = '';
        check_same(KELU_OK, ("kelu_signData_$form")($alg, $data, $keyFile, $pw, 'SHA-256', $s), "$alg $form signature");
        $sig[$alg][$form] = $s;
    }
    $s = '';
    check_same(KELU_OK, kelu_signFile_PKCS7Detached($alg, $file, $keyFile, $pw, 'SHA-256', $s), "$alg file signature");
    $sig[$alg]['file'] = $s;
}
$pki->openssl("smime -sign -binary -in $file -signer {$pki->pem('rsa')} -inkey {$pki->key('rsa')} -outform DER -out $work/attributes.der");
$withAttributes = base64_encode(file_get_contents("$work/attributes.der"));
$env = [];
foreach ([['CBC', 'kelu_encryptDataToCMSEnvelope', 'SM4_CBC'], ['CBC-Ex', 'kelu_encryptDataToCMSEnvelopeEx', 'SM4_CBC'],
          ['ECB', 'kelu_encryptDataToCMSEnvelope', 'SM4_ECB']] as [$form, $encrypt, $cipher]) {
    $e = '';
    check_same(KELU_OK, $encrypt('SM2', $data, $cert['SM2'], $cipher, $e), "SM2 $form envelope");
    $env[$form] = $e;
}
$e = '';
check_same(KELU_OK, kelu_encryptDataToCMSEnvelopeEx('SM2', $data, $cert['SM2'], 'SM4_ECB', $e), 'SM2 ECB-Ex envelope');
$env['ECB-Ex'] = $e;
$e = '';
check_same(KELU_OK, kelu_encryptDataToCMSEnvelope('RSA', $data, $cert['RSA'], '3DES', $e), 'RSA envelope');
$env['RSA'] = $e;
$pki->openssl("cms -encrypt -provider legacy -provider default -binary -rc4 -keyid -outform DER -in $file "
    . "-out $work/rc4.der {$pki->pem('rsa')}");
$env['RC4'] = base64_encode(file_get_contents("$work/rc4.der"));
// Fixed key texts (IV, then key) and so fixed cipher texts: a wrong key passes the padding
// check for about one key in 256, and these do not.
$key = [
    'SM4_CBC' => '000102030405060708090A0B0C0D0E0F0123456789ABCDEFFEDCBA9876543210',
    'other SM4_CBC' => '0F0E0D0C0B0A09080706050403020100FEDCBA98765432100123456789ABCDEF',
    '3DES_CBC' => '00010203040506070123456789ABCDEFFEDCBA987654321089ABCDEF01234567',
];
$cipherText = [];
foreach (['SM4_CBC', '3DES_CBC'] as $name) {
    $c = '';
    check_same(KELU_OK, kelu_symEncryptData($data, $name, $key[$name], $c), "$name cipher text");
    $cipherText[$name] = $c;
}
foreach (['RC4', 'other RC4'] as $name) {
    $k = '';
    check_same(KELU_OK, kelu_genSymKey('RC4', $k), "$name key");
    $key[$name] = $k;
}
$encrypted = "$work/encrypted.bin";  // as kelu_symEncryptFile writes it
file_put_contents($encrypted, base64_decode($cipherText['SM4_CBC']));
$fileKey = $key['SM4_CBC'];
$out = "$work/out.bin";
$rsaEncryptionOid = hex2bin('06092a864886f70d010101');  // the same length as SHA-256's
$sha256Oid = hex2bin('0609608648016503040201');
$unknownOid = hex2bin('06092a864886f70d017f7f');
$tampered = base64_decode($sig['SM2']['PKCS7Attached']);
$tampered[strlen($tampered) - 3] = chr(ord($tampered[strlen($tampered) - 3]) ^ 1);
$tampered = base64_encode($tampered);
$sm2CertDer = file_get_contents($pki->der('sm2'));
$damagedCertInside = with_bytes($sig['SM2']['PKCS7Detached'], $sm2CertDer,
    substr($sm2CertDer, 0, 4) . str_repeat("\x5a", strlen($sm2CertDer) - 4));
$garbage = base64_encode('garbage bytes');
// An envelope's content key is random, and so is whether its raw SM2 cipher text reads as DER:
// a fresh envelope of kelu_encryptDataToCMSEnvelope a try, the first result other than $skip
// in at most 200 tries.
$rawToEx = function () use ($data, $cert, $sm2, $pw): int {
    $e = $o = '';
    kelu_encryptDataToCMSEnvelope('SM2', $data, $cert['SM2'], 'SM4_CBC', $e);
    return kelu_decryptDataFromCMSEnvelopeEx('SM2', $e, $sm2, $pw, $o);
};
function first_result_but(int $skip, callable $try): int {
    for ($i = 0; $i < 200; $i++) if (($rc = $try()) !== $skip) return $rc;
    return $skip;
}
$PARSE = $codes['KELU_ERR_PARSE'][0] ?? 0;
$DECRYPT = $codes['KELU_ERR_DECRYPT'][0] ?? 0;
$config = "$work/log.conf";
write_log_config($config, "$work/kelu.log");
file_put_contents("$work/malformed.conf", "[global]\nbogus key = 1\n");

// ---- One call a situation: [name, situation, call, before the start-up] ----
$cases = [
    ['KELU_OK', 'an SM2 signature, whose hash name is not read', fn (&$o) => kelu_signData_PKCS1('SM2', $data, $sm2, $pw, 'MD5', $o)],
    ['KELU_OK', 'a signature that verifies', fn (&$o) => kelu_verifyDataSignature_PKCS1('SM2', $data, $cert['SM2'], '', $sig['SM2']['PKCS1'])],
    ['KELU_OK', 'kelu_verifyCertificate with flag 0', fn (&$o) => kelu_verifyCertificate($cert['SM2'], 0, '', '')],
    ['KELU_OK', 'kelu_calculateDataHash of empty data', fn (&$o) => kelu_calculateDataHash('', 'SM3', $o)],
    ['KELU_OK', 'RC4 under another key', fn (&$o) => kelu_symDecryptData($garbage, 'RC4', $key['other RC4'], $o)],
    ['KELU_OK', 'kelu_getPublicCertFromPFX("SM2") with a wrong password', fn (&$o) => kelu_getPublicCertFromPFX('SM2', $sm2, 'wrong', $o)],

    ['KELU_ERR_FAILED', 'more arguments than the function takes', fn (&$o) => kelu_genSymKey('SM4_CBC', $o, 'extra')],
    ['KELU_ERR_FAILED', 'file signer, RSA: a wrong password', fn (&$o) => kelu_signFile_PKCS7Detached('RSA', $file, $p12, 'wrong', 'SHA-256', $o)],
    ['KELU_ERR_FAILED', 'file signer, RSA: no PKCS#12 file', fn (&$o) => kelu_signFile_PKCS7Detached('RSA', $file, $text, $pw, 'SHA-256', $o)],
    ['KELU_ERR_FAILED', 'file verifier, SM2: a signature that does not verify', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('SM2', $otherFile, $sig['SM2']['file'], $o)],
    ['KELU_ERR_FAILED', 'file verifier, SM2: no DER', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('SM2', $file, '!!!!', $o)],
    ['KELU_ERR_FAILED', 'file verifier, RSA: no DER', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('RSA', $file, $garbage, $o)],
    ['KELU_ERR_FAILED', 'kelu_getPublicCertFromPFX("RSA"): a wrong password', fn (&$o) => kelu_getPublicCertFromPFX('RSA', $p12, 'wrong', $o)],
    ['KELU_ERR_FAILED', 'kelu_getPublicCertFromPFX("RSA"): no PKCS#12 file', fn (&$o) => kelu_getPublicCertFromPFX('RSA', $text, $pw, $o)],
    ['KELU_ERR_FAILED', 'kelu_getPublicCertFromPFX("RSA"): no certificate', fn (&$o) => kelu_getPublicCertFromPFX('RSA', "$work/no-cert.p12", $pw, $o)],
    ['KELU_ERR_FAILED', 'kelu_symDecryptFile: a key text of 16 bytes', fn (&$o) => kelu_symDecryptFile('SM4_CBC', $encrypted, substr($fileKey, 0, 32), $out)],

    ['KELU_ERR_INVALID_PARAMETER', 'a number for a string', fn (&$o) => kelu_verifyCertificate(5, 1, '', '')],
    ['KELU_ERR_INVALID_PARAMETER', 'a flag that is not an integer', fn (&$o) => kelu_verifyCertificate($cert['SM2'], '1', '', '')],
    ['KELU_ERR_INVALID_PARAMETER', 'an output variable that holds null', function (&$o) { $null = null; return kelu_genSymKey('SM4_CBC', $null); }],
    ['KELU_ERR_INVALID_PARAMETER', 'a path with a zero byte', fn (&$o) => kelu_signData_PKCS1('SM2', $data, "$sm2\0.txt", $pw, '', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'empty data', fn (&$o) => kelu_signData_PKCS7Detached('SM2', '', $sm2, $pw, '', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'an unknown algorithm', fn (&$o) => kelu_signData_PKCS1('XYZ', $data, $sm2, $pw, '', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'an unknown hash of an RSA call', fn (&$o) => kelu_signData_PKCS1('RSA', $data, $p12, $pw, 'MD5', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'an unknown hash of a hash function', fn (&$o) => kelu_calculateDataHash($data, 'SHA256', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'an RSA symmetric name for an SM2 envelope', fn (&$o) => kelu_encryptDataToCMSEnvelope('SM2', $data, $cert['SM2'], '3DES', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'RC4 for a file cipher', fn (&$o) => kelu_symEncryptFile('RC4', $file, $out, $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'an unknown info type', fn (&$o) => kelu_getCertificateInfo($cert['SM2'], 'Owner', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'a key text that is not hexadecimal', fn (&$o) => kelu_symEncryptData($data, 'SM4_CBC', str_repeat('G', 64), $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'a key text of an odd number of digits', fn (&$o) => kelu_symDecryptData($cipherText['SM4_CBC'], 'SM4_CBC', substr($key['SM4_CBC'], 1), $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'a key text too short for its cipher', fn (&$o) => kelu_symDecryptData($cipherText['SM4_CBC'], 'SM4_CBC', substr($key['SM4_CBC'], 0, 62), $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'a 3DES_CBC key text that is longer', fn (&$o) => kelu_symDecryptData($cipherText['3DES_CBC'], '3DES_CBC', $key['3DES_CBC'] . '00', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'a file cipher output that names its input', fn (&$o) => kelu_symEncryptFile('SM4_CBC', $file, $file, $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'kelu_calculateFileHash: a missing file', fn (&$o) => kelu_calculateFileHash($missing, 'SM3', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'kelu_calculateFileHash: a folder', fn (&$o) => kelu_calculateFileHash($folder, 'SM3', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'RSA PKCS#7 data verifier: no byte decodes', fn (&$o) => kelu_verifyDataSignature_PKCS7Detached('RSA', $data, '!!!!', $o)],
    ['KELU_ERR_INVALID_PARAMETER', 'kelu_verifyCertificate: bit 0x2 without a path', fn (&$o) => kelu_verifyCertificate($cert['SM2'], 2, '', '')],

    ['KELU_ERR_OPEN_FILE', 'a missing key file', fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $env['CBC'], $missing, $pw, $o)],
    ['KELU_ERR_OPEN_FILE', 'a missing file to sign', fn (&$o) => kelu_signFile_PKCS7Detached('SM2', $missing, $sm2, $pw, '', $o)],
    ['KELU_ERR_OPEN_FILE', 'a missing file to encrypt', fn (&$o) => kelu_symEncryptFile('SM4_CBC', $missing, $out, $o)],
    ['KELU_ERR_OPEN_FILE', 'a missing CRL file', fn (&$o) => kelu_verifyCertificate($cert['SM2'], 2, '', $missing)],
    ['KELU_ERR_OPEN_FILE', 'a missing CA file', fn (&$o) => kelu_verifyCertificate($cert['SM2'], 4, "$ca|$missing", '')],
    ['KELU_ERR_OPEN_FILE', 'an output file in a missing folder', fn (&$o) => kelu_symDecryptFile('SM4_CBC', $encrypted, $fileKey, "$missing/out.bin")],
    ['KELU_ERR_OPEN_FILE', 'a missing key file with an unknown name', fn (&$o) => kelu_signData_PKCS1('XYZ', $data, $missing, $pw, '', $o)],

    ['KELU_ERR_READ_FILE', 'a folder as the SM2 key file of a signer', fn (&$o) => kelu_signData_PKCS7Attached('SM2', $data, $folder, $pw, '', $o)],
    ['KELU_ERR_READ_FILE', 'a folder as the SM2 key file of an opener', fn (&$o) => kelu_decryptDataFromCMSEnvelope_ECB('SM2', $env['ECB'], $folder, $pw, $o)],
    ['KELU_ERR_READ_FILE', 'a folder as the SM2 key file of kelu_getPublicCertFromPFX', fn (&$o) => kelu_getPublicCertFromPFX('SM2', $folder, $pw, $o)],
    ['KELU_ERR_READ_FILE', 'a folder as the file to sign', fn (&$o) => kelu_signFile_PKCS7Detached('SM2', $folder, $sm2, $pw, '', $o)],
    ['KELU_ERR_READ_FILE', 'a folder as the file to verify', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('RSA', $folder, $sig['RSA']['file'], $o)],
    ['KELU_ERR_READ_FILE', 'a folder as the input of a file cipher', fn (&$o) => kelu_symEncryptFile('SM4_CBC', $folder, $out, $o)],
    ['KELU_ERR_READ_FILE', 'an empty plain file', fn (&$o) => kelu_symEncryptFile('3DES_CBC', $empty, $out, $o)],
    ['KELU_ERR_READ_FILE', 'an empty encrypted file', fn (&$o) => kelu_symDecryptFile('SM4_CBC', $empty, $fileKey, $out)],

    ['KELU_ERR_WRITE_FILE', 'kelu_symEncryptFile onto a full disk', fn (&$o) => kelu_symEncryptFile('SM4_CBC', $file, '/dev/full', $o)],
    ['KELU_ERR_WRITE_FILE', 'kelu_symDecryptFile onto a full disk', fn (&$o) => kelu_symDecryptFile('SM4_CBC', $encrypted, $fileKey, '/dev/full')],

    ['KELU_ERR_FILE_TOO_LARGE', 'a plain file of 524,288,001 bytes', fn (&$o) => kelu_symEncryptFile('SM4_CBC', $hugePlain, $out, $o)],
    ['KELU_ERR_FILE_TOO_LARGE', 'an SM2 key file of 2 GiB to a signer', fn (&$o) => kelu_signData_PKCS1('SM2', $data, $hugeKeyFile, $pw, '', $o)],
    ['KELU_ERR_FILE_TOO_LARGE', 'an SM2 key file of 2 GiB to an opener', fn (&$o) => kelu_decryptDataFromCMSEnvelopeEx('SM2', $env['CBC-Ex'], $hugeKeyFile, $pw, $o)],
    ['KELU_ERR_FILE_TOO_LARGE', 'an SM2 key file of 2 GiB to kelu_getPublicCertFromPFX', fn (&$o) => kelu_getPublicCertFromPFX('SM2', $hugeKeyFile, $pw, $o)],

    ['KELU_ERR_ENCRYPT', 'a recipient that is no certificate', fn (&$o) => kelu_encryptDataToCMSEnvelope('SM2', $data, $garbage, 'SM4_CBC', $o)],
    ['KELU_ERR_ENCRYPT', 'an SM2 certificate with RSA', fn (&$o) => kelu_encryptDataToCMSEnvelope('RSA', $data, $cert['SM2'], '3DES', $o)],
    ['KELU_ERR_ENCRYPT', 'an RSA certificate with SM2', fn (&$o) => kelu_encryptDataToCMSEnvelopeEx('SM2', $data, $cert['RSA'], 'SM4_ECB', $o)],
    ['KELU_ERR_ENCRYPT', 'a certificate without a subject key identifier', fn (&$o) => kelu_encryptDataToCMSEnvelope('SM2', $data, $pki->base64('sm2-no-key-id'), 'SM4_CBC', $o)],
    ['KELU_ERR_ENCRYPT', 'an RSA envelope of 50 MiB', fn (&$o) => kelu_encryptDataToCMSEnvelope('RSA', $fifty, $cert['RSA'], '3DES', $o)],
    ['KELU_ERR_ENCRYPT', 'an RC4 envelope before the start-up', fn (&$o) => kelu_encryptDataToCMSEnvelope('RSA', $data, $cert['RSA'], 'RC4', $o), true],
    ['KELU_ERR_ENCRYPT', 'kelu_symEncryptData with RC4 before the start-up', fn (&$o) => kelu_symEncryptData($data, 'RC4', $key['RC4'], $o), true],

    ['KELU_ERR_DECRYPT', "another holder's key file, SM2 CBC", fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $env['CBC'], $sm2Other, $pw, $o)],
    ['KELU_ERR_DECRYPT', "another holder's key file, SM2 CBC Ex", fn (&$o) => kelu_decryptDataFromCMSEnvelopeEx('SM2', $env['CBC-Ex'], $sm2Other, $pw, $o)],
    ['KELU_ERR_DECRYPT', "another holder's key file, SM2 ECB", fn (&$o) => kelu_decryptDataFromCMSEnvelope_ECB('SM2', $env['ECB'], $sm2Other, $pw, $o)],
    ['KELU_ERR_DECRYPT', "another holder's key file, RSA 3DES", fn (&$o) => kelu_decryptDataFromCMSEnvelope('RSA', $env['RSA'], $p12Other, $pw, $o)],
    ['KELU_ERR_DECRYPT', 'a text that is no envelope', fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $garbage, $sm2, $pw, $o)],
    ['KELU_ERR_DECRYPT', 'an Ex envelope to kelu_decryptDataFromCMSEnvelope', fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $env['CBC-Ex'], $sm2, $pw, $o)],
    ['KELU_ERR_DECRYPT', 'an envelope to kelu_decryptDataFromCMSEnvelopeEx, its content key no DER', fn (&$o) => first_result_but($PARSE, $rawToEx)],
    ['KELU_ERR_DECRYPT', 'an RSA envelope opened with SM2', fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $env['RSA'], $sm2, $pw, $o)],
    ['KELU_ERR_DECRYPT', 'an SM2 envelope opened with RSA', fn (&$o) => kelu_decryptDataFromCMSEnvelope('RSA', $env['CBC'], $p12, $pw, $o)],
    ['KELU_ERR_DECRYPT', 'RSA: a wrong password', fn (&$o) => kelu_decryptDataFromCMSEnvelope('RSA', $env['RSA'], $p12, 'wrong', $o)],
    ['KELU_ERR_DECRYPT', 'RSA: no PKCS#12 file', fn (&$o) => kelu_decryptDataFromCMSEnvelope('RSA', $env['RSA'], $text, $pw, $o)],
    ['KELU_ERR_DECRYPT', 'kelu_symDecryptData: another key', fn (&$o) => kelu_symDecryptData($cipherText['SM4_CBC'], 'SM4_CBC', $key['other SM4_CBC'], $o)],
    ['KELU_ERR_DECRYPT', 'kelu_symDecryptData: another name', fn (&$o) => kelu_symDecryptData($cipherText['SM4_CBC'], '3DES_CBC', $key['SM4_CBC'], $o)],
    ['KELU_ERR_DECRYPT', 'kelu_symDecryptData: "!!!!"', fn (&$o) => kelu_symDecryptData('!!!!', 'SM4_CBC', $key['SM4_CBC'], $o)],
    ['KELU_ERR_DECRYPT', 'kelu_symDecryptData: "a"', fn (&$o) => kelu_symDecryptData('a', 'SM4_CBC', $key['SM4_CBC'], $o)],
    ['KELU_ERR_DECRYPT', 'kelu_symDecryptData: "AA==AA"', fn (&$o) => kelu_symDecryptData('AA==AA', '3DES_CBC', $key['3DES_CBC'], $o)],
    ['KELU_ERR_DECRYPT', 'kelu_symDecryptFile: another key', fn (&$o) => kelu_symDecryptFile('SM4_CBC', $encrypted, $key['other SM4_CBC'], $out)],
    ['KELU_ERR_DECRYPT', 'kelu_symDecryptFile: not whole blocks', fn (&$o) => kelu_symDecryptFile('SM4_CBC', $file, $fileKey, $out)],
    ['KELU_ERR_DECRYPT', 'kelu_symDecryptData with RC4 before the start-up', fn (&$o) => kelu_symDecryptData($garbage, 'RC4', $key['RC4'], $o), true],
    ['KELU_ERR_DECRYPT', 'an RC4 envelope opened before the start-up', fn (&$o) => kelu_decryptDataFromCMSEnvelope('RSA', $env['RC4'], $p12, $pw, $o), true],

    ['KELU_ERR_BAD_SIGNATURE', 'other data', fn (&$o) => kelu_verifyDataSignature_PKCS1('SM2', 'other data', $cert['SM2'], '', $sig['SM2']['PKCS1'])],
    ['KELU_ERR_BAD_SIGNATURE', "another signer's certificate", fn (&$o) => kelu_verifyDataSignature_PKCS1('SM2', $data, $pki->base64('sm2-other'), '', $sig['SM2']['PKCS1'])],
    ['KELU_ERR_BAD_SIGNATURE', 'a damaged signature', fn (&$o) => kelu_verifyDataSignature_PKCS7Attached('SM2', $tampered, $o, $o)],
    ['KELU_ERR_BAD_SIGNATURE', 'RSA: a messageDigest attribute that differs', fn (&$o) => kelu_verifyDataSignature_PKCS7Detached('RSA', 'other data', $withAttributes, $o)],
    ['KELU_ERR_BAD_SIGNATURE', 'a certificate argument that is no certificate', fn (&$o) => kelu_verifyDataSignature_PKCS1('RSA', $data, $garbage, 'SHA-256', $sig['RSA']['PKCS1'])],
    ['KELU_ERR_BAD_SIGNATURE', 'a certificate of the other algorithm', fn (&$o) => kelu_verifyDataSignature_PKCS1('SM2', $data, $cert['RSA'], '', $sig['SM2']['PKCS1'])],
    ['KELU_ERR_BAD_SIGNATURE', 'a damaged certificate inside a SignedData', fn (&$o) => kelu_verifyDataSignature_PKCS7Detached('SM2', $data, $damagedCertInside, $o)],
    ['KELU_ERR_BAD_SIGNATURE', 'a signature text that is no signature', fn (&$o) => kelu_verifyDataSignature_PKCS7Detached('SM2', $data, $garbage, $o)],
    ['KELU_ERR_BAD_SIGNATURE', 'file verifier, RSA: another file', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('RSA', $otherFile, $sig['RSA']['file'], $o)],

    ['KELU_ERR_UNKNOWN_HASH', 'file verifier, RSA: rsaEncryption as the digest', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('RSA', $file, with_bytes($sig['RSA']['file'], $sha256Oid, $rsaEncryptionOid), $o)],

    ['KELU_ERR_BASE64_DECODE', 'an empty cipher text', fn (&$o) => kelu_symDecryptData('', 'SM4_CBC', $key['SM4_CBC'], $o)],
    ['KELU_ERR_BASE64_DECODE', 'an empty SM2 key file to a signer', fn (&$o) => kelu_signFile_PKCS7Detached('SM2', $file, $empty, $pw, '', $o)],
    ['KELU_ERR_BASE64_DECODE', 'an empty SM2 key file to an opener', fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $env['CBC'], $empty, $pw, $o)],
    ['KELU_ERR_BASE64_DECODE', 'an empty SM2 key file to kelu_getPublicCertFromPFX', fn (&$o) => kelu_getPublicCertFromPFX('SM2', $empty, $pw, $o)],

    ['KELU_ERR_CERT_VALIDITY', 'bit 0x1: expired', fn (&$o) => kelu_verifyCertificate($pki->base64('sm2-expired'), 1, '', '')],
    ['KELU_ERR_CERT_VALIDITY', 'bit 0x1: not yet valid', fn (&$o) => kelu_verifyCertificate($pki->base64('sm2-future'), 1, '', '')],
    ['KELU_ERR_CERT_VALIDITY', 'bit 0x4: expired', fn (&$o) => kelu_verifyCertificate($pki->base64('sm2-expired'), 4, $ca, '')],
    ['KELU_ERR_CERT_REVOKED', 'bit 0x2: revoked', fn (&$o) => kelu_verifyCertificate($pki->base64('sm2-revoked'), 2, '', $crl)],
    ['KELU_ERR_CERT_UNTRUSTED', 'bit 0x4: another root', fn (&$o) => kelu_verifyCertificate($pki->base64('sm2-foreign'), 4, $ca, '')],

    ['KELU_ERR_PARSE', 'kelu_decryptDataFromCMSEnvelopeEx: a content key of another shape', fn (&$o) => kelu_decryptDataFromCMSEnvelopeEx('SM2', with_content_key_reshaped($env['CBC-Ex']), $sm2, $pw, $o)],
    ['KELU_ERR_PARSE', 'kelu_decryptDataFromCMSEnvelopeEx_ECB: a content key of another shape', fn (&$o) => kelu_decryptDataFromCMSEnvelopeEx_ECB('SM2', with_content_key_reshaped($env['ECB-Ex']), $sm2, $pw, $o)],
    ['KELU_ERR_PARSE', 'an envelope to kelu_decryptDataFromCMSEnvelopeEx, its content key read as DER', fn (&$o) => first_result_but($DECRYPT, $rawToEx)],
    ['KELU_ERR_PARSE', 'a damaged PKCS#12 file to a data signer', fn (&$o) => kelu_signData_PKCS7Attached('RSA', $data, $damagedP12, $pw, 'SHA-256', $o)],
    ['KELU_ERR_PARSE', 'a damaged PKCS#12 file to the file signer', fn (&$o) => kelu_signFile_PKCS7Detached('RSA', $file, $damagedP12, $pw, 'SHA-1', $o)],
    ['KELU_ERR_PARSE', 'a damaged PKCS#12 file to an opener', fn (&$o) => kelu_decryptDataFromCMSEnvelope('RSA', $env['RSA'], $damagedP12, $pw, $o)],
    ['KELU_ERR_PARSE', 'a damaged PKCS#12 file to kelu_getPublicCertFromPFX', fn (&$o) => kelu_getPublicCertFromPFX('RSA', $damagedP12, $pw, $o)],

    ['KELU_ERR_ASN1_TOO_LARGE', 'an SM2 envelope of 50 MiB', fn (&$o) => kelu_encryptDataToCMSEnvelope('SM2', $fifty, $cert['SM2'], 'SM4_CBC', $o)],
    ['KELU_ERR_ASN1_TOO_LARGE', 'an SM2 attached signature of 50 MiB', fn (&$o) => kelu_signData_PKCS7Attached('SM2', $fifty, $sm2, $pw, '', $o)],

    ['KELU_ERR_KEY_FILE_FORMAT', 'a text key file to a signer', fn (&$o) => kelu_signData_PKCS1('SM2', $data, $text, $pw, '', $o)],
    ['KELU_ERR_KEY_FILE_FORMAT', 'a PKCS#12 file as SM2 key file to kelu_getPublicCertFromPFX', fn (&$o) => kelu_getPublicCertFromPFX('SM2', $p12, $pw, $o)],

    ['KELU_ERR_PKCS7_FORMAT', 'SM2: an attached SignedData to the detached verifier', fn (&$o) => kelu_verifyDataSignature_PKCS7Detached('SM2', $data, $sig['SM2']['PKCS7Attached'], $o)],
    ['KELU_ERR_PKCS7_FORMAT', 'SM2: an attached SignedData to the file verifier', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('SM2', $file, $sig['SM2']['PKCS7Attached'], $o)],
    ['KELU_ERR_PKCS7_FORMAT', 'SM2: a detached SignedData to the attached verifier', fn (&$o) => kelu_verifyDataSignature_PKCS7Attached('SM2', $sig['SM2']['PKCS7Detached'], $o, $o)],
    ['KELU_ERR_PKCS7_FORMAT', 'SM2: an envelope to a verifier', fn (&$o) => kelu_verifyDataSignature_PKCS7Detached('SM2', $data, $env['CBC'], $o)],
    ['KELU_ERR_PKCS7_FORMAT', 'file verifier, RSA: an attached SignedData', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('RSA', $file, $sig['RSA']['PKCS7Attached'], $o)],
    ['KELU_ERR_PKCS7_FORMAT', 'file verifier, RSA: an envelope', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('RSA', $file, $env['RSA'], $o)],
    ['KELU_ERR_PKCS7_FORMAT', 'file verifier, RSA: signed attributes', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('RSA', $file, $withAttributes, $o)],
    ['KELU_ERR_PKCS7_FORMAT', 'file verifier, RSA: a digest OID unknown to OpenSSL', fn (&$o) => kelu_verifyFileSignature_PKCS7Detached('RSA', $file, with_bytes($sig['RSA']['file'], $sha256Oid, $unknownOid), $o)],

    ['KELU_ERR_ENVELOPE_FORMAT', 'an SM4-ECB envelope to a CBC opener', fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $env['ECB'], $sm2, $pw, $o)],
    ['KELU_ERR_ENVELOPE_FORMAT', 'an SM4-CBC envelope to an ECB opener', fn (&$o) => kelu_decryptDataFromCMSEnvelope_ECB('SM2', $env['CBC'], $sm2, $pw, $o)],
    ['KELU_ERR_ENVELOPE_FORMAT', 'SM2: a SignedData to an opener', fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $sig['SM2']['PKCS7Attached'], $sm2, $pw, $o)],
    ['KELU_ERR_ENVELOPE_FORMAT', 'RSA: a SignedData to an opener', fn (&$o) => kelu_decryptDataFromCMSEnvelope('RSA', $sig['RSA']['PKCS7Attached'], $p12, $pw, $o)],

    ['KELU_ERR_SIGN', 'RSA: a wrong password', fn (&$o) => kelu_signData_PKCS1('RSA', $data, $p12, 'wrong', 'SHA-256', $o)],
    ['KELU_ERR_SIGN', 'RSA: no PKCS#12 file', fn (&$o) => kelu_signData_PKCS7Detached('RSA', $data, $text, $pw, 'SHA-256', $o)],
    ['KELU_ERR_SIGN', 'RSA: no certificate', fn (&$o) => kelu_signData_PKCS7Attached('RSA', $data, "$work/no-cert.p12", $pw, 'SHA-256', $o)],

    ['KELU_ERR_KEY_FILE_PASSWORD', 'SM2: a wrong password to a signer', fn (&$o) => kelu_signFile_PKCS7Detached('SM2', $file, $sm2, 'wrong', '', $o)],
    ['KELU_ERR_KEY_FILE_PASSWORD', 'SM2: a wrong password to an opener', fn (&$o) => kelu_decryptDataFromCMSEnvelopeEx_ECB('SM2', $env['ECB-Ex'], $sm2, 'wrong', $o)],
    ['KELU_ERR_KEY_FILE_PASSWORD', "SM2: a key that is not its certificate's", fn (&$o) => kelu_signData_PKCS1('SM2', $data, $mismatched, $pw, '', $o)],
    ['KELU_ERR_KEY_FILE_PASSWORD', 'SM2: no SM2 key file to an opener', fn (&$o) => kelu_decryptDataFromCMSEnvelope('SM2', $env['CBC'], $p12, $pw, $o)],

    ['KELU_ERR_VERIFY_CERT', 'a text that is no certificate', fn (&$o) => kelu_verifyCertificate($garbage, 1, '', '')],
    ['KELU_ERR_VERIFY_CERT', 'bit 0x2: a folder as the CRL', fn (&$o) => kelu_verifyCertificate($cert['SM2'], 2, '', $folder)],
    ['KELU_ERR_VERIFY_CERT', "bit 0x2: another issuer's CRL", fn (&$o) => kelu_verifyCertificate($pki->base64('sm2-foreign'), 2, '', $crl)],
    ['KELU_ERR_VERIFY_CERT', 'bit 0x4: a CA file that is no certificate', fn (&$o) => kelu_verifyCertificate($cert['SM2'], 4, $text, '')],

    ['KELU_ERR_CERT_INFO', 'a text that is no certificate', fn (&$o) => kelu_getCertificateInfo($garbage, 'Owner', $o)],
    ['KELU_ERR_CERT_INFO', 'CertType of an ECDSA certificate', fn (&$o) => kelu_getCertificateInfo(base64_encode(file_get_contents("$work/ec.der")), 'CertType', $o)],
    ['KELU_ERR_CERT_INFO', 'SerialNumber 0', fn (&$o) => kelu_getCertificateInfo(base64_encode(file_get_contents("$work/zero.der")), 'SerialNumber', $o)],

    ['KELU_ERR_KEY_USAGE', 'a signer without digitalSignature', fn (&$o) => kelu_signData_PKCS1('SM2', $data, $sm2Encipherer, $pw, '', $o)],
    ['KELU_ERR_KEY_USAGE', 'a recipient without keyEncipherment', fn (&$o) => kelu_encryptDataToCMSEnvelope('SM2', $data, $pki->base64('sm2-sign'), 'SM4_CBC', $o)],
    ['KELU_ERR_KEY_USAGE', 'a certificate without keyUsage', fn (&$o) => kelu_encryptDataToCMSEnvelopeEx('SM2', $data, $pki->base64('sm2-no-usage'), 'SM4_ECB', $o)],

    ['KELU_LOG_ERR_INIT', 'a malformed configuration', fn (&$o) => kelu_initialize("$work/malformed.conf"), true],
    ['KELU_LOG_ERR_NO_CONFIG', 'no configuration', fn (&$o) => kelu_initialize($missing), true],
];

// The cases of one phase; each must give its row's code and, failing, keep its output.
function run_cases(array $cases, array $codes, bool $beforeStartUp, array &$seen): void {
    foreach ($cases as $case) {
        [$name, $situation, $call] = $case;
        if (($case[3] ?? false) !== $beforeStartUp) continue;
        $seen[$name] = true;
        if (!check_row($codes, $name)) continue;
        $out = 'kept';
        check_same($codes[$name][0], $call($out), "$name: $situation");
        if ($name !== 'KELU_OK') check_same('kept', $out, "$name: $situation: output kept");
    }
}

function check_row(array $codes, string $name): bool {
    check(isset($codes[$name]), "$name has a row in the README's table");
    return isset($codes[$name]);
}

$seen = [];
run_cases($cases, $codes, true, $seen);
check_same(KELU_OK, kelu_initialize($config), 'start-up');
run_cases($cases, $codes, false, $seen);
check_same(KELU_OK, kelu_uninitialize(), 'shut-down');
unlink($hugeKeyFile);
unlink($hugePlain);

foreach ($codes as $name => [, $text]) {
    if (str_starts_with($text, 'no function')) {
        check(!isset($seen[$name]), "$name: the README says no function gives it, yet a case names it");
    } else {
        check(isset($seen[$name]), "$name: a case for its row");
    }
}

finish();
