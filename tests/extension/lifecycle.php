<?php
// kelu_initialize starts logging from the given configuration (or the one KELU_LOG_CONF_PATH
// names) and the crypto library, once; kelu_uninitialize stops both, after which a new start
// reads its configuration anew. PHP's own openssl functions keep working throughout.
require __DIR__ . '/support/check.php';

$work = work_dir();
foreach (['a', 'b', 'c'] as $k) write_log_config("$work/$k.conf", "$work/$k.log");
putenv('KELU_LOG_CONF_PATH');

function log_of(string $path): string {
    clearstatcache();
    return is_file($path) ? file_get_contents($path) : '';
}

function step_ok(string $function, string $step): string {
    return "($function -- $step)\t\t--OK\n";
}

function step_failed(string $function, string $step, int $code, string $reason): string {
    return sprintf("(%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n", $function, $step,
        $code & 0xffffffff, $reason);
}

// PHP's openssl extension shares the process's crypto library with the module.
function check_php_openssl(string $when): void {
    check_same('ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad',
        openssl_digest('abc', 'sha256'), "$when: openssl_digest sha256");
    check_same('66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0',
        openssl_digest('abc', 'sm3'), "$when: openssl_digest sm3");
    // FIPS-197 appendix C.1.
    $key = hex2bin('000102030405060708090a0b0c0d0e0f');
    check_same('69c4e0d86a7b0430d8cdb78070b4c55a',
        bin2hex((string) openssl_encrypt(hex2bin('00112233445566778899aabbccddeeff'), 'aes-128-ecb',
            $key, OPENSSL_RAW_DATA | OPENSSL_ZERO_PADDING)), "$when: openssl_encrypt aes-128-ecb");
    $iv = str_repeat("\1", 16);
    $sealed = openssl_encrypt('some plaintext', 'sm4-cbc', $key, 0, $iv);
    check_same('some plaintext', openssl_decrypt((string) $sealed, 'sm4-cbc', $key, 0, $iv),
        "$when: sm4-cbc round trip");
    $pkey = openssl_pkey_new(['private_key_type' => OPENSSL_KEYTYPE_EC, 'curve_name' => 'prime256v1']);
    check($pkey !== false && openssl_sign('data', $sig, $pkey, 'sha256'), "$when: EC signing");
    $public = openssl_pkey_get_details($pkey)['key'] ?? '';
    check_same(1, openssl_verify('data', (string) $sig, $public, 'sha256'), "$when: EC verifying");
    check_same(32, strlen(openssl_random_pseudo_bytes(32)), "$when: random bytes");
}

check_php_openssl('before start-up');

// First start: from a.conf. Lines before logging started are dropped.
check_same(KELU_OK, kelu_initialize("$work/a.conf"), 'first kelu_initialize');
$a = log_of("$work/a.log");
check(str_contains($a, step_ok('kelu_initialize', 'kelu_log_init_ex')), 'a.log: logging started');
check(str_contains($a, step_ok('kelu_initialize', 'SMKernelInitialize')), 'a.log: crypto started');
check(!str_contains($a, 'strConfigFilePath:['), 'a.log: the path line came before logging');

// A second start is a no-op whatever the path.
check_same(KELU_OK, kelu_initialize("$work/b.conf"), 'second kelu_initialize');
check(str_contains(log_of("$work/a.log"), "kelu_initialize called.\n"), 'a.log: already started');
check(!file_exists("$work/b.log"), 'b.conf was not read');
check_same(KELU_OK, kelu_initialize(''), 'kelu_initialize with an empty path while started');

// Step lines of the script functions go to the log.
$out = 'kept';
kelu_calculateDataHash(1, 'MD5', $out);
kelu_calculateFileHash("$work/missing.bin", 'no such digest', $out);
kelu_calculateDataHash("visible\0hidden", 'sha256', $out);
check_same('kept', $out, 'outputs kept');
$a = log_of("$work/a.log");
check(str_contains($a, step_ok('kelu_calculateDataHash', 'Check params size()')), 'a.log: count OK');
check(str_contains($a, step_failed('kelu_calculateDataHash', 'Check params[0].type.',
    KELU_ERR_INVALID_PARAMETER, 'true != params[0].isString()')), 'a.log: type failure');
check(str_contains($a, step_failed('kelu_calculateFileHash', 'strSourceFilePath',
    KELU_ERR_INVALID_PARAMETER, 'NULL == fpSourceFile')), 'a.log: open failure');
check(!str_contains($a, '(kelu_calculateFileHash -- strHashAlg)'), 'a.log: the name was not looked at');
check(str_contains($a, "strSourceData:[visible]\n"), 'a.log: data up to its zero byte');
check(!str_contains($a, 'hidden'), 'a.log: nothing after the zero byte');
check(str_contains($a, step_failed('kelu_calculateDataHash', 'strHashAlg',
    KELU_ERR_INVALID_PARAMETER, 'true')), 'a.log: unknown name');

check_same(KELU_OK, kelu_uninitialize(), 'first kelu_uninitialize');
check_php_openssl('after shut-down');
$size = strlen(log_of("$work/a.log"));
kelu_calculateDataHash(1, 'MD5', $out);
check_same($size, strlen(log_of("$work/a.log")), 'nothing is logged after shut-down');
check_same(KELU_OK, kelu_uninitialize(), 'a second kelu_uninitialize');

// Started again: the new configuration is read.
check_same(KELU_OK, kelu_initialize("$work/b.conf"), 'kelu_initialize after shut-down');
check(str_contains(log_of("$work/b.log"), step_ok('kelu_initialize', 'SMKernelInitialize')),
    'b.log: started from b.conf');
check_same(KELU_OK, kelu_uninitialize(), 'kelu_uninitialize of b');

// The environment's configuration stands in for a path that is not a regular file.
putenv("KELU_LOG_CONF_PATH=$work/c.conf");
check_same(KELU_OK, kelu_initialize("$work/missing.conf"), 'kelu_initialize through the environment');
check(str_contains(log_of("$work/c.log"), step_ok('kelu_initialize', 'kelu_log_init_ex')),
    'c.log: started from the environment');
check_same(KELU_OK, kelu_uninitialize(), 'kelu_uninitialize of c');
check_same(KELU_OK, kelu_initialize("$work/a.conf"), 'a regular path wins over the environment');
check_same(KELU_OK, kelu_uninitialize(), 'kelu_uninitialize of a');
putenv('KELU_LOG_CONF_PATH');

// A failed start leaves the module unstarted: the next start really starts.
check_same(KELU_LOG_ERR_NO_CONFIG, kelu_initialize("$work/missing.conf"), 'no configuration');
$size = strlen(log_of("$work/b.log"));
check_same(KELU_OK, kelu_initialize("$work/b.conf"), 'start after a failed start');
$b = substr(log_of("$work/b.log"), $size);
check(str_contains($b, step_ok('kelu_initialize', 'SMKernelInitialize')), 'b.log: started anew');
check(!str_contains($b, 'kelu_initialize called.'), 'b.log: not taken as already started');
check_same(KELU_OK, kelu_uninitialize(), 'last kelu_uninitialize');

check_php_openssl('at the end');
finish();
