<?php
// Keys, certificates, CRLs, PKCS#12 files and SM2 key files made at test time with the openssl
// command line (and, for the toolkit's own SM2 key file format, its tool make_sm2_key_file).
// SM2 certificates are signed and checked with the default SM2 user ID.

const SM2_DISTID = '1234567812345678';
const CA_EXTENSIONS = "basicConstraints = critical,CA:true\nkeyUsage = critical,keyCertSign,cRLSign\n"
    . "subjectKeyIdentifier = hash\n";
const LEAF_EXTENSIONS = "basicConstraints = CA:false\n"
    . "keyUsage = digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment\n"
    . "subjectKeyIdentifier = hash\n";

final class Pki {
    private array $algorithms = [];
    private int $cas = 0;

    public function __construct(private string $dir) {
        if (!is_dir($dir)) mkdir($dir, 0700, true);
    }

    // Runs openssl in the folder; a failure ends the test.
    public function openssl(string $args): string {
        exec('cd ' . escapeshellarg($this->dir) . ' && openssl ' . $args . ' 2>&1', $lines, $status);
        if ($status !== 0) {
            fwrite(STDERR, "openssl $args failed:\n" . implode("\n", $lines) . "\n");
            exit(2);
        }
        return implode("\n", $lines);
    }

    public function key(string $name): string { return "{$this->dir}/$name.key"; }
    public function pem(string $name): string { return "{$this->dir}/$name.pem"; }
    public function der(string $name): string { return "{$this->dir}/$name.der"; }
    public function crl(string $name): string { return "{$this->dir}/$name.crl"; }
    // The certificate as the toolkit takes it: one line of Base64 of its DER.
    public function base64(string $name): string { return base64_encode(file_get_contents($this->der($name))); }

    // $alg: 'RSA' or 'SM2'. Times are Unix seconds; a certificate is valid from yesterday for a
    // year unless told otherwise.
    public function root(string $name, string $alg, string $subject): void {
        $this->makeKey($name, $alg);
        $this->sign($name, $name, $subject, CA_EXTENSIONS, null, null);
    }

    public function issue(string $name, string $issuer, string $alg, string $subject,
                          string $extensions = LEAF_EXTENSIONS, ?int $from = null, ?int $to = null): void {
        $this->makeKey($name, $alg);
        $this->sign($name, $issuer, $subject, $extensions, $from, $to);
    }

    public function revoke(string $ca, string $name): void {
        $this->openssl("ca -batch -config {$this->caConfig($ca)} -keyfile {$this->key($ca)} "
            . "-cert {$this->pem($ca)} -revoke {$this->pem($name)}");
    }

    public function makeCrl(string $name, string $ca): void {
        $this->openssl("ca -batch -gencrl -config {$this->caConfig($ca)} -keyfile {$this->key($ca)} "
            . "-cert {$this->pem($ca)} -out {$this->crl($name)}" . $this->digestOptions($ca));
    }

    public function pkcs12(string $name, string $password): string {
        $out = "{$this->dir}/$name.p12";
        $this->openssl("pkcs12 -export -in {$this->pem($name)} -inkey {$this->key($name)} "
            . '-passout ' . escapeshellarg("pass:$password") . " -out $out");
        return $out;
    }

    // The toolkit's SM2 key file of an SM2 certificate and its key; $form: 'pem' or 'der'.
    public function sm2KeyFile(string $name, string $password, string $form = 'der'): string {
        $out = "{$this->dir}/$name.sm2";
        $cert = $form === 'pem' ? $this->pem($name) : $this->der($name);
        [$status, $output] = make_sm2_key_file([$this->key($name), $cert, $out], $password);
        if ($status !== 0) {
            fwrite(STDERR, "make_sm2_key_file failed:\n$output\n");
            exit(2);
        }
        return $out;
    }

    private function makeKey(string $name, string $alg): void {
        $args = $alg === 'SM2' ? '-algorithm SM2' : '-algorithm RSA -pkeyopt rsa_keygen_bits:2048';
        $this->openssl("genpkey $args -out {$this->key($name)}");
        $this->algorithms[$name] = $alg;
    }

