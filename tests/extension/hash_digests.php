<?php
// Digests of data and files as upper-case hexadecimal text, equal to PHP's own hash(), the
// crypto library's digest and `openssl dgst`, for every name of the table in any case.
require __DIR__ . '/support/check.php';

$work = work_dir();

// Table name => [name in openssl_digest, digest length in bytes].
const DIGESTS = ['SM3' => ['sm3', 32], 'MD5' => ['md5', 16], 'SHA-1' => ['sha1', 20],
                 'SHA-256' => ['sha256', 32]];

function reference_digest(string $name, string $bytes): string {
    $algo = DIGESTS[$name][0];
    $want = strtoupper(openssl_digest($bytes, $algo));
    if (in_array($algo, hash_algos(), true)) {
        check_same($want, strtoupper(hash($algo, $bytes)), "openssl_digest and hash() agree on $algo");
    }
    return $want;
}

function dgst_of_file(string $name, string $path): string {
    $line = (string) shell_exec('openssl dgst -' . DIGESTS[$name][0] . ' -r ' . escapeshellarg($path));
    return strtoupper(strtok($line, ' '));
}

// Published SM3 vectors (GB/T 32905): the bytes alone, no Z value.
$out = '';
check_same(KELU_OK, kelu_calculateDataHash('abc', 'SM3', $out), 'SM3 of "abc"');
check_same('66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0', $out, 'SM3 vector 1');
check_same(KELU_OK, kelu_calculateDataHash(str_repeat('abcd', 16), 'SM3', $out), 'SM3 of 64 bytes');
check_same('DEBE9FF92275B8A138604889C18E5A4D6FDB70E5387E5765293DCBA39C0C5732', $out, 'SM3 vector 2');

$samples = [
    'empty' => '',
    'abc' => 'abc',
    'zero bytes' => "a\0b\0\0c\0",
    'one block' => random_bytes(16384),
    'random' => random_bytes(100003),
];
// "SHA-256", "sha-256", "Sha-256", "ShA-256": any case names the same digest.
function spellings(string $name): array {
    $alternating = '';
    foreach (str_split($name) as $i => $c) $alternating .= $i % 2 ? strtolower($c) : $c;
    return array_unique([$name, strtolower($name), ucfirst(strtolower($name)), $alternating]);
}

foreach (DIGESTS as $name => [, $length]) {
    foreach ($samples as $what => $bytes) {
        $want = reference_digest($name, $bytes);
        check_same(2 * $length, strlen($want), "$name length");
        foreach (spellings($name) as $spelling) {
            $out = 'old';
            check_same(KELU_OK, kelu_calculateDataHash($bytes, $spelling, $out), "$spelling of $what");
            check_same($want, $out, "$spelling of $what");
        }
        check_same(1, preg_match('/^[0-9A-F]+$/', $out), "$name of $what is upper-case hex");
    }
}

// Files around the 16384-byte block boundaries.
foreach ([0, 1, 16383, 16384, 16385, 32768, 1048583] as $size) {
    $path = "$work/file-$size.bin";
    $bytes = $size > 0 ? random_bytes($size) : "";
    file_put_contents($path, $bytes);
    foreach (DIGESTS as $name => $unused) {
        $out = '';
        check_same(KELU_OK, kelu_calculateFileHash($path, strtolower($name), $out), "$name of $size-byte file");
        check_same(reference_digest($name, $bytes), $out, "$name of $size-byte file");
        check_same(dgst_of_file($name, $path), $out, "$name of $size-byte file against openssl dgst");
    }
}

// Outputs that are typed properties and array elements receive the text too.
class Holder { public string $text = ''; public ?string $maybe = 'x'; }
$h = new Holder();
check_same(KELU_OK, kelu_calculateDataHash('abc', 'MD5', $h->text), 'typed property output');
check_same('900150983CD24FB0D6963F7D28E17F72', $h->text, 'MD5 into a typed property');
check_same(KELU_OK, kelu_calculateDataHash('abc', 'MD5', $h->maybe), 'nullable typed property');
check_same('900150983CD24FB0D6963F7D28E17F72', $h->maybe, 'MD5 into a nullable typed property');
$list = ['slot' => ''];
check_same(KELU_OK, kelu_calculateFileHash("$work/file-0.bin", 'SHA-1', $list['slot']), 'array element');
check_same('DA39A3EE5E6B4B0D3255BFEF95601890AFD80709', $list['slot'], 'SHA-1 of an empty file');

finish();
