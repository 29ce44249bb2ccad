<?php
// The module record as the engine reads it, through get_module called again after the engine's
// own call: the same record each time, registered once (26 entries in order with their
// argument counts), with the name, version and build id, and no callbacks, ini entries or
// dependencies, so nothing of the module runs at engine or request start.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/signatures.php';

if (!extension_loaded('FFI') && !dl('ffi.' . PHP_SHLIB_SUFFIX)) {
    fwrite(STDERR, "the FFI extension does not load\n");
    exit(2);
}

// The engine's module record and function entry, as its headers lay them out (non-ZTS). FFI
// gives a null pointer field as null.
$ffi = FFI::cdef('
typedef struct {
  const char *fname; void *handler; const void *arg_info; uint32_t num_args; uint32_t flags;
} function_entry;
typedef struct {
  unsigned short size; unsigned int zend_api; unsigned char zend_debug; unsigned char zts;
  const void *ini_entry; const void *deps; const char *name; const function_entry *functions;
  void *module_startup; void *module_shutdown; void *request_startup; void *request_shutdown;
  void *info; const char *version; size_t globals_size; void *globals_ptr; void *globals_ctor;
  void *globals_dtor; void *post_deactivate; int module_started; unsigned char type;
  void *handle; int module_number; const char *build_id;
} module_entry;
module_entry *get_module(void);', getenv('KELU_TEST_MODULE'));

$address = fn ($pointer) => $pointer === null || FFI::isNull($pointer)
    ? 0 : FFI::cast('uintptr_t', $pointer)->cdata;

$record = $ffi->get_module();
$again = $ffi->get_module();
check($address($record) !== 0, 'get_module gives a record');
check_same($address($record), $address($again), 'the same record each time');
check_same($address($record->functions), $address($again->functions), 'the same function entries');

check_same('ORVAExtension', FFI::string($record->name), 'name');
check_same('3.0', FFI::string($record->version), 'version');
check_same('API20220829,NTS', FFI::string($record->build_id), 'build id');
check_same(20220829, $record->zend_api, 'engine module API number');
check_same(FFI::sizeof($ffi->type('module_entry')), $record->size, 'record size');

foreach (['ini_entry', 'deps', 'module_startup', 'module_shutdown', 'request_startup',
          'request_shutdown', 'info', 'globals_ctor', 'globals_dtor', 'post_deactivate'] as $field) {
    check_same(0, $address($record->$field), "no $field");
}

$entries = [];
for ($i = 0; $i <= count(SIGNATURES) && !FFI::isNull($record->functions[$i]->fname); $i++) {
    $entry = $record->functions[$i];
    $entries[FFI::string($entry->fname)] = $entry->num_args;
    check($address($entry->handler) !== 0, "entry $i has a handler");
    check_same(0, $entry->flags, "entry $i flags");
}
$want = array_map(fn ($s) => count(preg_split('/ /', $s, -1, PREG_SPLIT_NO_EMPTY)), SIGNATURES);
check_same($want, $entries, 'one entry per function, in order, with its argument count');

finish();