    private function digestOptions(string $signer): string {
        return $this->algorithms[$signer] === 'SM2' ? ' -md sm3 -sigopt distid:' . SM2_DISTID : ' -md sha256';
    }

    // A CA database of its own for every issuer, every subject field optional.
    private function caConfig(string $ca): string {
        $dir = "{$this->dir}/ca-$ca";
        if (!is_dir($dir)) {
            mkdir($dir);
            file_put_contents("$dir/index.txt", '');
            file_put_contents("$dir/serial", sprintf("%X\n", 0x1000 * ++$this->cas));
            file_put_contents("$dir/crlnumber", "01\n");
            file_put_contents("$dir/ca.cnf", "[ ca ]\ndefault_ca = CA_default\n[ CA_default ]\n"
                . "dir = $dir\ndatabase = \$dir/index.txt\nnew_certs_dir = \$dir\nserial = \$dir/serial\n"
                . "crlnumber = \$dir/crlnumber\ndefault_md = sha256\npolicy = policy_any\n"
                . "unique_subject = no\ndefault_crl_days = 30\n[ policy_any ]\ncountryName = optional\n"
                . "organizationName = optional\ncommonName = optional\n");
        }
        return "$dir/ca.cnf";
    }

    private static function caTime(int $t): string {
        return gmdate('ymdHis', $t) . 'Z';
    }

    private function sign(string $name, string $issuer, string $subject, string $extensions,
                          ?int $from, ?int $to): void {
        $csr = "{$this->dir}/$name.csr";
        $req = "req -new -key {$this->key($name)} -subj " . escapeshellarg($subject) . " -out $csr";
        if ($this->algorithms[$name] === 'SM2') $req .= ' -sm3 -sigopt distid:' . SM2_DISTID;
        $this->openssl($req);
        $ext = "{$this->dir}/$name.ext";
        file_put_contents($ext, "[ ext ]\n$extensions");
        $now = time();
        $ca = "ca -batch -notext -preserveDN -config {$this->caConfig($issuer)} -keyfile {$this->key($issuer)} "
            . "-in $csr -out {$this->pem($name)} -extfile $ext -extensions ext"
            . ' -startdate ' . self::caTime($from ?? $now - 86400) . ' -enddate ' . self::caTime($to ?? $now + 365 * 86400)
            . $this->digestOptions($issuer)
            . ($name === $issuer ? ' -selfsign' : " -cert {$this->pem($issuer)}");
        if ($this->algorithms[$name] === 'SM2') $ca .= ' -vfyopt distid:' . SM2_DISTID;
        $this->openssl($ca);
        $this->openssl("x509 -in {$this->pem($name)} -outform DER -out {$this->der($name)}");
    }
}

// 04 || X || Y of the certificate's SM2 or EC public key, as hexadecimal text.
function public_point_hex(string $certPem): string {
    $spki = shell_exec('openssl x509 -in ' . escapeshellarg($certPem) . ' -noout -pubkey | openssl pkey -pubin -outform DER');
    return bin2hex(substr((string) $spki, -65));
}

// An openssl command line that succeeds.
function openssl_ok(string $args): bool {
    exec("openssl $args 2>&1", $lines, $status);
    return $status === 0;
}

// Runs the key-file tool with its arguments, the password on its standard input; [exit status,
// what it printed]. The tool carries its own sanitizer runtime, if any: not the one preloaded
// into php.
function make_sm2_key_file(array $arguments, string $password): array {
    $command = ['env', '-u', 'LD_PRELOAD', getenv('KELU_TEST_MAKE_SM2_KEY_FILE'), ...$arguments];
    $process = proc_open($command, [0 => ['pipe', 'r'], 1 => ['pipe', 'w'], 2 => ['redirect', 1]], $pipes);
    fwrite($pipes[0], "$password\n");
    fclose($pipes[0]);
    $output = stream_get_contents($pipes[1]);
    fclose($pipes[1]);
    return [proc_close($process), $output];
}
