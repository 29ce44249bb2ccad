<?php
// The module registers "ORVAExtension" 3.0 with its 26 functions in their fixed order, each
// with its parameter names, by-reference flags and no type hints.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/signatures.php';

check(extension_loaded('ORVAExtension'), 'the extension is loaded');
check_same('3.0', phpversion('ORVAExtension'), 'version');
check_same(array_keys(SIGNATURES), get_extension_funcs('ORVAExtension'), 'functions in order');

foreach (SIGNATURES as $name => $signature) {
    $f = new ReflectionFunction($name);
    check($f->isInternal(), "$name is internal");
    check_same('ORVAExtension', $f->getExtensionName(), "$name belongs to the extension");
    $seen = [];
    foreach ($f->getParameters() as $p) {
        $seen[] = ($p->isPassedByReference() ? '&' : '') . $p->getName();
        check(!$p->hasType(), "$name: {$p->getName()} has no type hint");
        check(!$p->isOptional(), "$name: {$p->getName()} is required");
    }
    check_same($signature, implode(' ', $seen), "$name parameters");
    check_same(count($seen), $f->getNumberOfRequiredParameters(), "$name required count");
    check(!$f->hasReturnType(), "$name has no return type");
}

// Nothing else: no classes, constants or ini entries.
$ext = new ReflectionExtension('ORVAExtension');
check_same([], $ext->getClassNames(), 'no classes');
check_same([], $ext->getConstants(), 'no constants');
check_same([], $ext->getINIEntries(), 'no ini entries');

finish();
