<?php
// Certificates from scripts: kelu_verifyCertificate agrees with `openssl verify` for each check
// the flag asks for (its low 32 bits), kelu_getCertificateInfo gives the fields openssl shows,
// kelu_getPublicCertFromPFX the certificate of a PKCS#12 file or an SM2 key file; the password
// never reaches the log.
require __DIR__ . '/support/check.php';
require __DIR__ . '/support/pki.php';

$work = start_logged();

$pki = new Pki("$work/pki");
$pki->root('rsa-ca', 'RSA', '/C=CN/O=Kelu Test/CN=RSA Root');
$pki->issue('rsa-leaf', 'rsa-ca', 'RSA', '/C=CN/O=Kelu Test/CN=RSA Leaf');
$pki->issue('rsa-revoked', 'rsa-ca', 'RSA', '/CN=RSA Revoked');
$pki->issue('rsa-expired', 'rsa-ca', 'RSA', '/CN=RSA Expired', LEAF_EXTENSIONS, time() - 10 * 86400, time() - 86400);
$pki->revoke('rsa-ca', 'rsa-revoked');
$pki->makeCrl('rsa', 'rsa-ca');
$pki->root('other-ca', 'RSA', '/CN=Other Root');
$pki->makeCrl('other', 'other-ca');
// A CA under the exact name of rsa-ca with a key of its own, and its CRL revoking nothing.
$pki->root('rsa-ca-impostor', 'RSA', '/C=CN/O=Kelu Test/CN=RSA Root');
$pki->makeCrl('impostor', 'rsa-ca-impostor');
$pki->root('sm2-ca', 'SM2', '/C=CN/O=Kelu Test/CN=SM2 Root');
$pki->issue('sm2-leaf', 'sm2-ca', 'SM2', '/C=CN/O=Kelu Test/CN=SM2 Leaf');

// ---- kelu_verifyCertificate against openssl verify ----
function openssl_verify_ok(Pki $pki, string $cert, string $ca, ?string $crl): bool {
    $args = '-CAfile ' . escapeshellarg($pki->pem($ca));
    if ($crl !== null) $args .= ' -crl_check -CRLfile ' . escapeshellarg($pki->crl($crl));
    if (str_starts_with($cert, 'sm2')) $args .= ' -vfyopt distid:' . SM2_DISTID;
    exec("openssl verify $args " . escapeshellarg($pki->pem($cert)) . ' 2>&1', $lines, $status);
    return $status === 0;
}

