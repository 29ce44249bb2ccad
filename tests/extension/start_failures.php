<?php
// kelu_initialize failing again and again in one php process: the diagnostic file takes its
// report once, then at most one a minute, and names the cause. A configuration that zlog
// refuses, and a log file that the process cannot open (root's, mode 0600, in a folder of the
// pool's user; the process runs as nobody when the tests run as root).
require __DIR__ . '/support/check.php';

const STARTS = 3000;
const PERIOD_NS = 60_000_000_000;
const COUNT_LINE_AT_MOST = 128;  // "N starts failed since the last report", with its head

// STARTS calls of kelu_initialize($conf), each to return $want, with diagnostics to $errors:
// the file's size after the first and after the last, the time between them, wrong results.
function fail_starts(string $conf, string $errors, int $want): array {
    putenv("ZLOG_PROFILE_ERROR=$errors");
    $wrong = 0;
    $first = 0;
    $began = hrtime(true);
    for ($i = 0; $i < STARTS; ++$i) {
        if (kelu_initialize($conf) !== $want) ++$wrong;
        if ($i === 0) {
            clearstatcache();
            $first = is_file($errors) ? filesize($errors) : 0;
        }
    }
    $elapsed = hrtime(true) - $began;
    clearstatcache();
    return [$first, is_file($errors) ? filesize($errors) : 0, $elapsed, $wrong];
}

if (($argv[1] ?? '') === 'starts') {  // the run as another user, below
    echo json_encode(fail_starts($argv[2], $argv[3], (int) $argv[4]));
    exit(0);
}

// A report at the first start, then at most one a period, each as long as the first and a
// count line.
function check_bounded(array $figures, string $errors, string $cause, string $what): void {
    [$first, $all, $elapsed, $wrong] = $figures;
    check_same(0, $wrong, "$what: every start fails with its code");
    check($first > 0, "$what: the first failure is reported");
    $reports = 2 + intdiv($elapsed, PERIOD_NS);
    check($all <= $reports * ($first + COUNT_LINE_AT_MOST),
        sprintf("$what: %d bytes after %d starts in %d ms (the first %d)", $all, STARTS,
            intdiv($elapsed, 1_000_000), $first));
    check(str_contains((string) @file_get_contents($errors), $cause), "$what: names $cause");
}

$work = work_dir();
chmod($work, 0755);

$refused = "$work/refused.conf";
file_put_contents($refused, "[rules]\nkelu_category.WARN \"$work/kelu.log\", 10 MB * 5\n");
check_bounded(fail_starts($refused, "$work/refused-errors.log", KELU_LOG_ERR_INIT),
    "$work/refused-errors.log", 'bad rotation size [10 MB]', 'refused configuration');

$as_root = trim((string) shell_exec('id -u')) === '0';
$logs = "$work/logs";
mkdir($logs, 0755);
file_put_contents("$logs/kelu.log", '');
chmod("$logs/kelu.log", $as_root ? 0600 : 0);
$locked = "$work/locked.conf";
file_put_contents($locked, "[rules]\nkelu_category.WARN \"$logs/kelu.log\"\n");
chmod($locked, 0644);
$errors = "$logs/errors.log";
if ($as_root) {
    check(chown($logs, 'nobody'), 'the log folder is the worker\'s');
    $command = sprintf(
        'setpriv --reuid=nobody --regid=%d --clear-groups %s -n -d extension=%s %s starts %s %s %d',
        (int) trim((string) shell_exec('id -g nobody')), escapeshellarg(PHP_BINARY),
        escapeshellarg((string) getenv('KELU_TEST_MODULE')), escapeshellarg(__FILE__),
        escapeshellarg($locked), escapeshellarg($errors), KELU_LOG_ERR_INIT);
    $figures = json_decode((string) shell_exec($command), true);
    check(is_array($figures), "the run as nobody: $command");
} else {
    $figures = fail_starts($locked, $errors, KELU_LOG_ERR_INIT);
}
if (is_array($figures)) {
    check_bounded($figures, $errors, 'kelu.log] fail, errno[13]', 'log file of root\'s');
}

finish();
