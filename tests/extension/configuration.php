<?php
// kelu_initialize without a usable configuration: the given path must be a regular file, else
// KELU_LOG_CONF_PATH is consulted; neither gives 0x6007 and starts nothing.
require __DIR__ . '/support/check.php';

$work = work_dir();
$conf = "$work/kelu.conf";
write_log_config($conf, "$work/kelu.log");

$unusable = [
    'missing file' => "$work/missing.conf",
    'directory' => $work,
    'empty path' => '',
];
$environments = [
    'unset' => false,
    'empty' => '',
    'missing file' => "$work/missing.conf",
    'directory' => $work,
];
foreach ($environments as $envWhat => $env) {
    putenv($env === false ? 'KELU_LOG_CONF_PATH' : "KELU_LOG_CONF_PATH=$env");
    foreach ($unusable as $what => $path) {
        check_same(KELU_LOG_ERR_NO_CONFIG, kelu_initialize($path),
            "kelu_initialize($what) with the environment $envWhat");
    }
}
putenv('KELU_LOG_CONF_PATH');
check(!file_exists("$work/kelu.log"), 'no log was started');

// A zero byte would cut the path to another file's name: refused.
check_same(KELU_ERR_INVALID_PARAMETER, kelu_initialize("$conf\0.other"), 'path with a zero byte');
check(!file_exists("$work/kelu.log"), 'still no log');

check_same(KELU_OK, kelu_uninitialize(), 'kelu_uninitialize after failed starts');

finish();
