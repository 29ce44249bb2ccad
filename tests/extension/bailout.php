<?php
// A fatal error of the engine inside a script function: the engine's bail-out must not skip
// the native frames in between. Each case runs in a php of its own, which ends with the fatal
// error; its shutdown function finds the native memory of the call released (the address
// space back where it was before the call) and the module working.
//  - outputs larger than memory_limit allows, text (an encryption) and bytes (a decryption);
//  - a probe module whose function holds 64 MiB while an engine call bails out under it.
// Under the sanitizers the engine's allocator is off: the tracked allocator keeps
// memory_limit; freed memory stays in the sanitizer's quarantine, so the address space is not
// compared there, and the leak check is left to the probe's count (php itself leaks at a fatal
// error when its allocator is off).
require __DIR__ . '/support/check.php';

$php = [PHP_BINARY, '-n', '-d', 'extension=' . getenv('KELU_TEST_MODULE')];
$sanitized = under_sanitizer();
if ($sanitized) {
    putenv('USE_TRACKED_ALLOC=1');
    putenv('ASAN_OPTIONS=' . getenv('ASAN_OPTIONS') . ':detect_leaks=0');
}
$probe = ['-d', 'extension=' . getenv('KELU_TEST_BAILOUT_PROBE')];

function run_child(array $command, ?string &$output): int {
    $process = proc_open($command, [1 => ['pipe', 'w'], 2 => ['pipe', 'w']], $pipes);
    $output = stream_get_contents($pipes[1]) . stream_get_contents($pipes[2]);
    fclose($pipes[1]);
    fclose($pipes[2]);
    return proc_close($process);
}

$child = __DIR__ . '/support/bailout_child.php';
foreach (['text' => [[], 'Allowed memory size of'], 'bytes' => [[], 'Allowed memory size of'],
          'probe' => [$probe, 'escalated: Array to string conversion']] as $mode => [$extra, $fatal]) {
    // Blocks of 32 MiB and more are always given back to the system when freed; the
    // sanitizers' own checks need no more than a smaller, faster run.
    $status = run_child([...$php, ...$extra, $child, $mode, $sanitized ? '20' : '40'], $output);
    check_same(255, $status, "$mode: the fatal error's exit status\n$output");
    check(str_contains($output, "Fatal error: $fatal"), "$mode: the fatal error\n$output");
    check(!str_contains($output, 'the call returned'), "$mode: the script ended at the call");
    preg_match('/^\{.*\}$/m', $output, $m);
    $report = json_decode($m[0] ?? 'null', true);
    check(is_array($report), "$mode: the shutdown function ran\n$output");
    if (!is_array($report)) continue;
    // The call held over 100 MiB of native memory (the probe 64 MiB).
    if (!$sanitized) {
        check($report['grown'] < (8 << 20), "$mode: native memory released (grown by {$report['grown']} bytes)");
    }
    check_same('900150983CD24FB0D6963F7D28E17F72', $report['hash'], "$mode: the module works afterwards");
    if ($mode === 'probe') check_same(1, $report['released'], 'probe: the held object was destroyed once');
}

finish();
