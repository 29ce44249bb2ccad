<?php
// Symmetric keys and ciphers from scripts: the key texts of kelu_genSymKey and
// kelu_symEncryptFile, the cipher texts and encrypted files, all as `openssl enc` and PHP's
// openssl_encrypt make them with the same IV and key; data with zero bytes passes whole both
// ways; failures leave the outputs as they were; the log shows no key and no plaintext.
require __DIR__ . '/support/check.php';

$work = start_logged();


// Name => [openssl cipher, IV bytes, key bytes]: the key text is the IV, then the key.
const CIPHERS = ['SM4_CBC' => ['sm4-cbc', 16, 16], '3DES_CBC' => ['des-ede3-cbc', 8, 24],
                 'RC4' => ['rc4', 0, 16]];

function key_parts(string $name, string $keyText): array {
    [, $ivSize, $keySize] = CIPHERS[$name];
    $bytes = hex2bin($keyText);
    return [substr($bytes, 0, $ivSize), substr($bytes, $ivSize, $keySize)];
}

// `openssl enc` over files; RC4 lives in the legacy provider.
function openssl_enc(string $name, string $keyText, string $in, string $out, bool $decrypt): void {
    [$iv, $key] = key_parts($name, $keyText);
    $cmd = 'openssl enc -' . CIPHERS[$name][0] . ($decrypt ? ' -d' : ' -e') . ' -K ' . bin2hex($key)
        . ($iv !== '' ? ' -iv ' . bin2hex($iv) : '') . ($name === 'RC4' ? ' -provider legacy -provider default' : '')
        . ' -in ' . escapeshellarg($in) . ' -out ' . escapeshellarg($out) . ' 2>&1';
    exec($cmd, $lines, $status);
    check_same(0, $status, "$cmd: " . implode(' ', $lines));
}

// The peer's cipher text: PHP's openssl_encrypt, or for RC4, which PHP's openssl does not
// offer (the toolkit's legacy provider is its own), `openssl enc`.
function peer_encrypt(string $name, string $keyText, string $plain, string $work): string {
    [$iv, $key] = key_parts($name, $keyText);
    if ($name !== 'RC4') return openssl_encrypt($plain, CIPHERS[$name][0], $key, OPENSSL_RAW_DATA, $iv);
    file_put_contents("$work/peer.in", $plain);
    openssl_enc($name, $keyText, "$work/peer.in", "$work/peer.out", false);
    return file_get_contents("$work/peer.out");
}

// Odd parity in every byte: the three DES keys of a 3DES key.
function odd_parity(string $bytes): bool {
    foreach (str_split($bytes) as $b) if (substr_count(decbin(ord($b)), '1') % 2 === 0) return false;
    return true;
}

$keys = [];  // every key text seen, to be looked for in the log

// ---- kelu_genSymKey ----
foreach (['SM4_CBC' => 64, 'sm4_cbc' => 64, '3DES_CBC' => 64, '3des_Cbc' => 64, 'RC4' => 32, 'rc4' => 32]
         as $name => $length) {
    $a = $b = '';
    check_same(KELU_OK, kelu_genSymKey($name, $a), "kelu_genSymKey($name)");
    check_same(KELU_OK, kelu_genSymKey($name, $b), "kelu_genSymKey($name) again");
    check_same($length, strlen($a), "$name key text length");
    check_same(1, preg_match('/^[0-9A-F]+$/', $a), "$name key text is upper-case hexadecimal");
    check($a !== $b, "$name keys differ");
    if (strtoupper($name) === '3DES_CBC') check(odd_parity(key_parts('3DES_CBC', $a)[1]), '3DES key parity');
    $keys[] = $a;
    $keys[] = $b;
}
foreach (['', 'SM4', 'AES', "SM4_CBC\0"] as $wrong) {
    $out = 'kept';
    check_same(KELU_ERR_INVALID_PARAMETER, kelu_genSymKey($wrong, $out), 'kelu_genSymKey(' . var_export($wrong, true) . ')');
    check_same('kept', $out, 'no key for ' . var_export($wrong, true));
}

