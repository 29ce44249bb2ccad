<?php
// Independent peers run beside the module: npm's sm-crypto-v2 from the tree's .peers folder.

function sm_crypto_v2_available(): bool {
    $peers = getenv('KELU_TEST_PEERS_DIR');
    return $peers !== false && is_file("$peers/node_modules/sm-crypto-v2/package.json")
        && trim((string) shell_exec('command -v node')) !== '';
}

// Runs a node script with sm-crypto-v2 as sm2, hex(text) turning hexadecimal text into bytes and
// the arguments in a; returns its output without the last line feed.
function sm_crypto_v2(string $body, array $args): string {
    $base = tempnam(sys_get_temp_dir(), 'peer');
    $script = "$base.js";
    file_put_contents($script, "const { sm2, sm3 } = require('sm-crypto-v2');\n"
        . "const hex = (s) => Uint8Array.from(Buffer.from(s, 'hex'));\n"
        . "const a = process.argv.slice(2);\n$body\n");
    $command = 'NODE_PATH=' . escapeshellarg(getenv('KELU_TEST_PEERS_DIR') . '/node_modules') . ' node '
        . escapeshellarg($script) . ' ' . implode(' ', array_map('escapeshellarg', $args)) . ' 2>&1';
    exec($command, $lines, $status);
    unlink($script);
    unlink($base);
    check_same(0, $status, 'sm-crypto-v2: ' . implode("\n", $lines));
    return implode("\n", $lines);
}
