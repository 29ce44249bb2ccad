<?php
// A small DER reader for the cross-checks: the parts of signatures and envelopes that the
// independent peers are given.

// The TLV at $offset: [tag, offset of the value, length of the value, offset after it].
function der_tlv(string $der, int $offset = 0): array {
    $tag = ord($der[$offset]);
    $length = ord($der[$offset + 1]);
    $at = $offset + 2;
    if ($length & 0x80) {
        $count = $length & 0x7f;
        $length = 0;
        for ($i = 0; $i < $count; $i++) $length = ($length << 8) | ord($der[$at++]);
    }
    return [$tag, $at, $length, $at + $length];
}

// The values of the TLVs inside the constructed TLV at $offset, as [tag, value, offset].
function der_children(string $der, int $offset = 0): array {
    [, $at, $length] = der_tlv($der, $offset);
    $children = [];
    for ($end = $at + $length; $at < $end; $at = $next) {
        [$tag, $value, $size, $next] = der_tlv($der, $at);
        $children[] = [$tag, substr($der, $value, $size), $at];
    }
    return $children;
}

// Every primitive value with the tag, depth first, in the order of the encoding.
function der_values(string $der, int $wanted, int $offset = 0, ?int $end = null): array {
    $found = [];
    $end ??= strlen($der);
    for ($at = $offset; $at < $end; $at = $next) {
        [$tag, $value, $size, $next] = der_tlv($der, $at);
        if ($tag & 0x20) {
            array_push($found, ...der_values($der, $wanted, $value, $value + $size));
        } elseif ($tag === $wanted) {
            $found[] = substr($der, $value, $size);
        }
    }
    return $found;
}

function der_encode(int $tag, string $value): string {
    $n = strlen($value);
    if ($n < 0x80) return chr($tag) . chr($n) . $value;
    $length = ltrim(pack('N', $n), "\0");
    return chr($tag) . chr(0x80 | strlen($length)) . $length . $value;
}

// A non-negative INTEGER in its shortest form.
function der_integer(string $magnitude): string {
    $bytes = ltrim($magnitude, "\0");
    if ($bytes === '' || ord($bytes[0]) >= 0x80) $bytes = "\0$bytes";
    return der_encode(0x02, $bytes);
}

// SEQUENCE { INTEGER r, INTEGER s } re-encoded in the shortest form, which OpenSSL requires.
function der_minimal_signature(string $der): string {
    $parts = der_children($der);
    return der_encode(0x30, der_integer($parts[0][1]) . der_integer($parts[1][1]));
}

// The whole TLV of each element inside the constructed TLV at $offset.
function der_elements(string $der, int $offset = 0): array {
    $elements = [];
    foreach (der_children($der, $offset) as [, , $at]) {
        $elements[] = substr($der, $at, der_tlv($der, $at)[3] - $at);
    }
    return $elements;
}

// An OBJECT IDENTIFIER of its dotted text.
function der_oid(string $dotted): string {
    $arcs = array_map('intval', explode('.', $dotted));
    $content = chr(40 * $arcs[0] + $arcs[1]);
    foreach (array_slice($arcs, 2) as $arc) {
        $octets = chr($arc & 0x7f);
        for ($arc >>= 7; $arc > 0; $arc >>= 7) $octets = chr(0x80 | ($arc & 0x7f)) . $octets;
        $content .= $octets;
    }
    return der_encode(0x06, $content);
}