// ---- kelu_symEncryptData and kelu_symDecryptData against openssl ----
$marker = 'PLAINTEXT-MARKER';
$samples = ['one byte' => 'x', 'zero bytes' => "\0", 'text' => $marker,
            'zero inside' => "$marker\0after the zero byte\0", '16 bytes' => str_repeat('b', 16),
            'random' => random_bytes(100003)];
foreach (array_keys(CIPHERS) as $name) {
    $keyText = '';
    kelu_genSymKey($name, $keyText);
    $keys[] = $keyText;
    foreach ($samples as $what => $plain) {
        $sealed = 'old';
        check_same(KELU_OK, kelu_symEncryptData($plain, $name, $keyText, $sealed), "$name encrypts $what");
        $want = peer_encrypt($name, $keyText, $plain, $work);
        check_same(base64_encode($want), $sealed, "$name cipher text of $what equals the peer's");
        $opened = 'old';
        check_same(KELU_OK, kelu_symDecryptData(base64_encode($want), $name, strtolower($keyText), $opened),
            "$name decrypts the peer's $what");
        check_same($plain, $opened, "$name: the whole plaintext of $what");
    }
    // One round through `openssl enc` as a separate process.
    file_put_contents("$work/plain.bin", $samples['zero inside']);
    openssl_enc($name, $keyText, "$work/plain.bin", "$work/enc.bin", false);
    $opened = '';
    check_same(KELU_OK, kelu_symDecryptData(base64_encode(file_get_contents("$work/enc.bin")), $name, $keyText, $opened),
        "$name decrypts openssl enc");
    check_same($samples['zero inside'], $opened, "$name plaintext of openssl enc");
    $sealed = '';
    kelu_symEncryptData($samples['random'], $name, $keyText, $sealed);
    file_put_contents("$work/enc.bin", base64_decode($sealed));
    openssl_enc($name, $keyText, "$work/enc.bin", "$work/dec.bin", true);
    check_same($samples['random'], file_get_contents("$work/dec.bin"), "openssl enc -d of the $name cipher text");
}

// Failures: the code reaches the script as a signed integer and the output keeps its value.
$sm4 = '';
kelu_genSymKey('SM4_CBC', $sm4);
$keys[] = $sm4;
$sealed = '';
kelu_symEncryptData($marker, 'SM4_CBC', $sm4, $sealed);
$otherKey = substr($sm4, 0, 32) . strrev(substr($sm4, 32));
check_failures([
    'empty data' => [fn (&$o) => kelu_symEncryptData('', 'SM4_CBC', $sm4, $o), KELU_ERR_INVALID_PARAMETER],
    'unknown name' => [fn (&$o) => kelu_symEncryptData('x', 'SM4-CBC', $sm4, $o), KELU_ERR_INVALID_PARAMETER],
    'key text not hexadecimal' => [fn (&$o) => kelu_symEncryptData('x', 'SM4_CBC', str_repeat('G', 64), $o), KELU_ERR_INVALID_PARAMETER],
    'key text with a zero byte' => [fn (&$o) => kelu_symEncryptData('x', 'SM4_CBC', substr($sm4, 0, 63) . "\0", $o), KELU_ERR_INVALID_PARAMETER],
    'key text too short' => [fn (&$o) => kelu_symDecryptData($sealed, 'SM4_CBC', substr($sm4, 0, 62), $o), KELU_ERR_INVALID_PARAMETER],
    'name with a zero byte' => [fn (&$o) => kelu_symDecryptData($sealed, "SM4_CBC\0x", $sm4, $o), KELU_ERR_INVALID_PARAMETER],
]);
$out = 'kept';
$rc = kelu_symDecryptData($sealed, 'SM4_CBC', $otherKey, $out);
check($rc === KELU_ERR_DECRYPT || $rc === KELU_OK && $out !== $marker, 'a wrong key does not give the plaintext');
if ($rc !== KELU_OK) check_same('kept', $out, 'wrong key: output kept');
check_same(KELU_ERR_BASE64_DECODE, kelu_symDecryptData('', 'SM4_CBC', $sm4, $out), 'empty cipher text');

