// Signature checks against a public key in PEM text. They never throw: an error (malformed key or
// signature, unreadable file) is written to standard error and answered with false; a signature
// that does not match is answered with false silently. Strings carry raw bytes.
#pragma once

#include <memory>
#include <string>

namespace Vesk {

class TData;

// DSA with SHA-1; the signature is the DER sequence of r and s. The key is a "PUBLIC KEY" or
// "DSA PUBLIC KEY" block holding a SubjectPublicKeyInfo; a key that fails validation gives false.
bool verifyDsaSignature(const std::string& message, const std::string& signature, const std::string& publicKeyPem);
bool verifyFileSignatureDsa(const std::string& path, const std::string& signature, const std::string& publicKeyPem);

// Ed25519; the signature is the 64 raw bytes.
bool verifyEd25519Signature(const std::string& message, const std::string& signature, const std::string& publicKeyPem);
bool verifyFileSignatureEd25519(const std::string& path, const std::string& signature, const std::string& publicKeyPem);

// RSASSA-PKCS1-v1_5 with SHA-1; the signature is as long as the modulus.
bool verifyRsaSignaturePem(const std::shared_ptr<TData>& message, const std::shared_ptr<TData>& signature,
                           const std::string& publicKeyPem);

}  // namespace Vesk
