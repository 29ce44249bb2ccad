<?php
// The main job from PHP: start the toolkit from a zlog configuration, hash a string and a file
// with each digest, shut the toolkit down and show the log it wrote. Run it through
// examples/run, or from a folder holding kelulog.conf:
//   php -n -d extension=/path/to/ORVAExtension.so main.php [config file] [log file]
$config = $argv[1] ?? 'kelulog.conf';
$log = $argv[2] ?? 'kelu.log';

if (!extension_loaded('ORVAExtension')) {
    fwrite(STDERR, "the module is not loaded: php -d extension=/path/to/ORVAExtension.so main.php\n");
    exit(2);
}
$functions = get_extension_funcs('ORVAExtension');
printf("ORVAExtension %s, %d functions:\n  %s\n", phpversion('ORVAExtension'), count($functions),
    implode("\n  ", $functions));

$rc = kelu_initialize($config);
printf("kelu_initialize(%s): %d\n", $config, $rc);
if ($rc !== 0) exit(1);

$text = 'The quick brown fox jumps over the lazy dog';
$file = 'example-data.bin';
file_put_contents($file, str_repeat("0123456789abcdef", 2048) . "and a short tail");
$failed = false;
foreach (['SM3', 'MD5', 'SHA-1', 'SHA-256'] as $name) {
    foreach (['data' => fn (&$hex) => kelu_calculateDataHash($text, $name, $hex),
              'file' => fn (&$hex) => kelu_calculateFileHash($file, $name, $hex)] as $what => $hash) {
        $hex = '';
        $rc = $hash($hex);
        printf("%-7s %s: %s\n", $name, $what, $rc === 0 ? $hex : "failed with $rc");
        $failed = $failed || $rc !== 0;
    }
}

$rc = kelu_uninitialize();
printf("kelu_uninitialize: %d\n", $rc);

echo "== log lines ($log)\n";
readfile($log);
exit($failed || $rc !== 0 ? 1 : 0);
