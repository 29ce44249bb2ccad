<?php
// A CLI job on the pool's configuration: starts the toolkit (so that it uses the pool's files)
// and stays until the file named by its argument is gone.
$dir = getenv('KELU_TEST_WORK_DIR');
$rc = kelu_initialize("$dir/pool.conf");
echo "holder started $rc\n";
while (is_file($argv[1])) { usleep(20000); clearstatcache(); }
kelu_uninitialize();
