<?php
// The module's functions in registration order. name => parameters, "&" marking a by-reference one.
const SIGNATURES = [
    'kelu_initialize' => 'strConfigFilePath',
    'kelu_uninitialize' => '',
    'kelu_signData_PKCS1' => 'strSignAlg strSourceData strPfxFilePath strPfxPassWord strHashAlg &strBase64PKCS1Signature',
    'kelu_signData_PKCS7Detached' => 'strSignAlg strSourceData strPfxFilePath strPfxPassWord strHashAlg &strBase64PKCS7DetachedSignature',
    'kelu_signData_PKCS7Attached' => 'strSignAlg strSourceData strPfxFilePath strPfxPassWord strHashAlg &strBase64PKCS7AttachedSignature',
    'kelu_verifyDataSignature_PKCS1' => 'strSignAlg strSourceData strBase64CertContent strHashAlg strBase64PKCS1Signature',
    'kelu_verifyDataSignature_PKCS7Detached' => 'strSignAlg strSourceData strBase64PKCS7DetachedSignature &strBase64SignCertContent',
    'kelu_verifyDataSignature_PKCS7Attached' => 'strSignAlg strBase64PKCS7AttachedSignature &strBase64SignCertContent &strSourceData',
    'kelu_signFile_PKCS7Detached' => 'strSignAlg strSourceFilePath strPfxFilePath strPfxPassWord strHashAlg &strBase64PKCS7DetachedSignature',
    'kelu_verifyFileSignature_PKCS7Detached' => 'strSignAlg strSourceFilePath strBase64PKCS7DetachedSignature &strBase64SignCertContent',
    'kelu_encryptDataToCMSEnvelope' => 'strAlgorithm strPlainData strBase64EncryptCert strSymEncAlg &strBase64CMSEnvelope',
    'kelu_decryptDataFromCMSEnvelope' => 'strAlgorithm strBase64CMSEnvelope strPfxFilePath strPfxPassWord &strPlainData',
    'kelu_encryptDataToCMSEnvelopeEx' => 'strAlgorithm strPlainData strBase64EncryptCert strSymEncAlg &strBase64CMSEnvelope',
    'kelu_decryptDataFromCMSEnvelopeEx' => 'strAlgorithm strBase64CMSEnvelope strPfxFilePath strPfxPassWord &strPlainData',
    'kelu_decryptDataFromCMSEnvelope_ECB' => 'strAlgorithm strBase64CMSEnvelope strPfxFilePath strPfxPassWord &strPlainData',
    'kelu_decryptDataFromCMSEnvelopeEx_ECB' => 'strAlgorithm strBase64CMSEnvelope strPfxFilePath strPfxPassWord &strPlainData',
    'kelu_genSymKey' => 'strSymEncAlgorithm &strSymKey',
    'kelu_symEncryptData' => 'strPlainData strSymEncAlgorithm strSymKey &strBase64EncryptedData',
    'kelu_symDecryptData' => 'strBase64EncryptedData strSymEncAlgorithm strSymKey &strPlainData',
    'kelu_symEncryptFile' => 'strSymEncAlgorithm strPlainFilePath strEncryptFilePath &strSymKey',
    'kelu_symDecryptFile' => 'strSymEncAlgorithm strEncryptFilePath strSymKey strPlainFilePath',
    'kelu_verifyCertificate' => 'strBase64CertContent nCertVerifyFlag strTrustedCACertFilePath strCRLFilePath',
    'kelu_getCertificateInfo' => 'strBase64CertContent strInfoType &strInfoContent',
    'kelu_getPublicCertFromPFX' => 'strAlgorithm strPfxFilePath strPfxPassWord &strBase64CertContent',
    'kelu_calculateDataHash' => 'strSourceData strHashAlg &strHexHashData',
    'kelu_calculateFileHash' => 'strSourceFilePath strHashAlg &strHexHashData',
];


// The numeric parameters; every other one is a string.
const NUMERIC_PARAMETERS = ['nCertVerifyFlag'];

// [name, by reference, numeric] for each parameter of a function.
function parameters_of(string $function): array {
    $list = [];
    foreach (preg_split('/ /', SIGNATURES[$function], -1, PREG_SPLIT_NO_EMPTY) as $p) {
        $byRef = $p[0] === '&';
        $name = ltrim($p, '&');
        $list[] = [$name, $byRef, in_array($name, NUMERIC_PARAMETERS, true)];
    }
    return $list;
}
