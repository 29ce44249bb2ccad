<?php
// The hash functions refuse what they cannot digest before any digest is made: names outside
// the table (matched whole, without regard to case), paths that do not name a readable file,
// and data too long for the digest interface. The output variable keeps its value.
require __DIR__ . '/support/check.php';

const KEPT = 'kept value';
$work = work_dir();
$file = "$work/data.bin";
file_put_contents($file, "some bytes");

function data_hash(string $data, string $name, ?string &$out = KEPT): int {
    $out = KEPT;
    return kelu_calculateDataHash($data, $name, $out);
}

function file_hash(string $path, string $name, ?string &$out = KEPT): int {
    $out = KEPT;
    return kelu_calculateFileHash($path, $name, $out);
}

$refused = ['SHA256', 'SHA1', 'SM3 ', ' SM3', 'SM-3', '', 'SHA-512', 'SHA-384', 'SM3' . "\0",
            "MD5\0junk", 'SHA-2560', 'SHA-'];
foreach ($refused as $name) {
    $what = var_export($name, true);
    check_same(KELU_ERR_INVALID_PARAMETER, data_hash('abc', $name, $out), "data hash named $what");
    check_same(KEPT, $out, "data hash named $what: output kept");
    check_same(KELU_ERR_INVALID_PARAMETER, file_hash($file, $name, $out), "file hash named $what");
    check_same(KEPT, $out, "file hash named $what: output kept");
}

// Paths: the file is opened before the name is looked at.
$paths = [
    'missing file' => "$work/missing.bin",
    'directory' => $work,
    'path cut by a zero byte' => "$file\0.ignored",
    'empty path' => '',
];
foreach ($paths as $what => $path) {
    foreach (['MD5', 'no such digest'] as $name) {
        check_same(KELU_ERR_INVALID_PARAMETER, file_hash($path, $name, $out), "$what, $name");
        check_same(KEPT, $out, "$what, $name: output kept");
    }
}

// Whatever a digest step returns, a failure leaves the output alone.
foreach (['SM3', 'sm3', 'MD5', 'SHA-1', 'sha-256'] as $name) {
    $r = data_hash("abc", $name, $out);
    if ($r !== KELU_OK) check_same(KEPT, $out, "data hash $name failed with $r: output kept");
    $r = file_hash($file, $name, $out);
    if ($r !== KELU_OK) check_same(KEPT, $out, "file hash $name failed with $r: output kept");
}

// More than INT_MAX bytes cannot be handed to the digest interface: refused, not cut.
$available = 0;
if (preg_match('/^MemAvailable:\s+(\d+) kB/m', (string) @file_get_contents('/proc/meminfo'), $m)) {
    $available = (int) $m[1] * 1024;
}
if ($available > 8 * 1024 ** 3) {
    ini_set('memory_limit', '-1');
    $huge = str_repeat('a', 2 ** 31);
    check_same(KELU_ERR_INVALID_PARAMETER, data_hash($huge, 'MD5', $out), 'data of 2^31 bytes');
    check_same(KEPT, $out, 'data of 2^31 bytes: output kept');
    unset($huge);
} else {
    echo "skipped: the 2^31-byte case needs 8 GiB of free memory\n";
}

finish();