$crl = $pki->crl('rsa');
$cases = [  // certificate, flag, CA file(s), CRL file, result, [CA and CRL of openssl verify]
    ['rsa-leaf', 0, '', '', KELU_OK, null],
    ['rsa-leaf', 1, '', '', KELU_OK, null],
    ['rsa-expired', 1, '', '', KELU_ERR_CERT_VALIDITY, null],
    ['rsa-expired', 0, '', '', KELU_OK, null],
    ['rsa-leaf', 2, '', $crl, KELU_OK, ['rsa-ca', 'rsa']],
    ['rsa-revoked', 2, '', $crl, KELU_ERR_CERT_REVOKED, ['rsa-ca', 'rsa']],
    ['rsa-revoked', 5, $pki->pem('rsa-ca'), '', KELU_OK, ['rsa-ca', null]],
    ['rsa-leaf', 4, $pki->pem('rsa-ca'), '', KELU_OK, ['rsa-ca', null]],
    ['rsa-leaf', 4, $pki->pem('other-ca'), '', KELU_ERR_CERT_UNTRUSTED, ['other-ca', null]],
    ['rsa-leaf', 4, $pki->pem('other-ca') . '|' . $pki->der('rsa-ca'), '', KELU_OK, null],
    ['rsa-leaf', 7, $pki->pem('rsa-ca') . '||', $crl, KELU_OK, ['rsa-ca', 'rsa']],
    ['rsa-revoked', 7, $pki->pem('rsa-ca'), $crl, KELU_ERR_CERT_REVOKED, null],
    // A CRL decides only for its own issuer, and with the chain only under the issuer's key.
    ['rsa-revoked', 2, '', $pki->crl('other'), KELU_ERR_VERIFY_CERT, ['rsa-ca', 'other']],
    ['rsa-revoked', 6, $pki->pem('rsa-ca'), $pki->crl('impostor'), KELU_ERR_VERIFY_CERT, ['rsa-ca', 'impostor']],
    ['rsa-leaf', 6, $pki->pem('rsa-ca'), $pki->crl('impostor'), KELU_ERR_VERIFY_CERT, ['rsa-ca', 'impostor']],
    ['sm2-leaf', 5, $pki->pem('sm2-ca'), '', KELU_OK, ['sm2-ca', null]],
    ['sm2-leaf', 4, $pki->pem('rsa-ca'), '', KELU_ERR_CERT_UNTRUSTED, ['rsa-ca', null]],
    // Only the low 32 bits of the flag count.
    ['rsa-leaf', 0x100000000, "$work/missing", "$work/missing", KELU_OK, null],
    ['rsa-leaf', 0x100000004, $pki->pem('rsa-ca'), '', KELU_OK, null],
    ['rsa-leaf', 0x7fffffff00000002, '', '', KELU_ERR_INVALID_PARAMETER, null],
    ['rsa-expired', -1 & ~6, '', '', KELU_ERR_CERT_VALIDITY, null],
    // Files the flag asks for must open.
    ['rsa-leaf', 2, '', "$work/missing", KELU_ERR_OPEN_FILE, null],
    ['rsa-leaf', 4, $pki->pem('rsa-ca') . "|$work/missing", '', KELU_ERR_OPEN_FILE, null],
];
foreach ($cases as [$cert, $flag, $ca, $crlPath, $want, $peer]) {
    $what = sprintf('kelu_verifyCertificate(%s, 0x%x)', $cert, $flag);
    check_same($want, kelu_verifyCertificate($pki->base64($cert), $flag, $ca, $crlPath), $what);
    if ($peer !== null) {
        check_same($want === KELU_OK, openssl_verify_ok($pki, $cert, $peer[0], $peer[1]), "$what: openssl verify agrees");
    }
}
// The flag must be an integer; the certificate text is Base64 of a certificate.
foreach (['1', 1.0, true, null] as $wrong) {
    check_same(KELU_ERR_INVALID_PARAMETER, kelu_verifyCertificate($pki->base64('rsa-leaf'), $wrong, '', ''),
        'flag ' . var_export($wrong, true));
}
check_same(KELU_ERR_INVALID_PARAMETER, kelu_verifyCertificate('', 0, '', ''), 'an empty certificate text');
check(kelu_verifyCertificate(base64_encode('not a certificate'), 0, '', '') !== KELU_OK, 'not a certificate');

// ---- kelu_getCertificateInfo against openssl x509 ----
function x509_field(Pki $pki, string $name, string $args): string {
    $line = exec('openssl x509 -noout ' . $args . ' -in ' . escapeshellarg($pki->pem($name)));
    return substr($line, strpos($line, '=') + 1);
}

// ctime's text in the process's time zone, as date(1) writes it in the same zone.
function local_time_text(int $t): string {
    return exec('date -d @' . $t . " '+%a %b %e %H:%M:%S %Y'");
}

$nameopt = '-nameopt sep_comma_plus_space,dn_rev,sname,utf8,esc_ctrl';
foreach (['rsa-leaf' => ['RSA', 'RSA Leaf'], 'sm2-leaf' => ['SM2', 'SM2 Leaf'], 'sm2-ca' => ['SM2', 'SM2 Root']]
         as $name => [$type, $cn]) {
    $parsed = openssl_x509_parse(file_get_contents($pki->pem($name)));
    $serial = x509_field($pki, $name, '-serial');
    if (hexdec(substr($serial, 0, 2)) >= 0x80) $serial = "00$serial";
    $want = [
        'CertType' => $type,
        'SubjectCN' => $cn,
        'SubjectDN' => x509_field($pki, $name, "-subject $nameopt"),
        'IssuerDN' => x509_field($pki, $name, "-issuer $nameopt"),
        'SerialNumber' => $serial,
        'ValidFrom' => local_time_text($parsed['validFrom_time_t']),
        'ValidTo' => local_time_text($parsed['validTo_time_t']),
    ];
    check_same($cn, $parsed['subject']['CN'], "openssl_x509_parse reads the CN of $name");
    foreach ($want as $type => $value) {
        foreach ([$type, strtolower($type), strtoupper($type)] as $spelling) {
            $out = 'old';
            check_same(KELU_OK, kelu_getCertificateInfo($pki->base64($name), $spelling, $out), "$spelling of $name");
            check_same($value, $out, "$spelling of $name");
        }
    }
}
$pemText = base64_encode(file_get_contents($pki->pem('sm2-leaf')));
$out = '';
check_same(KELU_OK, kelu_getCertificateInfo($pemText, 'SubjectCN', $out), 'a PEM certificate');
check_same('SM2 Leaf', $out, 'the CN of a PEM certificate');
foreach ([
    [$pki->base64('rsa-leaf'), 'Subject', KELU_ERR_INVALID_PARAMETER],
    [$pki->base64('rsa-leaf'), "CertType\0", KELU_ERR_INVALID_PARAMETER],
    [base64_encode('not a certificate'), 'CertType', KELU_ERR_CERT_INFO],
    ['', 'CertType', KELU_ERR_INVALID_PARAMETER],
] as [$cert, $type, $code]) {
    $out = 'kept';
    check_same($code, kelu_getCertificateInfo($cert, $type, $out), 'info type ' . var_export($type, true));
    check_same('kept', $out, 'output kept for ' . var_export($type, true));
}