// ---- kelu_symEncryptFile and kelu_symDecryptFile against openssl enc ----
foreach (['SM4_CBC', '3DES_CBC'] as $name) {
    foreach ([1, 16383, 16384, 16385, 200001] as $size) {
        $plain = "$work/plain-$size.bin";
        file_put_contents($plain, $size > 1 ? random_bytes($size) : "\0");
        $keyText = 'old';
        check_same(KELU_OK, kelu_symEncryptFile(strtolower($name), $plain, "$work/enc.bin", $keyText),
            "$name encrypts a $size-byte file");
        check_same(64, strlen($keyText), "$name file key text");
        $keys[] = $keyText;
        openssl_enc($name, $keyText, "$work/enc.bin", "$work/dec.bin", true);
        check_same(file_get_contents($plain), file_get_contents("$work/dec.bin"), "openssl enc -d of the $size-byte $name file");
        check_same(KELU_OK, kelu_symDecryptFile($name, "$work/enc.bin", $keyText, "$work/back.bin"),
            "$name decrypts its $size-byte file");
        check_same(file_get_contents($plain), file_get_contents("$work/back.bin"), "$name file round trip");
    }
    // A file of openssl enc under a key text of GenSymKey.
    $keyText = '';
    kelu_genSymKey($name, $keyText);
    $keys[] = $keyText;
    openssl_enc($name, $keyText, "$work/plain-16385.bin", "$work/openssl.bin", false);
    check_same(KELU_OK, kelu_symDecryptFile($name, "$work/openssl.bin", $keyText, "$work/back.bin"),
        "$name decrypts the file of openssl enc");
    check_same(file_get_contents("$work/plain-16385.bin"), file_get_contents("$work/back.bin"), "$name openssl file");
}
$out = 'kept';
check_same(KELU_ERR_INVALID_PARAMETER, kelu_symEncryptFile('RC4', "$work/plain-1.bin", "$work/enc.bin", $out), 'RC4 files');
check_same(KELU_ERR_OPEN_FILE, kelu_symEncryptFile('SM4_CBC', "$work/missing", "$work/enc.bin", $out), 'missing file');
check_same(KELU_ERR_INVALID_PARAMETER,
    kelu_symEncryptFile('SM4_CBC', "$work/plain-1.bin\0.txt", "$work/enc.bin", $out), 'a path with a zero byte, though the path before it names a file');
check_same('kept', $out, 'file key output kept');
$file = '';
kelu_symEncryptFile('SM4_CBC', "$work/plain-200001.bin", "$work/enc.bin", $file);
check_same(KELU_ERR_FAILED, kelu_symDecryptFile('SM4_CBC', "$work/enc.bin", substr($file, 0, 32), "$work/back.bin"),
    'a 16-byte key text for a file');
check_same(0, filesize("$work/back.bin"), 'a failed decryption leaves its output file empty');

check_same(KELU_OK, kelu_uninitialize(), 'shut-down');

// ---- The log: lengths of keys and plaintexts, never their values ----
$log = file_get_contents("$work/kelu.log");
foreach (array_unique($keys) as $k) {
    check(stripos($log, $k) === false, "key text $k is not in the log");
}
check(!str_contains($log, $marker), 'no plaintext in the log');
check(str_contains($log, "strSymKey size:[64]\n"), 'the length of a key text given');
check(str_contains($log, "strPlainData size:[" . strlen($samples['zero inside']) . "]\n"), 'the length of a plaintext given');
check(str_contains($log, "nPlainDataLen:[" . strlen($samples['zero inside']) . "]\n"), 'the length of a plaintext decrypted');
check(str_contains($log, "(kelu_symDecryptData -- New memory)\t\t--OK\n"), 'the copy of the plaintext');
check(str_contains($log, "strBase64EncryptedMessage:[$sealed]\n"), 'the cipher text given');
check(str_contains($log, "(kelu_symEncryptData -- SymEncryptData)\t\t--OK\n"), 'the call step');
check(str_contains($log, "(kelu_symDecryptData -- SymDecryptData)\t\t--Failed:(0x80071771) [Reason:KELU_OK != nResult]\n")
    || $rc === KELU_OK, 'the failed call step');
check(str_contains($log, "(kelu_symEncryptData -- strSymKey)\t\t--Failed:(0x80070057) "
    . "[Reason:strlen(strSymKey.c_str()) != strSymKey.size()]\n"), 'a key text with a zero byte');
check(str_contains($log, "strPlainFilePath:[$work/plain-1.bin]\n"), 'a path');

finish();
