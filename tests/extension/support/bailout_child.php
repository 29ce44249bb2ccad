<?php
// Run by bailout.php in a php of its own: a call that ends in a fatal error, and a shutdown
// function that reports, as one JSON line, how much address space the process holds
// compared with before the call and whether the module still works.
function address_space(): int {
    preg_match('/^VmSize:\s+(\d+) kB/m', (string) file_get_contents('/proc/self/status'), $m);
    return (int) $m[1] * 1024;
}

$mode = $argv[1];
$mib = (int) ($argv[2] ?? 40);
$key = '';
kelu_genSymKey('SM4_CBC', $key);
$plain = str_repeat('p', $mib << 20);
$sealed = '';
if ($mode === 'bytes') {
    kelu_symEncryptData($plain, 'SM4_CBC', $key, $sealed);
    $plain = null;
}
$out = 'kept';
$before = address_space();
register_shutdown_function(function () use ($before, &$out) {
    $kept = $out === 'kept';
    $out = null;  // a large output the engine assigned before it reported the limit
    $hash = '';
    $rc = kelu_calculateDataHash('abc', 'MD5', $hash);
    echo "\n", json_encode(['grown' => address_space() - $before, 'kept' => $kept, 'hash' => $rc === 0 ? $hash : $rc,
        'released' => function_exists('probe_released') ? probe_released() : null]), "\n";
});

switch ($mode) {
    case 'text':
    case 'bytes':
        // The output does not fit under the limit.
        ini_set('memory_limit', (string) (memory_get_usage(true) + (8 << 20)));
        if ($mode === 'text') kelu_symEncryptData($plain, 'SM4_CBC', $key, $out);
        else kelu_symDecryptData($sealed, 'SM4_CBC', $key, $out);
        break;
    case 'probe':
        set_error_handler(function (int $no, string $text) {
            trigger_error("escalated: $text", E_USER_ERROR);
        });
        probe_hold_and_convert([1, 2, 3]);
        break;
}
echo "the call returned\n";
