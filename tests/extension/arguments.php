<?php
// What every script function checks before it does anything: the number of arguments (one
// more gives -1, fewer never reach it) and each argument's type, outputs included
// (-2147024809). No failure touches an output variable.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/signatures.php';

const KEPT = 'kept value';
const WRONG_FOR_STRING = [12345, 1.5, true, null, [], 'object'];
const WRONG_FOR_NUMERIC = ['5', 5.0, true, null];

// Valid arguments: a string or an integer, outputs as variables holding KEPT.
function valid_arguments(array $parameters): array {
    $args = [];
    foreach ($parameters as [, $byRef, $numeric]) $args[] = $numeric ? 0 : ($byRef ? KEPT : 'x');
    return $args;
}

function wrong_value($value) {
    return $value === 'object' ? new stdClass() : $value;
}

function check_outputs_kept(array $parameters, array $args, array $except, string $what): void {
    foreach ($parameters as $i => [$name, $byRef]) {
        if ($byRef && !in_array($i, $except, true)) check_same(KEPT, $args[$i], "$what: $name kept");
    }
}

$functions = array_diff(array_keys(SIGNATURES), ['kelu_uninitialize']);
foreach ($functions as $function) {
    $parameters = parameters_of($function);
    $n = count($parameters);

    // One argument more than registered.
    $args = valid_arguments($parameters);
    $args[] = 'extra';
    check_same(KELU_ERR_FAILED, $function(...$args), "$function with $n+1 arguments");
    check_outputs_kept($parameters, $args, [], "$function with $n+1 arguments");

    // One fewer: the engine's warning, and null.
    $args = array_slice(valid_arguments($parameters), 0, $n - 1);
    $result = with_warnings(fn () => $function(...$args), $warnings);
    check_same(null, $result, "$function with " . ($n - 1) . " arguments");
    check_same(["$function() expects at least $n parameter(s), " . ($n - 1) . " given"], $warnings,
        "$function warning");

    // A wrong type at each position, the arguments before it valid.
    foreach ($parameters as $i => [$name, $byRef, $numeric]) {
        foreach ($numeric ? WRONG_FOR_NUMERIC : WRONG_FOR_STRING as $wrong) {
            $value = wrong_value($wrong);
            $args = valid_arguments($parameters);
            $args[$i] = $value;
            $what = "$function with $name = " . var_export($wrong, true);
            check_same(KELU_ERR_INVALID_PARAMETER, $function(...$args), $what);
            check_outputs_kept($parameters, $args, [$i], $what);
            if ($byRef) check_same($value, $args[$i], "$what: the output is untouched");
        }
        // An undefined output variable arrives as null.
        if ($byRef) {
            $args = valid_arguments($parameters);
            $bound = [];
            foreach ($args as $k => $arg) {
                if ($k === $i) $bound[$k] = &$undefined; else $bound[$k] = $arg;
            }
            check_same(KELU_ERR_INVALID_PARAMETER, $function(...$bound), "$function with $name undefined");
            check_same(null, $undefined, "$function: $name stays null");
            unset($undefined, $bound);
        }
    }
}

// kelu_initialize: the type test comes before anything is started.
check_same(KELU_ERR_INVALID_PARAMETER, kelu_initialize(1), 'kelu_initialize(1)');
check_same(KELU_ERR_FAILED, kelu_initialize('a', 'b'), 'kelu_initialize with two paths');

// kelu_uninitialize takes no argument and ignores any; never initialised, it succeeds.
check_same(KELU_OK, kelu_uninitialize(), 'kelu_uninitialize()');
check_same(KELU_OK, kelu_uninitialize('x', 1), 'kelu_uninitialize with arguments');

// Named arguments use the registered names.
$out = KEPT;
check_same(KELU_ERR_INVALID_PARAMETER,
    kelu_calculateDataHash(strHashAlg: 'MD5', strSourceData: 1, strHexHashData: $out), 'named arguments');
check_same(KEPT, $out, 'named arguments: output kept');

finish();
