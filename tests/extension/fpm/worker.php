<?php
// One request of a php-fpm worker: start the toolkit (every request, as a service does), then
// ?op=sign: sign the request's text with the SM2 key file and verify the signature;
//   prints "ok <pid> <signature>" or "failed <pid> <step> <rc>";
// ?op=fail: a signature with a wrong password, which logs an ERROR line; prints
//   "refused <pid> <rc>".
$dir = getenv('KELU_TEST_WORK_DIR');
$rc = kelu_initialize("$dir/pool.conf");
if ($rc !== 0) { echo "failed ", getmypid(), " kelu_initialize $rc\n"; return; }

$text = $_GET['text'] ?? 'no text';
$signature = '';
if (($_GET['op'] ?? '') === 'fail') {
    $rc = kelu_signData_PKCS1('SM2', $text, "$dir/sm2.sm2", 'not the password', '', $signature);
    echo "refused ", getmypid(), " $rc\n";
    return;
}
$rc = kelu_signData_PKCS1('SM2', $text, "$dir/sm2.sm2", 'example password', '', $signature);
if ($rc !== 0) { echo "failed ", getmypid(), " sign $rc\n"; return; }
$cert = '';
$rc = kelu_getPublicCertFromPFX('SM2', "$dir/sm2.sm2", 'example password', $cert);
if ($rc !== 0) { echo "failed ", getmypid(), " certificate $rc\n"; return; }
$rc = kelu_verifyDataSignature_PKCS1('SM2', $text, $cert, '', $signature);
if ($rc !== 0) { echo "failed ", getmypid(), " verify $rc\n"; return; }
echo "ok ", getmypid(), " $signature\n";
