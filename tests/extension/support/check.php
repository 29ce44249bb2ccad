<?php
// Assertions for the module's test scripts: each failed check is printed, and the script exits
// non-zero at the end (or at once on a fatal problem).

$GLOBALS['kelu_failures'] = 0;

function check(bool $ok, string $what): void {
    if (!$ok) {
        $GLOBALS['kelu_failures']++;
        $where = debug_backtrace(DEBUG_BACKTRACE_IGNORE_ARGS, 1)[0];
        fwrite(STDERR, "FAILED: $what (line {$where['line']})\n");
    }
}

function check_same($want, $got, string $what): void {
    if ($want !== $got) {
        $GLOBALS['kelu_failures']++;
        $where = debug_backtrace(DEBUG_BACKTRACE_IGNORE_ARGS, 1)[0];
        fwrite(STDERR, "FAILED: $what (line {$where['line']}): want " . var_export($want, true)
            . ", got " . var_export($got, true) . "\n");
    }
}

function finish(): void {
    $n = $GLOBALS['kelu_failures'];
    if ($n > 0) {
        fwrite(STDERR, "$n check(s) failed\n");
        exit(1);
    }
    echo "all checks passed\n";
    exit(0);
}

// A fresh scratch folder for this script under the build tree.
function work_dir(): string {
    $dir = getenv('KELU_TEST_WORK_DIR');
    if ($dir === false || $dir === '') {
        fwrite(STDERR, "KELU_TEST_WORK_DIR is not set\n");
        exit(2);
    }
    if (is_dir($dir)) exec('rm -rf ' . escapeshellarg($dir));
    mkdir($dir, 0700, true);
    return $dir;
}

// A zlog configuration that writes every line of the toolkit's category, message only.
function write_log_config(string $conf, string $log): void {
    file_put_contents($conf, "[formats]\nplain = \"%m%n\"\n[rules]\nkelu_category.DEBUG \"$log\"; plain\n");
}

// A fresh work folder, and the module started with a log, kelu.log there, of every line.
function start_logged(): string {
    $work = work_dir();
    write_log_config("$work/log.conf", "$work/kelu.log");
    check_same(KELU_OK, kelu_initialize("$work/log.conf"), 'start-up');
    return $work;
}

// Runs a call while collecting the warnings it raises.
function with_warnings(callable $call, ?array &$warnings) {
    $warnings = [];
    set_error_handler(function (int $no, string $text) use (&$warnings) {
        $warnings[] = $text;
        return true;
    });
    try {
        return $call();
    } finally {
        restore_error_handler();
    }
}

// The sanitizer build runs php with the sanitizer runtime preloaded.
function under_sanitizer(): bool {
    return str_contains((string) getenv('LD_PRELOAD'), 'asan');
}

// Calls that must fail: each is given an output variable holding 'kept' and must return its
// code (any failure where the code is null) and leave the variable as it was.
function check_failures(array $cases): void {
    foreach ($cases as $what => [$call, $code]) {
        $out = 'kept';
        $rc = $call($out);
        if ($code === null) check($rc !== KELU_OK, "$what fails"); else check_same($code, $rc, $what);
        check_same('kept', $out, "$what: output kept");
    }
}

// A result code as scripts receive it: the 32-bit value, sign-extended.
function signed32(int $code): int {
    return $code >= 0x80000000 ? $code - 0x100000000 : $code;
}

const KELU_OK = 0;
const KELU_ERR_FAILED = -1;
const KELU_ERR_INVALID_PARAMETER = -2147024809;  // 0x80070057
const KELU_LOG_ERR_INIT = 0x6002;
const KELU_LOG_ERR_NO_CONFIG = 0x6007;
// The toolkit's other result codes, as scripts receive them.
define('KELU_ERR_OPEN_FILE', signed32(0x8007006E));
define('KELU_ERR_DECRYPT', signed32(0x80071771));
define('KELU_ERR_BAD_SIGNATURE', signed32(0x80090006));
define('KELU_ERR_BASE64_DECODE', signed32(0xA0071005));
define('KELU_ERR_CERT_VALIDITY', signed32(0xA0071031));
define('KELU_ERR_CERT_REVOKED', signed32(0xA0071032));
define('KELU_ERR_CERT_UNTRUSTED', signed32(0xA0071033));
define('KELU_ERR_ENVELOPE_FORMAT', signed32(0xA0071105));
define('KELU_ERR_KEY_FILE_PASSWORD', signed32(0xA0071108));
define('KELU_ERR_VERIFY_CERT', signed32(0xA0071109));
define('KELU_ERR_CERT_INFO', signed32(0xA0071110));
define('KELU_ERR_KEY_USAGE', signed32(0xA0072021));