// ---- kelu_getPublicCertFromPFX ----
$password = 'Pfx-Password-7f3a';
$p12 = $pki->pkcs12('rsa-leaf', $password);
$sm2Der = $pki->sm2KeyFile('sm2-leaf', $password);
$sm2Pem = $pki->sm2KeyFile('sm2-ca', $password, 'pem');
openssl_pkcs12_read(file_get_contents($p12), $bag, $password);
openssl_x509_export($bag['cert'], $bagPem);
foreach ([
    ['RSA', $p12, $password, $pki->base64('rsa-leaf')],
    ['rsa', $p12, $password, base64_encode(base64_decode(preg_replace('/-----[A-Z ]+-----|\s/', '', $bagPem)))],
    ['SM2', $sm2Der, $password, $pki->base64('sm2-leaf')],
    ['Sm2', $sm2Der, 'not the password', $pki->base64('sm2-leaf')],
    ['SM2', $sm2Pem, $password, base64_encode(file_get_contents($pki->pem('sm2-ca')))],
] as [$alg, $file, $pw, $want]) {
    $out = 'old';
    check_same(KELU_OK, kelu_getPublicCertFromPFX($alg, $file, $pw, $out), "certificate of $file by $alg");
    check_same($want, $out, "certificate of $file by $alg");
}
foreach ([
    ['RSA', $p12, 'wrong password', null],
    ['RSA', "$work/missing", $password, KELU_ERR_OPEN_FILE],
    ['XYZ', $p12, $password, KELU_ERR_INVALID_PARAMETER],
    ['SM2', $p12, $password, null],
    ['RSA', "$p12\0.txt", $password, KELU_ERR_INVALID_PARAMETER],
    ['RSA', $p12, "$password\0", KELU_ERR_INVALID_PARAMETER],
] as [$alg, $file, $pw, $code]) {
    $out = 'kept';
    $rc = kelu_getPublicCertFromPFX($alg, $file, $pw, $out);
    $what = "kelu_getPublicCertFromPFX($alg, " . basename($file) . ')';
    if ($code === null) check($rc !== KELU_OK, "$what fails"); else check_same($code, $rc, $what);
    check_same('kept', $out, "$what: output kept");
}

check_same(KELU_OK, kelu_uninitialize(), 'shut-down');

$log = file_get_contents("$work/kelu.log");
check(!str_contains($log, $password), 'the password is not in the log');
check(str_contains($log, "nCertVerifyFlag:[4]\n"), 'the flag');
check(str_contains($log, "nCertVerifyFlag:[-7]\n"), 'the flag as a signed 32-bit number');
check(str_contains($log, "(kelu_verifyCertificate -- Check params size().)\t\t--OK\n"), 'count step with a full stop');
check(str_contains($log, "(kelu_verifyCertificate -- Check params[1].type.)\t\t--Failed:(0x80070057) "
    . "[Reason:true != params[1].isNumeric()]\n"), 'the numeric test');
check(str_contains($log, "(kelu_verifyCertificate -- VerifyCertificate)\t\t--Failed:(0xa0071032) "
    . "[Reason:KELU_OK != nResult]\n"), 'a failed verification');
check(str_contains($log, "strInfoType:[SubjectCN]\n"), 'the info type');
check(str_contains($log, "pszInfoContent:[SM2 Leaf]\n"), 'the field handed out');
check(str_contains($log, "strPfxFilePath:[$p12]\n"), 'the key file path');
check(str_contains($log, 'strBase64CertContent:[' . $pki->base64('rsa-leaf') . "]\n"), 'the certificate handed out');

finish();
