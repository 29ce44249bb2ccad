<?php
// The module exports get_module beside the toolkit's, the logging facade's and zlog's
// functions, and nothing else; libkelu is the same toolkit without any tie to PHP.
require __DIR__ . '/support/check.php';

function dynamic_symbols(string $library, string $which): array {
    $lines = [];
    exec('nm -D --format=posix ' . $which . ' ' . escapeshellarg($library), $lines, $status);
    check_same(0, $status, "nm $which $library");
    return array_map(fn ($l) => strtok($l, ' '), $lines);
}

function needed_libraries(string $library): array {
    $lines = [];
    exec('objdump -p ' . escapeshellarg($library), $lines);
    $needed = [];
    foreach ($lines as $l) if (preg_match('/^\s*NEEDED\s+(\S+)/', $l, $m)) $needed[] = $m[1];
    return $needed;
}

$module = getenv('KELU_TEST_MODULE');
$libkelu = getenv('KELU_TEST_LIBKELU');
check(is_file($module) && is_file($libkelu), 'both libraries are given');

// The C interface: the sanitizer runtime's entry points and C++ symbols left aside.
$cInterface = fn (array $symbols) => array_values(array_filter($symbols,
    fn ($s) => !preg_match('/^(__asan|__ubsan|__sanitizer|__lsan|_init$|_fini$|_Z)/', $s)));

$moduleExports = dynamic_symbols($module, '--defined-only');
$libkeluExports = dynamic_symbols($libkelu, '--defined-only');
check(in_array('get_module', $moduleExports, true), 'the module exports get_module');
check(!in_array('get_module', $libkeluExports, true), 'libkelu has no get_module');
check_same($cInterface($libkeluExports), array_values(array_diff($cInterface($moduleExports), ['get_module'])),
    'the module exports what libkelu exports, and get_module');
foreach (['Initialize', 'Uninitialize', 'FreeMemory', 'kelu_log_init_ex', 'kelu_log_fini', 'TRACE',
          'TRACE_BINARY', 'g_ptr_kelu_category', 'zlog_init', 'zlog_fini', 'zlog'] as $name) {
    check(in_array($name, $moduleExports, true), "the module exports $name");
}
// No C++ symbol is exported, not even an instantiation of the standard library's templates.
foreach ([$module, $libkelu] as $library) {
    check_same([], array_values(array_filter(dynamic_symbols($library, '--defined-only'),
        fn ($s) => str_starts_with($s, '_Z'))), "$library exports no C++ symbol");
}

// Calls of an object's own exported functions are bound inside it: no relocation is left for
// a program's function of the same name (TRACE, Initialize, zlog_init) to take them over.
function relocated_symbols(string $library): array {
    $lines = [];
    exec('readelf -rW ' . escapeshellarg($library), $lines, $status);
    check_same(0, $status, "readelf -r $library");
    $names = [];
    foreach ($lines as $l) if (preg_match('/^[0-9a-f]+\s+[0-9a-f]+\s+R_\w+\s+[0-9a-f]+\s+(\S+)/', $l, $m)) $names[] = $m[1];
    return $names;
}
foreach ([$module, $libkelu] as $library) {
    $lines = $functions = [];
    exec('nm -D --defined-only --format=posix ' . escapeshellarg($library), $lines);
    foreach ($lines as $l) if (preg_match('/^(\S+) [TtWi] /', $l, $m)) $functions[] = $m[1];
    check(in_array('TRACE', $functions, true), "$library defines TRACE");
    check_same([], array_values(array_intersect(relocated_symbols($library), $functions)),
        "$library binds the calls of its own functions");
}

// The engine's symbols come from the php binary; libkelu needs none of them.
$moduleUndefined = dynamic_symbols($module, '--undefined-only');
check(in_array('zend_error', $moduleUndefined, true), 'the module takes zend_error from php');
check_same([], array_values(array_filter(dynamic_symbols($libkelu, '--undefined-only'),
    fn ($s) => preg_match('/^(zend_|_zend|php_|_php)/', $s))), 'libkelu refers to nothing of PHP');
foreach ([$module, $libkelu] as $library) {
    check_same([], preg_grep('/php/i', needed_libraries($library)), "$library links no PHP library");
}

// Built for the PHP 8.2 engine this runs in.
ob_start();
phpinfo(INFO_GENERAL);
preg_match('/^PHP Extension Build => (\S+)$/m', ob_get_clean(), $m);
check_same('API20220829,NTS', $m[1] ?? null, "the engine's build id");
check(str_contains(file_get_contents($module), "API20220829,NTS\0"), 'the module carries that build id');

finish();
