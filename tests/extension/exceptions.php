<?php
// A C++ exception inside a script function never reaches the engine: the call raises a PHP
// Error naming the function, the output keeps its value, and the module goes on working.
// Provoked by memory running out while the data is copied: the address space is capped just
// above what the process uses, after the script's own data was made.
require __DIR__ . '/support/check.php';

// The sanitizer runtime reports running out of memory instead of throwing.
if (under_sanitizer()) {
    echo "skipped: needs the build without sanitizers\n";
    finish();
}

function address_space(): int {
    preg_match('/^VmSize:\s+(\d+) kB/m', (string) file_get_contents('/proc/self/status'), $m);
    return (int) $m[1] * 1024;
}

ini_set('memory_limit', '-1');
$data = str_repeat('d', 256 << 20);
$cap = address_space() + (64 << 20);
exec('prlimit --pid ' . getmypid() . " --as=$cap:$cap 2>&1", $lines, $status);
check_same(0, $status, 'address space capped: ' . implode(' ', $lines));

$out = 'kept';
$error = null;
try {
    $result = kelu_calculateDataHash($data, 'MD5', $out);
    check(false, "the copy of 256 MiB fit under the cap (result $result)");
} catch (Error $e) {
    $error = $e->getMessage();
}
check_same('kelu_calculateDataHash(): internal error: std::bad_alloc', $error, 'the exception as an Error');
check_same('kept', $out, 'output kept');

unset($data);
check_same(KELU_OK, kelu_calculateDataHash('abc', 'MD5', $out), 'the next call works');
check_same('900150983CD24FB0D6963F7D28E17F72', $out, 'and gives its digest');

finish();
